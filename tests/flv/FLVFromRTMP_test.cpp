// Tags made from RTMP messages.
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "flv/FLVPacket.h"
#include "rtmp/RTMPPacket.h"
#include "support/FlvWriter.h"

namespace {

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
