// The FLV header and tag reader on a standard stream, and the payload header bytes.
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "flv/FLVHeader.h"
#include "flv/FLVPacket.h"
#include "rtmp/RTMPPacket.h"
#include "support/FlvWriter.h"

using testing_support::audioHeaderByte;
using testing_support::FlvWriter;
using testing_support::packetFromBytes;
using testing_support::videoHeaderByte;
using namespace std::string_literals;

namespace {

std::unique_ptr<FLVHeader> readHeader(std::istream& in) {
    return std::unique_ptr<FLVHeader>(FLVHeader::read(in));
}

std::unique_ptr<FLVPacket> readTag(std::istream& in) {
    return std::unique_ptr<FLVPacket>(FLVPacket::read(in));
}

std::string payloadOf(const FLVPacket& packet) {
    return std::string(reinterpret_cast<const char*>(packet.data), packet.dataSize);
}

TEST(FLVHeaderTest, FlagsSplitAndOtherFieldsAccepted) {
    struct Case {
        uint8_t flags;
        uint32_t reservedFlags;
        bool audio;
        uint32_t reservedBit;
        bool video;
    };
    const Case cases[] = {
        {0x04, 0, true, 0, false}, {0x01, 0, false, 0, true}, {0x02, 0, false, 1, false},
        {0xF8, 31, false, 0, false},
    };
    for (const Case& c : cases) {
        std::istringstream in(FlvWriter().header(c.flags, "XYZ", 9, 0xDEADBEEF).bytes());
        const std::unique_ptr<FLVHeader> header = readHeader(in);
        ASSERT_NE(header, nullptr);
        SCOPED_TRACE(testing::Message() << "flags " << int(c.flags));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(header->signature), 4), "XYZ\x09");
        EXPECT_EQ(header->reservedFlags, c.reservedFlags);
        EXPECT_EQ(header->hasAudio, c.audio);
        EXPECT_EQ(header->reservedBit, c.reservedBit);
        EXPECT_EQ(header->hasVideo, c.video);
        EXPECT_EQ(header->dataOffset, 0xDEADBEEFu);
    }
}

TEST(FLVHeaderTest, ShortHeaderIsNull) {
    const std::string bytes = FlvWriter().header().bytes();
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
        std::istringstream in(bytes.substr(0, cut));
        EXPECT_EQ(readHeader(in), nullptr) << "cut at " << cut;
    }
}

TEST(FLVPacketTest, HeaderOnlyFileHasNoTag) {
    std::istringstream in(FlvWriter().header().bytes());
    ASSERT_NE(readHeader(in), nullptr);
    EXPECT_EQ(readTag(in), nullptr);
}

TEST(FLVPacketTest, PrefixFields) {
    struct Case {
        uint32_t timestamp;  // top byte goes to the extension byte
        uint8_t type;
        int64_t previousTagSize;
    };
    const Case cases[] = {
        {0x01000000, 9, 0},            // extension 1, 24-bit part 0
        {0x00ABCDEF, 8, 0xFFFFFFFF},   // no extension
        {0xFFFFFFFF, 18, 0x12345678},  // every bit
        {7, 7, 11},                    // unknown tag types pass through
    };
    for (const Case& c : cases) {
        FlvWriter::Tag tag;
        tag.type = c.type;
        tag.data = "\x01payload";
        tag.timestamp = c.timestamp;
        tag.previousTagSize = c.previousTagSize;
        tag.streamId = 0xFFFFFF;
        std::istringstream in(FlvWriter().tag(tag).bytes());
        const std::unique_ptr<FLVPacket> packet = readTag(in);
        ASSERT_NE(packet, nullptr);
        EXPECT_EQ(packet->timestamp, c.timestamp);
        EXPECT_EQ(packet->tagType, c.type);
        EXPECT_EQ(packet->previousTagSize, uint32_t(c.previousTagSize));
        EXPECT_EQ(packet->rtmpPacket, nullptr);
    }
}

TEST(FLVPacketTest, ZeroSizeTagEndsTheMedium) {
    std::istringstream in(FlvWriter().tag(8, "").tag(8, "\x2a\x01").bytes());
    EXPECT_EQ(readTag(in), nullptr);
}

// A file cut anywhere yields exactly the tags that are complete before the cut, each intact.
TEST(FLVPacketTest, TruncatedAtEveryCutPoint) {
    FlvWriter file;
    file.header()
        .tag(18, std::string("\x02\x00\x01x", 4), 0)
        .tag(8, "\x2a" "audio", 10)
        .tag(9, "\x17" "video", 20)
        .tag(9, "\x14\x00vp6"s, 30)
        .trailer();
    const std::string bytes = file.bytes();
    const std::string payloads[] = {std::string("\x02\x00\x01x", 4), "audio", "video", "vp6"};

    for (size_t cut = 0; cut <= bytes.size(); ++cut) {
        SCOPED_TRACE(testing::Message() << "cut at " << cut);
        std::istringstream in(bytes.substr(0, cut));
        const std::unique_ptr<FLVHeader> header = readHeader(in);
        ASSERT_EQ(header != nullptr, cut >= 9);
        if (!header) continue;
        size_t complete = 0;
        while (complete < file.tagEnds().size() && file.tagEnds()[complete] <= cut) ++complete;
        for (size_t i = 0; i < complete; ++i) {
            const std::unique_ptr<FLVPacket> packet = readTag(in);
            ASSERT_NE(packet, nullptr) << "tag " << i;
            EXPECT_EQ(payloadOf(*packet), payloads[i]);
            EXPECT_EQ(packet->timestamp, 10 * i);
        }
        EXPECT_EQ(readTag(in), nullptr);
    }
}

TEST(FLVPacketTest, SoundFormatsAndAudioBits) {
    // Formats 0, 1, 2, 5 and 6 are kept, every other one reads as 2.
    const uint32_t expected[16] = {0, 1, 2, 2, 2, 5, 6, 2, 2, 2, 2, 2, 2, 2, 2, 2};
    for (unsigned format = 0; format < 16; ++format) {
        for (unsigned bits = 0; bits < 16; ++bits) {
            const unsigned rate = bits >> 2, size = (bits >> 1) & 1, type = bits & 1;
            const uint8_t first = audioHeaderByte(format, rate, size, type);
            const std::string data = std::string(1, char(first)) + "xy";
            const std::unique_ptr<FLVPacket> packet = packetFromBytes(8, data);
            SCOPED_TRACE(testing::Message() << "format " << format << " bits " << bits);
            EXPECT_EQ(packet->soundFormat, expected[format]);
            EXPECT_EQ(packet->soundRate, rate);
            EXPECT_EQ(packet->soundSize, size);
            EXPECT_EQ(packet->soundType, type);
            EXPECT_EQ(packet->headerLength, 1u);
            EXPECT_EQ(payloadOf(*packet), "xy");
        }
    }
}

TEST(FLVPacketTest, CodecIdsAndSkippedBytes) {
    // Ids 2 to 7 are kept, every other one reads as 4 (VP6), which has a second header byte.
    const uint32_t expected[16] = {4, 4, 2, 3, 4, 5, 6, 7, 4, 4, 4, 4, 4, 4, 4, 4};
    for (unsigned codec = 0; codec < 16; ++codec) {
        const std::string data = std::string(1, char(videoHeaderByte(2, codec))) + "\x05xyz";
        const std::unique_ptr<FLVPacket> packet = packetFromBytes(9, data);
        SCOPED_TRACE(testing::Message() << "codec " << codec);
        EXPECT_EQ(packet->codecId, expected[codec]);
        EXPECT_EQ(packet->frameType, 2u);
        const uint32_t skipped = expected[codec] == 4 ? 2 : 1;
        EXPECT_EQ(packet->headerLength, skipped);
        EXPECT_EQ(payloadOf(*packet), data.substr(skipped));
    }
}

// Buffers shorter than their header bytes: only the bytes present are skipped, an empty buffer
// is never read (the sanitizer would see it), and release() still finds the buffer's start.
TEST(FLVPacketTest, BuffersShorterThanTheirHeader) {
    struct Case {
        uint32_t type;
        std::string data;
        uint32_t headerLength;
        uint32_t codecId;
    };
    const Case cases[] = {
        {9, "\x14", 1, 4},           // VP6 with its second byte missing
        {9, "\x17", 1, 7},           // H.264, one byte
        {9, "\x14\x00"s, 2, 4},      // exactly the header
        {8, "\x2a", 1, 0},           // audio, one byte
        {8, "", 0, 0},               // empty audio
        {18, "", 0, 0},              // empty script
    };
    for (const Case& c : cases) {
        const std::unique_ptr<FLVPacket> packet = packetFromBytes(c.type, c.data);
        SCOPED_TRACE(testing::Message() << "type " << c.type << " size " << c.data.size());
        EXPECT_EQ(packet->headerLength, c.headerLength);
        EXPECT_EQ(packet->dataSize, c.data.size() - c.headerLength);
        EXPECT_EQ(packet->codecId, c.codecId);
        packet->release();
        EXPECT_EQ(packet->data, nullptr);
        packet->release();
    }
}

TEST(FLVPacketTest, ReleaseFreesTheRtmpMessageItPointsInto) {
    FLVPacket packet;
    packet.tagType = 9;
    packet.rtmpPacket = new RTMP_LIB::RTMPPacket();
    ASSERT_TRUE(packet.rtmpPacket->allocate(6));
    packet.rtmpPacket->body[0] = 0x17;
    packet.dataSize = 6;
    packet.setData(packet.rtmpPacket->body);
    EXPECT_EQ(packet.data, packet.rtmpPacket->body + 1);
    packet.release();
    EXPECT_EQ(packet.rtmpPacket, nullptr);
    EXPECT_EQ(packet.data, nullptr);
    packet.release();
}

TEST(FLVPacketTest, SetDataAgainFreesTheEarlierBuffer) {
    const std::unique_ptr<FLVPacket> packet = packetFromBytes(9, "\x14\x00xy"s);
    packet->dataSize = 3;
    packet->setData(new uint8_t[3]{0x17, 'a', 'b'});
    EXPECT_EQ(payloadOf(*packet), "ab");
}

}  // namespace
