// NetworkBuffer against a model (every byte appended, as a string) and at its limits, and the FLV
// header and tag reading from a buffer that another thread fills.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <QIODevice>

#include <gtest/gtest.h>

#include "common/Threads.h"
#include "flv/FLVHeader.h"
#include "sources/NetworkBuffer.h"
#include "sources/RecordingLog.h"
#include "support/FlvBytes.h"

namespace {

using flv_bytes::Bytes;
using flv_bytes::Tag;
constexpr uint64_t kLimit = NetworkBuffer::historyLimit;

std::string pattern(size_t count, uint32_t seed) {
    std::string bytes(count, 0);
    for (size_t i = 0; i < count; ++i) bytes[i] = char((seed + i) * 2654435761u >> 24);
    return bytes;
}

void append(NetworkBuffer& buffer, const std::string& bytes) {
    buffer.append(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// |length| bytes or fewer, as read; one more byte of the result tells a write past the count.
std::string read(NetworkBuffer& buffer, uint32_t length) {
    std::string out(length + 1, '\xEE');
    const uint32_t got = buffer.read(reinterpret_cast<uint8_t*>(&out[0]), length);
    EXPECT_EQ('\xEE', out[got]) << "wrote past the count";
    return out.substr(0, got);
}

// Announces more than |bytes| and gives them in pieces of at most |piece|, or fails at once.
class Device : public QIODevice {
  public:
    Device(const std::string& all, size_t most, bool failing)
        : bytes(all), piece(most), fail(failing) {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    qint64 bytesAvailable() const override { return qint64(bytes.size() - given + 100); }
    bool isSequential() const override { return true; }
    qint64 readData(char* data, qint64 max) override {
        if (fail) return -1;
        const size_t n = std::min({size_t(max), piece, bytes.size() - given});
        std::memcpy(data, bytes.data() + given, n);
        given += n;
        return qint64(n);
    }
    qint64 writeData(const char*, qint64) override { return -1; }
    const std::string bytes;
    const size_t piece;
    const bool fail;
    size_t given = 0;
};

TEST(NetworkBufferTest, FollowsTheModelUnderRandomAppendsReadsSeeksAndClears) {
    std::mt19937 random(20261205);
    NetworkBuffer buffer;
    std::string stream;  // every byte appended; below |discarded| only to keep offsets
    uint64_t discarded = 0, position = 0;
    int step = 0, drops = 0, failures = 0;
    recording_log::Recorder recorder;
    // Sizes up to 3 MiB cross the history limit several times within about 100 MiB.
    std::uniform_int_distribution<size_t> size(0, 3 << 20);
    // First the history is kept up to the limit, then dropped one byte past it.
    const uint64_t first[] = {kLimit + 10, kLimit, 1};
    const auto length = [&] {
        return step < 3 ? first[step] : random() % 3 == 0 ? random() % 64 : size(random);
    };
    for (; step < 400; ++step) {
        SCOPED_TRACE(step);
        const unsigned what = step < 3 ? (step ? 2 : 0) : random() % 100 == 0 ? 4 : random() % 4;
        if (what == 4) {
            // The held bytes go; their stream offsets are taken anew.
            buffer.clear();
            stream.resize(discarded);
            position = discarded;
        } else if (what == 0) {
            const std::string bytes = pattern(length(), step);
            append(buffer, bytes);
            stream += bytes;
        } else if (what == 1) {
            Device device(pattern(length(), step), random() % 2 ? SIZE_MAX : length() + 1,
                          random() % 8 == 0);
            const uint64_t limit = random() % 2 ? UINT64_MAX : length();
            buffer.readFromNetwork(&device, limit);
            failures += device.fail;
            ASSERT_LE(device.given, limit);
            stream += device.bytes.substr(0, device.given);
        } else if (what == 2) {
            const uint32_t n = uint32_t(length());
            ASSERT_EQ(stream.substr(position, n), read(buffer, n));
            position = std::min<uint64_t>(position + n, stream.size());
            if (position - discarded > kLimit) ++drops, discarded = position;
        } else {
            // Callers seek only to held offsets; an offset below the dropped bytes is ignored.
            const int64_t target =
                int64_t(discarded) - 100 + int64_t(random() % (stream.size() - discarded + 101));
            const bool held = target >= int64_t(discarded) && target < int64_t(stream.size());
            if (held || target < int64_t(discarded)) buffer.seek(target);
            if (held) position = uint64_t(target);
        }
        ASSERT_EQ(stream.size() - position, buffer.available());
        ASSERT_EQ(position, buffer.position());
        ASSERT_EQ(discarded, buffer.discardedBytes());
        ASSERT_EQ(stream.size() - discarded, buffer.heldBytes());
        const int64_t start = int64_t(discarded), end = int64_t(stream.size());
        EXPECT_TRUE((start == end || buffer.isInBuffer(start)) && buffer.isReachable(end + 32767));
        EXPECT_FALSE(buffer.isInBuffer(start - 1) || buffer.isInBuffer(end) ||
                     buffer.isReachable(end + 32768) || buffer.isReachable(start - 1));
    }
    EXPECT_GE(drops, 2) << "the run should have dropped history repeatedly";
    EXPECT_EQ(size_t(failures), recorder.log().lines(2).size());
    EXPECT_EQ(size_t(drops), recorder.log().lines(4).size());
}

TEST(NetworkBufferTest, WaitForDataReturnsWhenBytesArriveOrTheStreamEnds) {
    NetworkBuffer buffer;
    std::thread producer([&] {
        for (int i = 0; i < 10; ++i) append(buffer, pattern(100, i));
    });
    // Generous time-outs: only a lost wake-up would make a wait last that long.
    EXPECT_TRUE(buffer.waitForData(1000, 60000));
    producer.join();
    EXPECT_FALSE(buffer.waitForData(1001, 0));
    std::thread ender([&] { buffer.setEndOfStream(true); });
    EXPECT_FALSE(buffer.waitForData(2000, 60000));
    ender.join();

    // wakeWaiters releases a waiter that nothing else would release.
    NetworkBuffer other;
    std::atomic<bool> released(false);
    std::thread waker([&] {
        while (!released.load()) other.wakeWaiters(), std::this_thread::yield();
    });
    EXPECT_FALSE(other.waitForData(1, 60000));
    released = true;
    waker.join();
}

TEST(FLVNetworkReadTest, GivesTheCompleteTagsWhateverPiecesTheBytesComeInAndWhereTheyEnd) {
    std::vector<Tag> all;
    const Bytes file = flv_bytes::file(6, 30, &all);  // tags of 45 bytes after 9 of header
    // Pieces of 1, 7 or a random size; or, at a few ends, all at once and then no end of the
    // stream, only the stop event while the reader waits in the header, a tag's 15 bytes or data.
    for (size_t end = 0; end <= file.size(); ++end) {
        for (const size_t piece : {size_t(1), size_t(7), size_t(0), file.size()}) {
            if (piece == file.size() && end % 50 != 7) continue;
            NetworkBuffer buffer;
            PEvent stop;
            std::thread producer([&] {
                std::mt19937 random{unsigned(end)};
                for (size_t at = 0, n = 0; at < end; at += n) {
                    n = std::min(end - at, piece ? piece : 1 + random() % 100);
                    buffer.append(&file[at], n);
                }
                if (piece != file.size()) return buffer.setEndOfStream(true);
                EXPECT_FALSE(buffer.waitForData(end + 1, 300));  // the reader waits meanwhile
                stop.set();
            });
            const std::unique_ptr<FLVHeader> header(FLVHeader::read(buffer, stop));
            const std::vector<Tag> tags =
                flv_bytes::drain([&] { return FLVPacket::read(buffer, stop); });
            EXPECT_EQ(piece == file.size(), stop.isSignalled()) << "gave up before the stop";
            producer.join();
            const long complete = end < 9 ? 0 : long(end - 9) / 45;
            EXPECT_EQ(end >= 9, header != nullptr) << end;
            EXPECT_TRUE(tags == std::vector<Tag>(all.begin(), all.begin() + complete))
                << "end " << end << ", pieces of " << piece;
        }
    }
    // A tag without data ends the medium.
    NetworkBuffer buffer;
    PEvent stop;
    append(buffer, flv_bytes::asString(flv_bytes::tag(9, 0, {})) +
                       flv_bytes::asString(flv_bytes::tag(9, 40, {1})));
    buffer.setEndOfStream(true);
    EXPECT_EQ(nullptr, FLVPacket::read(buffer, stop));
}

}  // namespace
