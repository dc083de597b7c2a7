// The FLV header and tag reader on a standard stream, the payload header bytes, and tags made
// from RTMP messages.
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "flv/FLVHeader.h"
#include "flv/FLVPacket.h"
#include "rtmp/RTMPPacket.h"
#include "support/FlvWriter.h"

using testing_support::FlvWriter;
using testing_support::packetFromBytes;

namespace {

std::unique_ptr<FLVPacket> readTag(std::istream& in) {
    return std::unique_ptr<FLVPacket>(FLVPacket::read(in));
}

std::string payloadOf(const FLVPacket& packet) {
    return std::string(reinterpret_cast<const char*>(packet.data), packet.dataSize);
}

// Every field as written, whatever the signature and version; a header cut short is none.
TEST(FLVHeaderTest, FieldsAndCuts) {
    const std::string bytes("XYZ\x09\xFA\xDE\xAD\xBE\xEF", 9);
    for (size_t cut = 0; cut <= bytes.size(); ++cut) {
        std::istringstream in(bytes.substr(0, cut));
        EXPECT_EQ(cut == 9, std::unique_ptr<FLVHeader>(FLVHeader::read(in)) != nullptr) << cut;
    }
    // Flags: reserved 5 bits, audio, reserved bit, video.
    for (const auto& [flags, fields] :
         {std::pair{0x04, "0 1 0 0"}, {0x01, "0 0 0 1"}, {0xFA, "31 0 1 0"}}) {
        std::string changed = bytes;
        changed[4] = char(flags);
        const std::unique_ptr<FLVHeader> h(
            FLVHeader::decode(reinterpret_cast<const uint8_t*>(changed.data())));
        std::ostringstream out;
        out.write(reinterpret_cast<const char*>(h->signature), 4)
            << " " << h->reservedFlags << " " << h->hasAudio << " " << h->reservedBit << " "
            << h->hasVideo << " " << h->dataOffset;
        EXPECT_EQ("XYZ\x09 " + std::string(fields) + " 3735928559", out.str());
    }
}

// The back-pointer, type and timestamp with its extension byte as written; unknown types pass.
TEST(FLVPacketTest, PrefixFields) {
    for (const uint32_t timestamp : {0x01000000u, 0x00ABCDEFu, 0xFFFFFFFFu}) {
        std::string bytes = FlvWriter().tag(7, "x", timestamp).bytes();
        bytes.replace(0, 4, "\x12\x34\x56\x78");
        bytes.replace(12, 3, "\xFF\xFF\xFF");  // the stream id is not read
        std::istringstream in(bytes);
        const std::unique_ptr<FLVPacket> packet = readTag(in);
        ASSERT_NE(nullptr, packet);
        EXPECT_EQ(std::make_tuple(timestamp, 7u, 0x12345678u),
                  std::make_tuple(packet->timestamp, packet->tagType, packet->previousTagSize));
        EXPECT_EQ(nullptr, packet->rtmpPacket);
    }
    std::istringstream zeroSize(FlvWriter().tag(8, "").tag(8, "\x2a\x01").bytes());
    EXPECT_EQ(nullptr, readTag(zeroSize));  // ends the medium
}

// A file cut anywhere yields exactly the tags that are complete before the cut, each intact.
TEST(FLVPacketTest, TruncatedAtEveryCutPoint) {
    const std::string payloads[] = {std::string("\x02\x00\x01x", 4), "audio", "video", "vp6"};
    const std::string data[] = {payloads[0], "\x2a" + payloads[1], "\x17" + payloads[2],
                                std::string("\x14\x00", 2) + payloads[3]};
    FlvWriter file;
    file.header().tag(18, data[0], 0).tag(8, data[1], 10).tag(9, data[2], 20);
    const std::string bytes = file.tag(9, data[3], 30).trailer().bytes();
    for (size_t cut = 0; cut <= bytes.size(); ++cut) {
        SCOPED_TRACE(testing::Message() << "cut at " << cut);
        std::istringstream in(bytes.substr(0, cut));
        delete FLVHeader::read(in);
        for (size_t i = 0; i < 4 && file.tagEnds()[i] <= cut; ++i) {
            const std::unique_ptr<FLVPacket> packet = readTag(in);
            ASSERT_NE(packet, nullptr) << "tag " << i;
            EXPECT_EQ(payloads[i], payloadOf(*packet));
            EXPECT_EQ(10 * i, packet->timestamp);
        }
        EXPECT_EQ(nullptr, readTag(in));
    }
}

// Every first byte: sound formats 0, 1, 2, 5, 6 kept, others read as 2; video codec ids 2 to
// 7 kept, others read as VP6 (4), which has a second header byte.
TEST(FLVPacketTest, HeaderBytes) {
    const uint32_t formats[16] = {0, 1, 2, 2, 2, 5, 6, 2, 2, 2, 2, 2, 2, 2, 2, 2};
    const uint32_t codecs[16] = {4, 4, 2, 3, 4, 5, 6, 7, 4, 4, 4, 4, 4, 4, 4, 4};
    for (unsigned first = 0; first < 256; ++first) {
        SCOPED_TRACE(first);
        const std::string data = std::string(1, char(first)) + "\x05xy";
        const std::unique_ptr<FLVPacket> audio = packetFromBytes(8, data);
        EXPECT_EQ(std::make_tuple(formats[first >> 4], (first >> 2) & 3, (first >> 1) & 1,
                                  first & 1, 1u, std::string("\x05xy")),
                  std::make_tuple(audio->soundFormat, audio->soundRate, audio->soundSize,
                                  audio->soundType, audio->headerLength, payloadOf(*audio)));
        const std::unique_ptr<FLVPacket> video = packetFromBytes(9, data);
        EXPECT_EQ(std::make_tuple(codecs[first & 15], first >> 4, video->codecId == 4 ? 2u : 1u),
                  std::make_tuple(video->codecId, video->frameType, video->headerLength));
        EXPECT_EQ(data.substr(video->headerLength), payloadOf(*video));
    }
}

// Buffers shorter than their header bytes: only the bytes present are skipped, an empty buffer
// is never read (the sanitizer would see it), and release() still finds the buffer's start.
TEST(FLVPacketTest, BuffersShorterThanTheirHeader) {
    const std::tuple<uint32_t, std::string, uint32_t, uint32_t> cases[] = {
        {9, "\x14", 1, 4}, {9, "\x17", 1, 7}, {9, std::string("\x14\0", 2), 2, 4},
        {8, "\x2a", 1, 0}, {8, "", 0, 0},     {18, "", 0, 0}};
    for (const auto& [type, data, headerLength, codecId] : cases) {
        const std::unique_ptr<FLVPacket> packet = packetFromBytes(type, data);
        SCOPED_TRACE(testing::Message() << "type " << type << " size " << data.size());
        EXPECT_EQ(headerLength, packet->headerLength);
        EXPECT_EQ(data.size() - headerLength, packet->dataSize);
        EXPECT_EQ(codecId, packet->codecId);
        packet->release();
        EXPECT_EQ(nullptr, packet->data);
        packet->release();
    }
    const std::unique_ptr<FLVPacket> packet = packetFromBytes(9, std::string("\x14\0xy", 4));
    packet->dataSize = 3;
    packet->setData(new uint8_t[3]{0x17, 'a', 'b'});  // frees the buffer before
    EXPECT_EQ("ab", payloadOf(*packet));
}

RTMP_LIB::RTMPPacket* message(uint8_t type, const std::string& body, uint32_t timeSlot = 0) {
    auto* packet = new RTMP_LIB::RTMPPacket();
    packet->packetType = type;
    packet->timeSlot = timeSlot;
    packet->bodySize = uint32_t(body.size());
    if (!body.empty() && packet->allocate(packet->bodySize))
        std::memcpy(packet->body, body.data(), body.size());
    packet->bytesRead = packet->bodySize;
    return packet;
}

struct Queue : std::deque<FLVPacket*> {
    ~Queue() {
        for (FLVPacket* packet : *this) delete packet;
    }
};

// Nothing from empty, incomplete or unknown messages; a plain message shares its body.
TEST(FLVFromRTMP, PlainMessageSharesItsBody) {
    Queue queue;
    FLVPacket::fromRTMPPacket(nullptr, queue);
    FLVPacket::fromRTMPPacket(message(22, ""), queue);
    for (uint8_t type : {1, 4, 5, 6, 15, 17, 19, 20, 23, 0xFF})
        FLVPacket::fromRTMPPacket(message(type, "\x01\x02\x03"), queue);
    RTMP_LIB::RTMPPacket* const incomplete = message(9, "\x17\x01\x02");
    incomplete->bytesRead = 1;
    FLVPacket::fromRTMPPacket(incomplete, queue);
    EXPECT_TRUE(queue.empty());
    FLVPacket::fromRTMPPacket(message(8, ""), queue);
    RTMP_LIB::RTMPPacket* const video = message(9, "\x17\x01\xAA\xBB", 1234);
    FLVPacket::fromRTMPPacket(video, queue);
    ASSERT_EQ(2u, queue.size());
    EXPECT_EQ(0u, queue[0]->dataSize);
    FLVPacket& packet = *queue[1];
    EXPECT_EQ(video, packet.rtmpPacket);
    EXPECT_EQ(video->body + 1, packet.data);
    EXPECT_EQ(std::make_tuple(3u, 1u, 7u, 1234u, 0u),
              std::make_tuple(packet.dataSize, packet.frameType, packet.codecId, packet.timestamp,
                              packet.previousTagSize));
    packet.release();  // frees the message with the body
    EXPECT_EQ(nullptr, packet.rtmpPacket);
    EXPECT_EQ(nullptr, packet.data);
    packet.release();
}

// An aggregate carries FLV tags without the back-pointer in front, each with its own behind.
TEST(FLVFromRTMP, AggregateKeepsCompleteSubTagsWithTheirTimestamps) {
    testing_support::FlvWriter writer;
    writer.tag(9, "\x17\x01\x02", 100).tag(8, "\x2F\x07", 0x01000010);
    writer.tag(18, std::string("\x02\0\0", 3), 300).tag(9, "\x27\x09\x09\x09", 400).trailer();
    const std::string body = writer.bytes().substr(4);
    // Every cut of the fourth sub-tag, back-pointer included, keeps the first three.
    for (size_t cut = writer.tagEnds()[2] + 4; cut <= writer.bytes().size(); ++cut) {
        SCOPED_TRACE(cut);
        Queue queue;
        FLVPacket::fromRTMPPacket(message(22, body.substr(0, cut - 4)), queue);
        ASSERT_EQ(cut >= writer.tagEnds()[3] ? 4u : 3u, queue.size());
        EXPECT_EQ(std::make_tuple(100u, 0x01000010u, 300u, 8u, 1u, uint8_t(7)),
                  std::make_tuple(queue[0]->timestamp, queue[1]->timestamp, queue[2]->timestamp,
                                  queue[1]->tagType, queue[1]->dataSize, queue[1]->data[0]));
        for (const FLVPacket* packet : queue) EXPECT_EQ(nullptr, packet->rtmpPacket);
    }
}

}  // namespace
