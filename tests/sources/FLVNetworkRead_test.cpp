// FLV header and tag reading from a NetworkBuffer that another thread fills.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/Threads.h"
#include "flv/FLVHeader.h"
#include "flv/FLVPacket.h"
#include "support/FlvBytes.h"
#include "sources/NetworkBuffer.h"

namespace {

using flv_bytes::Bytes;
using flv_bytes::operator+;

struct Tag {
    uint32_t type;
    uint32_t timestamp;
    Bytes payload;  // behind the header bytes
    bool operator==(const Tag& o) const {
        return type == o.type && timestamp == o.timestamp && payload == o.payload;
    }
};

class FLVNetworkReadTest : public ::testing::Test {
  protected:
    void feed(const Bytes& bytes) { buffer.append(bytes.data(), bytes.size()); }

    // Every tag of |from| up to the first null.
    std::vector<Tag> readAll(NetworkBuffer& from) {
        std::vector<Tag> tags;
        while (FLVPacket* packet = FLVPacket::read(from, stop)) {
            tags.push_back({packet->tagType, packet->timestamp,
                            Bytes(packet->data, packet->data + packet->dataSize)});
            packet->release();
            delete packet;
        }
        return tags;
    }

    bool readHeader() {
        std::unique_ptr<FLVHeader> header(FLVHeader::read(buffer, stop));
        return header != nullptr;
    }

    NetworkBuffer buffer;
    PEvent stop;
};

TEST_F(FLVNetworkReadTest, ReadsTheSameTagsWhateverPiecesTheBytesArriveIn) {
    const Bytes file = flv_bytes::file(40, 300);
    NetworkBuffer whole;
    whole.append(file.data(), file.size());
    whole.setEndOfStream(true);
    delete FLVHeader::read(whole, stop);
    const std::vector<Tag> expected = readAll(whole);
    ASSERT_EQ(40u, expected.size());
    EXPECT_EQ(40u * 39, expected.back().timestamp);
    EXPECT_EQ(299u, expected[1].payload.size()) << "audio skips one header byte";

    for (const size_t piece : {size_t(1), size_t(7), size_t(15), size_t(314), size_t(0)}) {
        NetworkBuffer pieces;
        std::thread producer([&] {
            std::mt19937 random{unsigned(piece)};
            for (size_t at = 0; at < file.size();) {
                const size_t n = std::min(file.size() - at, piece ? piece : 1 + random() % 700);
                pieces.append(&file[at], n);
                at += n;
            }
            pieces.setEndOfStream(true);
        });
        std::unique_ptr<FLVHeader> header(FLVHeader::read(pieces, stop));
        const std::vector<Tag> tags = readAll(pieces);
        producer.join();
        ASSERT_NE(nullptr, header) << "piece " << piece;
        EXPECT_TRUE(header->hasAudio && header->hasVideo);
        EXPECT_TRUE(tags == expected) << "piece " << piece;
    }
}

TEST_F(FLVNetworkReadTest, ATransferCutAnywhereYieldsTheCompleteTagsThenNull) {
    const Bytes file = flv_bytes::file(3, 20);
    // Ends of the header and of the three tags.
    const size_t ends[] = {9, 9 + 35, 9 + 70, 9 + 105};
    for (size_t cut = 0; cut <= file.size(); ++cut) {
        NetworkBuffer cutBuffer;
        cutBuffer.append(file.data(), cut);
        cutBuffer.setEndOfStream(true);
        std::unique_ptr<FLVHeader> header(FLVHeader::read(cutBuffer, stop));
        ASSERT_EQ(cut >= 9, header != nullptr) << "cut at " << cut;
        size_t tags = 0;
        while (FLVPacket* packet = FLVPacket::read(cutBuffer, stop)) {
            ++tags;
            delete packet;
        }
        size_t complete = 0;
        for (size_t i = 1; i < 4; ++i) complete += cut >= ends[i] ? 1 : 0;
        EXPECT_EQ(complete, tags) << "cut at " << cut;
    }
}

TEST_F(FLVNetworkReadTest, ATagWithoutDataEndsTheMedium) {
    feed(flv_bytes::header() + flv_bytes::tag(9, 0, {}) + flv_bytes::tag(9, 40, {0x17, 1}));
    buffer.setEndOfStream(true);
    ASSERT_TRUE(readHeader());
    EXPECT_EQ(nullptr, FLVPacket::read(buffer, stop));
}

TEST_F(FLVNetworkReadTest, AWaitingReaderGivesUpSoonAfterTheStopEvent) {
    // The header, then half of a tag: the reader waits for the rest, in the 15 bytes or in the
    // data, until the stop event ends its wait.
    const Bytes tag = flv_bytes::tag(9, 0, Bytes(200, 0x17));
    for (const size_t have : {size_t(5), size_t(100)}) {
        NetworkBuffer waiting;
        waiting.append(tag.data(), have);
        PEvent stopNow;
        std::atomic<bool> returned(false);
        std::chrono::steady_clock::time_point stopped;
        std::thread reader([&] {
            EXPECT_EQ(nullptr, FLVPacket::read(waiting, stopNow));
            returned = true;
        });
        // The reader must still be waiting after one full step.
        EXPECT_FALSE(waiting.waitForData(have + 1, 300));
        EXPECT_FALSE(returned.load()) << "have " << have;
        stopped = std::chrono::steady_clock::now();
        stopNow.set();
        reader.join();
        const auto waited = std::chrono::steady_clock::now() - stopped;
        // About 150 ms; the bound is loose so that a loaded machine does not fail it, while a
        // reader that ignored the event would wait forever.
        EXPECT_LT(waited, std::chrono::seconds(3)) << "have " << have;
    }
}

}  // namespace
