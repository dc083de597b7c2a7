// Hand-made FLV bytes for the reader and source tests, and the tags a reader makes of them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "flv/FLVPacket.h"

namespace flv_bytes {

using Bytes = std::vector<uint8_t>;

// The 15 bytes in front of a tag (back-pointer |previous|), then |data|.
inline Bytes tag(uint8_t type, uint32_t timestamp, const Bytes& data, uint32_t previous = 0) {
    // Big-endian: the back-pointer, type and size, timestamp with its high byte last, stream 0.
    const uint32_t words[] = {previous, uint32_t(type) << 24 | uint32_t(data.size()),
                              timestamp << 8 | timestamp >> 24, 0};
    Bytes out(15 + data.size());
    for (size_t i = 0; i < 15; ++i) out[i] = uint8_t(words[i / 4] >> (24 - 8 * (i % 4)));
    std::copy(data.begin(), data.end(), out.begin() + 15);
    return out;
}

inline std::string asString(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// A tag as a reader gives it: the payload is what follows the codec byte.
struct Tag {
    uint32_t type;
    uint32_t timestamp;
    Bytes payload;
    bool operator==(const Tag& o) const {
        return type == o.type && timestamp == o.timestamp && payload == o.payload;
    }
};

// A header and |count| tags alternating video (H.264) and audio, |payload| bytes each, 40 ms
// apart; payload bytes follow a pattern so that a shifted byte shows. The tags a reader should
// make of it go to |tags|.
inline Bytes file(int count, size_t payload = 100, std::vector<Tag>* tags = nullptr) {
    Bytes out = {'F', 'L', 'V', 1, 5, 0, 0, 0, 9};
    for (int i = 0; i < count; ++i) {
        Bytes data(payload, i % 2 == 0 ? 0x17 : 0x2F);
        for (size_t j = 1; j < payload; ++j) data[j] = uint8_t(i * 31 + j);
        const uint8_t type = i % 2 == 0 ? 9 : 8;
        const Bytes t = tag(type, uint32_t(i) * 40, data, i == 0 ? 0 : uint32_t(payload + 11));
        out.insert(out.end(), t.begin(), t.end());
        if (tags) tags->push_back({type, uint32_t(i) * 40, Bytes(data.begin() + 1, data.end())});
    }
    return out;
}

// Every tag that |next| gives up to its first null.
template <typename Next>
std::vector<Tag> drain(Next next) {
    std::vector<Tag> tags;
    while (std::unique_ptr<FLVPacket> p{next()}) {
        tags.push_back({p->tagType, p->timestamp, Bytes(p->data, p->data + p->dataSize)});
    }
    return tags;
}

}  // namespace flv_bytes
