// FLV header and tag reading from a NetworkBuffer that another thread fills.
#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/Threads.h"
#include "flv/FLVHeader.h"
#include "flv/FLVPacket.h"
#include "sources/NetworkBuffer.h"
#include "support/FlvBytes.h"

namespace {

using flv_bytes::Bytes;
using flv_bytes::operator+;
using flv_bytes::Tag;

TEST(FLVNetworkReadTest, GivesTheCompleteTagsWhateverPiecesTheBytesComeInAndWhereTheyEnd) {
    std::vector<Tag> all;
    const Bytes file = flv_bytes::file(6, 30, &all);  // tags of 45 bytes after 9 of header
    PEvent stop;
    for (size_t end = 0; end <= file.size(); ++end) {
        for (const size_t piece : {size_t(1), size_t(7), size_t(0)}) {  // 0: random pieces
            NetworkBuffer buffer;
            std::thread producer([&] {
                std::mt19937 random{unsigned(end)};
                for (size_t at = 0, n = 0; at < end; at += n) {
                    n = std::min(end - at, piece ? piece : 1 + random() % 100);
                    buffer.append(&file[at], n);
                }
                buffer.setEndOfStream(true);
            });
            const std::unique_ptr<FLVHeader> header(FLVHeader::read(buffer, stop));
            const std::vector<Tag> tags =
                flv_bytes::drain([&] { return FLVPacket::read(buffer, stop); });
            producer.join();
            const long complete = end < 9 ? 0 : long(end - 9) / 45;
            EXPECT_EQ(end >= 9, header != nullptr) << end;
            EXPECT_TRUE(tags == std::vector<Tag>(all.begin(), all.begin() + complete))
                << "end " << end << ", pieces of " << piece;
        }
    }
    // A tag without data ends the medium.
    NetworkBuffer buffer;
    const Bytes zero =
        flv_bytes::header() + flv_bytes::tag(9, 0, {}) + flv_bytes::tag(9, 40, {0x17, 1});
    buffer.append(zero.data(), zero.size());
    buffer.setEndOfStream(true);
    delete FLVHeader::read(buffer, stop);
    EXPECT_EQ(nullptr, FLVPacket::read(buffer, stop));
}

TEST(FLVNetworkReadTest, AWaitingReaderGivesUpSoonAfterTheStopEvent) {
    // Half of a tag: the reader waits for the rest, in the 15 bytes or in the data.
    const Bytes tag = flv_bytes::tag(9, 0, Bytes(200, 0x17));
    for (const size_t have : {size_t(5), size_t(100)}) {
        NetworkBuffer buffer;
        buffer.append(tag.data(), have);
        PEvent stop;
        std::atomic<bool> returned(false);
        std::thread reader([&] {
            EXPECT_EQ(nullptr, FLVPacket::read(buffer, stop));
            returned = true;
        });
        // The reader must still be waiting after more than one of its steps.
        EXPECT_FALSE(buffer.waitForData(have + 1, 300));
        EXPECT_FALSE(returned.load()) << "have " << have;
        const auto stopped = std::chrono::steady_clock::now();
        stop.set();
        reader.join();
        // About 150 ms; loose for a loaded machine, while a reader that ignored the event would
        // wait forever.
        EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(3)) << have;
    }
}

}  // namespace
