// Tags made from RTMP messages: shared bodies for plain messages, copied sub-tags for
// aggregates, nothing from anything else.
#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

#include <gtest/gtest.h>

#include "flv/FLVPacket.h"
#include "rtmp/RTMPPacket.h"
#include "support/FlvBytes.h"

namespace {

using flv_bytes::Bytes;

RTMP_LIB::RTMPPacket* message(uint8_t type, const Bytes& body, uint32_t timeSlot = 0) {
    auto* packet = new RTMP_LIB::RTMPPacket();
    packet->packetType = type;
    packet->bodySize = static_cast<uint32_t>(body.size());
    packet->timeSlot = timeSlot;
    if (!body.empty()) {
        packet->allocate(packet->bodySize);
        std::memcpy(packet->body, body.data(), body.size());
    }
    packet->bytesRead = packet->bodySize;
    return packet;
}

// An FLV tag as an aggregate carries it: the tag without the back-pointer in front, and the
// back-pointer of its own size behind.
Bytes subTag(uint8_t type, uint32_t timestamp, const Bytes& data) {
    Bytes out = flv_bytes::tag(type, timestamp, data);
    out.erase(out.begin(), out.begin() + 4);
    const auto back = static_cast<uint32_t>(out.size());
    out.insert(out.end(), {uint8_t(back >> 24), uint8_t(back >> 16), uint8_t(back >> 8),
                           uint8_t(back)});
    return out;
}

struct Queue {
    ~Queue() {
        for (FLVPacket* packet : packets) delete packet;
    }
    std::deque<FLVPacket*> packets;
};

TEST(FLVFromRTMP, PlainMessageSharesItsBody) {
    Queue queue;
    RTMP_LIB::RTMPPacket* const video = message(9, {0x17, 0x01, 0xAA, 0xBB}, 1234);
    const uint8_t* const body = video->body;
    FLVPacket::fromRTMPPacket(video, queue.packets);
    ASSERT_EQ(1u, queue.packets.size());
    const FLVPacket& packet = *queue.packets[0];
    EXPECT_EQ(video, packet.rtmpPacket);
    EXPECT_EQ(body + 1, packet.data);
    EXPECT_EQ(3u, packet.dataSize);
    EXPECT_EQ(1u, packet.frameType);
    EXPECT_EQ(7u, packet.codecId);
    EXPECT_EQ(1234u, packet.timestamp);
    EXPECT_EQ(0u, packet.previousTagSize);
}

TEST(FLVFromRTMP, EmptyPlainMessageBecomesAnEmptyTag) {
    Queue queue;
    FLVPacket::fromRTMPPacket(message(8, {}), queue.packets);
    ASSERT_EQ(1u, queue.packets.size());
    EXPECT_EQ(0u, queue.packets[0]->dataSize);
}

TEST(FLVFromRTMP, AggregateKeepsCompleteSubTagsWithTheirTimestamps) {
    Bytes body = subTag(9, 100, {0x17, 1, 2});
    const Bytes second = subTag(8, 0x01000010, {0x2F, 7});
    const Bytes third = subTag(18, 300, {2, 0, 0});
    body.insert(body.end(), second.begin(), second.end());
    body.insert(body.end(), third.begin(), third.end());
    const Bytes fourth = subTag(9, 400, {0x27, 9, 9, 9});
    // Every cut of the fourth sub-tag, back-pointer included, keeps the first three.
    for (size_t keep = 0; keep <= fourth.size(); ++keep) {
        SCOPED_TRACE(keep);
        Bytes cut = body;
        cut.insert(cut.end(), fourth.begin(), fourth.begin() + long(keep));
        Queue queue;
        FLVPacket::fromRTMPPacket(message(22, cut), queue.packets);
        const size_t expected = keep >= fourth.size() - 4 ? 4 : 3;
        ASSERT_EQ(expected, queue.packets.size());
        EXPECT_EQ(100u, queue.packets[0]->timestamp);
        EXPECT_EQ(0x01000010u, queue.packets[1]->timestamp);
        EXPECT_EQ(300u, queue.packets[2]->timestamp);
        EXPECT_EQ(8u, queue.packets[1]->tagType);
        EXPECT_EQ(1u, queue.packets[1]->dataSize);
        EXPECT_EQ(7, queue.packets[1]->data[0]);
        for (const FLVPacket* packet : queue.packets) EXPECT_EQ(nullptr, packet->rtmpPacket);
    }
}

TEST(FLVFromRTMP, NothingFromEmptyIncompleteOrUnknownMessages) {
    Queue queue;
    FLVPacket::fromRTMPPacket(nullptr, queue.packets);
    FLVPacket::fromRTMPPacket(message(22, {}), queue.packets);
    for (uint8_t type : {1, 4, 5, 6, 15, 17, 19, 20, 23, 0xFF}) {
        FLVPacket::fromRTMPPacket(message(type, {1, 2, 3}), queue.packets);
    }
    RTMP_LIB::RTMPPacket* const incomplete = message(9, {0x17, 1, 2});
    incomplete->bytesRead = 1;
    FLVPacket::fromRTMPPacket(incomplete, queue.packets);
    EXPECT_TRUE(queue.packets.empty());
}

}  // namespace
