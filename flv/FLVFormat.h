// Byte layouts of the FLV container, shared by every reader and writer of FLV data.
//
// File header, 9 bytes (big-endian):
//   0  3  signature ("FLV"; not checked)
//   3  1  version (not checked)
//   4  1  flags: bit 2 audio present, bit 0 video present, the others reserved
//   5  4  data offset (recorded, not used: the first tag follows the 9 bytes)
//
// In front of every tag, 15 bytes (big-endian):
//   0  4  previous tag size (the back-pointer; 0 before the first tag)
//   4  1  tag type: 8 audio, 9 video, 18 script data
//   5  3  data size
//   8  3  timestamp in milliseconds, lower 24 bits
//  11  1  timestamp extension, upper 8 bits
//  12  3  stream id (not used)
//
// Audio data starts with one byte: sound format (4 bits), rate index (2), sample size (1),
// channels (1). Video data starts with one byte: frame type (4 bits), codec id (4); codec 4
// (VP6) carries a second header byte.
#pragma once

#include <cstddef>
#include <cstdint>

namespace flv {

constexpr size_t kFileHeaderSize = 9;
constexpr size_t kTagPrefixSize = 15;  // back-pointer + 11-byte tag header
constexpr size_t kTagHeaderSize = 11;
constexpr size_t kBackPointerSize = 4;

constexpr uint32_t kTagAudio = 8;
constexpr uint32_t kTagVideo = 9;
constexpr uint32_t kTagScript = 18;

constexpr uint8_t kFlagAudio = 0x04;
constexpr uint8_t kFlagVideo = 0x01;

inline uint32_t readBE24(const uint8_t* p) {
    return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | uint32_t(p[2]);
}

inline uint32_t readBE32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) |
           uint32_t(p[3]);
}

}  // namespace flv
