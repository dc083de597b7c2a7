// Builders of AMF0 bytes for tests, written from the format rather than with the codec under
// test, and a decode helper that gives the decoder exactly the bytes of the input, so that a
// read past them is caught by the address sanitizer.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "rtmp/AMFObject.h"

namespace amf_test {

using Bytes = std::vector<uint8_t>;

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes u16(size_t v) { return {uint8_t(v >> 8), uint8_t(v)}; }
inline Bytes u32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
inline Bytes name(const std::string& s) { return u16(s.size()) + Bytes(s.begin(), s.end()); }
inline Bytes str(const std::string& s) { return Bytes{0x02} + name(s); }
inline Bytes num(double d) {
    uint64_t bits = 0;
    std::memcpy(&bits, &d, 8);
    Bytes out = {0x00};
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(uint8_t(bits >> shift));
    return out;
}
// The marker, the double and the 16-bit UTC offset.
inline Bytes date(double ms, uint16_t offset) {
    Bytes out = num(ms);
    out[0] = 0x0B;
    return out + u16(offset);
}
// |bytes| without their last |n|.
inline Bytes shorter(Bytes bytes, size_t n) {
    bytes.resize(bytes.size() - n);
    return bytes;
}
inline Bytes boolean(uint8_t b) { return {0x01, b}; }
inline Bytes null() { return {0x05}; }
const Bytes kEnd = {0x00, 0x00, 0x09};
inline Bytes member(const std::string& n, const Bytes& value) { return name(n) + value; }
inline Bytes object(const Bytes& members) { return Bytes{0x03} + members + kEnd; }
inline Bytes ecma(uint32_t count, const Bytes& members) {
    return Bytes{0x08} + u32(count) + members + kEnd;
}
inline Bytes strict(uint32_t count, const Bytes& items) { return Bytes{0x0A} + u32(count) + items; }

// Decodes exactly |bytes| (a heap copy of their size, nothing behind it).
template <typename Value>
int decodeExact(Value& value, const Bytes& bytes, bool names) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size()]);
    if (!bytes.empty()) std::memcpy(copy.get(), bytes.data(), bytes.size());
    return value.Decode(copy.get(), static_cast<int>(bytes.size()), names);
}

}  // namespace amf_test
