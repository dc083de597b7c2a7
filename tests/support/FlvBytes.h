// Hand-made FLV bytes for the reader and source tests: a file header and tags with given types,
// timestamps and payloads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace flv_bytes {

using Bytes = std::vector<uint8_t>;

inline Bytes header(uint8_t flags = 0x05) {
    return {'F', 'L', 'V', 1, flags, 0, 0, 0, 9};
}

// The 15 bytes in front of a tag (back-pointer |previous|), then |data|.
inline Bytes tag(uint8_t type, uint32_t timestamp, const Bytes& data, uint32_t previous = 0) {
    const auto size = static_cast<uint32_t>(data.size());
    Bytes out = {uint8_t(previous >> 24),
                 uint8_t(previous >> 16),
                 uint8_t(previous >> 8),
                 uint8_t(previous),
                 type,
                 uint8_t(size >> 16),
                 uint8_t(size >> 8),
                 uint8_t(size),
                 uint8_t(timestamp >> 16),
                 uint8_t(timestamp >> 8),
                 uint8_t(timestamp),
                 uint8_t(timestamp >> 24),
                 0,
                 0,
                 0};
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A header and |count| tags alternating video (codec 7) and audio, |payload| bytes each,
// timestamps 0, 40, 80, ...; payload bytes follow a pattern so that a shifted byte shows.
inline Bytes file(int count, size_t payload = 100) {
    Bytes out = header();
    uint32_t previous = 0;
    for (int i = 0; i < count; ++i) {
        Bytes data(payload);
        data[0] = (i % 2 == 0) ? 0x17 : 0x2F;
        for (size_t j = 1; j < payload; ++j) data[j] = uint8_t(i * 31 + j);
        const Bytes t = tag(i % 2 == 0 ? 9 : 8, uint32_t(i) * 40, data, previous);
        previous = uint32_t(payload + 11);
        out = out + t;
    }
    return out;
}

inline std::string asString(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace flv_bytes
