#include "rtmp/AMFCodec.h"

#include <cstring>

namespace RTMP_LIB {

namespace {

uint64_t readBigEndian(const uint8_t* data, size_t width) {
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) value = (value << 8) | data[i];
    return value;
}

void writeBigEndian(uint8_t* out, size_t width, uint64_t value) {
    for (size_t i = width; i > 0; --i) {
        out[i - 1] = static_cast<uint8_t>(value);
        value >>= 8;
    }
}

// The bytes of a string that its 16-bit length field can announce.
size_t amfLength(const std::string& text) { return text.size() & 0xFFFF; }

}  // namespace

bool ReadUInt16BE(const uint8_t* data, size_t size, uint16_t* value) {
    if (size < 2) return false;
    *value = static_cast<uint16_t>(readBigEndian(data, 2));
    return true;
}

bool ReadUInt24BE(const uint8_t* data, size_t size, uint32_t* value) {
    if (size < 3) return false;
    *value = static_cast<uint32_t>(readBigEndian(data, 3));
    return true;
}

bool ReadUInt32BE(const uint8_t* data, size_t size, uint32_t* value) {
    if (size < 4) return false;
    *value = static_cast<uint32_t>(readBigEndian(data, 4));
    return true;
}

bool ReadUInt32LE(const uint8_t* data, size_t size, uint32_t* value) {
    if (size < 4) return false;
    *value = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
             static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
    return true;
}

bool ReadAmfNumber(const uint8_t* data, size_t size, double* value) {
    if (size < 8) return false;
    const uint64_t bits = readBigEndian(data, 8);
    static_assert(sizeof(bits) == sizeof(*value), "AMF0 numbers are 64-bit doubles");
    std::memcpy(value, &bits, sizeof(bits));
    return true;
}

bool ReadAmfString(const uint8_t* data, size_t size, std::string* value) {
    uint16_t length = 0;
    if (!ReadUInt16BE(data, size, &length) || length > size - 2) return false;
    const char* const text = reinterpret_cast<const char*>(data + 2);
    const void* const zero = std::memchr(text, 0, length);
    value->assign(text, zero ? static_cast<const char*>(zero) - text : length);
    return true;
}

size_t WriteUInt16BE(uint8_t* out, size_t room, uint16_t value) {
    if (room < 2) return 0;
    writeBigEndian(out, 2, value);
    return 2;
}

size_t WriteUInt24BE(uint8_t* out, size_t room, uint32_t value) {
    if (room < 3) return 0;
    writeBigEndian(out, 3, value);
    return 3;
}

size_t WriteUInt32BE(uint8_t* out, size_t room, uint32_t value) {
    if (room < 4) return 0;
    writeBigEndian(out, 4, value);
    return 4;
}

size_t WriteUInt32LE(uint8_t* out, size_t room, uint32_t value) {
    if (room < 4) return 0;
    for (size_t i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
    return 4;
}

size_t WriteAmfNumber(uint8_t* out, size_t room, double value) {
    if (room < 9) return 0;
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof(bits));
    out[0] = AMF0_NUMBER;
    writeBigEndian(out + 1, 8, bits);
    return 9;
}

size_t WriteAmfBoolean(uint8_t* out, size_t room, bool value) {
    if (room < 2) return 0;
    out[0] = AMF0_BOOLEAN;
    out[1] = value ? 1 : 0;
    return 2;
}

size_t WriteAmfString(uint8_t* out, size_t room, const std::string& value) {
    if (room < 1 + 2 + amfLength(value)) return 0;
    out[0] = AMF0_STRING;
    return 1 + WriteAmfName(out + 1, room - 1, value);
}

size_t WriteAmfName(uint8_t* out, size_t room, const std::string& name) {
    const size_t length = amfLength(name);
    if (room < 2 + length) return 0;
    writeBigEndian(out, 2, length);
    if (length > 0) std::memcpy(out + 2, name.data(), length);
    return 2 + length;
}

}  // namespace RTMP_LIB
