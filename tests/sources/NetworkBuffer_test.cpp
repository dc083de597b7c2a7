// NetworkBuffer against a model (every byte appended, as a string) and at its limits.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <QIODevice>

#include <gtest/gtest.h>

#include "sources/NetworkBuffer.h"
#include "sources/RecordingLog.h"

namespace {

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

TEST(NetworkBufferTest, FollowsTheModelUnderRandomAppendsReadsSeeksAndClears) {
    std::mt19937 random(20261205);
    NetworkBuffer buffer;
    std::string stream;  // every byte appended; below |discarded| only to keep offsets
    uint64_t discarded = 0, position = 0;
    int drops = 0;
    // Sizes up to 3 MiB cross the history limit several times within about 100 MiB.
    std::uniform_int_distribution<size_t> size(0, 3 << 20);
    const auto length = [&] { return random() % 3 == 0 ? random() % 64 : size(random); };
    for (int step = 0; step < 400; ++step) {
        SCOPED_TRACE(step);
        const unsigned what = random() % 100 == 0 ? 4 : random() % 4;
        if (what == 4) {
            // The held bytes go; their stream offsets are taken anew.
            buffer.clear();
            stream.resize(discarded);
            position = discarded;
        } else if (what < 2) {
            const std::string bytes = pattern(length(), step);
            append(buffer, bytes);
            stream += bytes;
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
        EXPECT_TRUE(start == end || buffer.isInBuffer(start));
        EXPECT_FALSE(buffer.isInBuffer(start - 1) || buffer.isInBuffer(end));
        EXPECT_TRUE(buffer.isReachable(end + 32767));
        EXPECT_FALSE(buffer.isReachable(end + 32768) || buffer.isReachable(start - 1));
    }
    EXPECT_GE(drops, 2) << "the run should have dropped history repeatedly";
}

TEST(NetworkBufferTest, HistoryIsKeptUpToTheLimitAndDroppedOnePast) {
    recording_log::Recorder recorder;
    NetworkBuffer buffer;
    const std::string bytes = pattern(kLimit + 10, 1);
    append(buffer, bytes);
    ASSERT_EQ(kLimit, read(buffer, uint32_t(kLimit)).size());
    EXPECT_TRUE(buffer.isInBuffer(0));
    EXPECT_EQ(bytes.substr(kLimit, 1), read(buffer, 1));
    EXPECT_EQ(kLimit + 1, buffer.discardedBytes());
    EXPECT_EQ(std::vector<std::wstring>{L"Buffer history is too big, discard 33554433"},
              recorder.log().lines(4));
    EXPECT_EQ(bytes.substr(kLimit + 1), read(buffer, 100));
    EXPECT_EQ(9u, buffer.heldBytes()) << "the new history starts small";
}

// Announces |announced| bytes, gives at most |perRead| of them a call, and fails when |fail|.
class ScriptedDevice : public QIODevice {
  public:
    ScriptedDevice(qint64 announced, qint64 perRead, bool fail)
        : announced_(announced), perRead_(perRead), fail_(fail) {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    qint64 bytesAvailable() const override { return announced_; }
    bool isSequential() const override { return true; }

  protected:
    qint64 readData(char* data, qint64 maxSize) override {
        const qint64 n = std::min(maxSize, perRead_);
        for (qint64 i = 0; i < n; ++i) data[i] = char(uint32_t(given_++) * 2654435761u >> 24);
        return fail_ ? -1 : n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

  private:
    qint64 announced_, perRead_, given_ = 0;
    bool fail_;
};

TEST(NetworkBufferTest, TakesFromADeviceWhatItHasUpToTheLimit) {
    const struct {
        qint64 announced, perRead;
        bool fail;
        uint64_t limit, held;
    } cases[] = {
        {0, 10, false, UINT64_MAX, 0},
        {100, 100, true, UINT64_MAX, 0},  // keeps the size it had
        {1000, 300, false, UINT64_MAX, 300},
        {1000, 1000, false, 400, 400},
        {5 << 20, 5 << 20, false, UINT64_MAX, 5 << 20},  // across blocks
    };
    for (const auto& c : cases) {
        recording_log::Recorder recorder;
        NetworkBuffer buffer;
        ScriptedDevice device(c.announced, c.perRead, c.fail);
        buffer.readFromNetwork(&device, c.limit);
        EXPECT_EQ(c.held, buffer.heldBytes()) << c.announced;
        EXPECT_EQ(pattern(c.held, 0), read(buffer, uint32_t(c.held + 1))) << c.announced;
        EXPECT_EQ(c.fail,
                  recorder.log().lines(2) ==
                      std::vector<std::wstring>{L"NetworkBuffer::readFromNetwork : read error"});
    }
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

}  // namespace
