// The RTMP chunk stream on the wire, shared by the connection's reader and writer.
//
// Every chunk starts with a basic header: the header type in bits 7-6 of its first byte, the
// chunk stream (channel) in bits 5-0. Channels 2..63 stand there as they are; 0 and 1 announce a
// longer form, 0 one more byte (channel 64 + byte), 1 two more (channel 64 + byte 1 + byte 2 *
// 256), for channels up to 65599. The header type selects what follows the basic header:
//
//   type 0 (12 bytes)  fmt+ch | timestamp (3, BE) | body size (3, BE) | type | stream id (4, LE)
//   type 1  (8 bytes)  fmt+ch | timestamp (3, BE) | body size (3, BE) | type
//   type 2  (4 bytes)  fmt+ch | timestamp (3, BE)
//   type 3  (1 byte)   fmt+ch
//
// The timestamp is absolute in a 12-byte header and a delta in the shorter ones. When the
// 3-byte field holds 0xFFFFFF, the real value follows the header as 4 bytes (BE), and every
// 1-byte header of that channel repeats those 4 bytes until the channel's next longer header.
//
// The body follows in chunks of at most the chunk size, each after a type-3 basic header. Some
// servers leave the extended timestamp out of the headers of a message's later chunks.
//
// Chunk sizes are per direction: the size the server announces governs what it sends, and the
// client writes at 128 unless it announces a size of its own.
#pragma once

#include <cstdint>

namespace RTMP_LIB {

// Header bytes by header type, with a one-byte basic header.
constexpr int kChunkHeaderSize[4] = {12, 8, 4, 1};
constexpr int kMaxChunkHeaderSize = 12;
// A basic header of three bytes, the longest, in place of the one byte counted above.
constexpr int kMaxBasicHeaderExtra = 2;
constexpr int kExtendedTimestampSize = 4;
// The timestamp field's value that announces an extended timestamp.
constexpr uint32_t kExtendedTimestampMark = 0xFFFFFF;

// Channels that a one-byte basic header names; 0 and 1 among them announce the longer forms.
constexpr uint32_t kChannelCount = 64;
// The first channel of the three-byte form, and the last one any basic header can name.
constexpr uint32_t kFirstChannelOfThreeBytes = 64 + 256;
constexpr uint32_t kMaxChannel = 64 + 0xFFFF;
constexpr int kDefaultChunkSize = 128;
// No message is longer than a 3-byte body size can say, so no chunk needs to be either.
constexpr int32_t kMaxChunkSize = 0xFFFFFF;

// Message types (packet types).
enum RtmpPacketType : uint8_t {
    RTMP_PACKET_CHUNK_SIZE = 0x01,
    RTMP_PACKET_BYTES_READ = 0x03,
    RTMP_PACKET_PING = 0x04,
    RTMP_PACKET_SERVER_BW = 0x05,
    RTMP_PACKET_CLIENT_BW = 0x06,
    RTMP_PACKET_AUDIO = 0x08,
    RTMP_PACKET_VIDEO = 0x09,
    RTMP_PACKET_NOTIFY = 0x12,
    RTMP_PACKET_INVOKE = 0x14,
    RTMP_PACKET_FLV = 0x16,
};

// The handshake: C0/S0 is the version byte, C1/S1/C2/S2 are 1536 bytes each.
constexpr uint8_t kRtmpVersion = 0x03;
constexpr int kHandshakeSize = 1536;

}  // namespace RTMP_LIB
