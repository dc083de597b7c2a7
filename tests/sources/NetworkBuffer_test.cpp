// NetworkBuffer against a model (the whole stream as a string) and at its limits.
#include <atomic>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <QBuffer>
#include <QByteArray>
#include <QIODevice>

#include <gtest/gtest.h>

#include "sources/NetworkBuffer.h"
#include "sources/RecordingLog.h"

namespace {

constexpr uint64_t kLimit = NetworkBuffer::historyLimit;

std::vector<uint8_t> pattern(size_t count, uint32_t seed) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = uint8_t((seed + i) * 2654435761u >> 24);
    return bytes;
}

// The buffer's rules restated on a string that holds every byte ever appended.
struct Model {
    std::string stream;
    uint64_t discarded = 0;
    uint64_t position = 0;  // stream offset of the next unread byte
    int drops = 0;

    uint64_t held() const { return stream.size() - discarded; }
    uint64_t available() const { return stream.size() - position; }

    std::string read(uint64_t length) {
        const uint64_t n = std::min(length, available());
        std::string out = stream.substr(position, n);
        position += n;
        if (position - discarded > kLimit) {
            discarded = position;
            ++drops;
        }
        return out;
    }
};

void expectSame(NetworkBuffer& buffer, const Model& model, const std::string& step) {
    ASSERT_EQ(model.available(), buffer.available()) << step;
    ASSERT_EQ(model.position, buffer.position()) << step;
    ASSERT_EQ(model.discarded, buffer.discardedBytes()) << step;
    ASSERT_EQ(model.held(), buffer.heldBytes()) << step;
    const int64_t end = int64_t(model.discarded + model.held());
    const int64_t start = int64_t(model.discarded);
    EXPECT_TRUE(start == end || buffer.isInBuffer(start)) << step;
    EXPECT_FALSE(buffer.isInBuffer(start - 1)) << step;
    EXPECT_FALSE(buffer.isInBuffer(end)) << step;
    EXPECT_TRUE(buffer.isReachable(end + 32767)) << step;
    EXPECT_FALSE(buffer.isReachable(end + 32768)) << step;
    EXPECT_FALSE(buffer.isReachable(start - 1)) << step;
}

TEST(NetworkBufferTest, FollowsTheModelUnderRandomAppendsReadsAndSeeks) {
    std::mt19937 random(20261205);
    NetworkBuffer buffer;
    Model model;
    // Sizes up to 3 MiB cross the history limit several times within about 100 MiB.
    std::uniform_int_distribution<size_t> size(0, 3 << 20);
    for (int step = 0; step < 400; ++step) {
        const std::string name = "step " + std::to_string(step);
        // Now and then a clear: the held bytes go, their stream offsets are taken anew.
        if (random() % 100 == 0) {
            buffer.clear();
            model.stream.resize(model.discarded);
            model.position = model.discarded;
            expectSame(buffer, model, name + " clear");
            continue;
        }
        switch (random() % 4) {
            case 0:
            case 1: {
                const auto bytes = pattern(random() % 3 == 0 ? random() % 64 : size(random), step);
                buffer.append(bytes.data(), bytes.size());
                model.stream.append(bytes.begin(), bytes.end());
                break;
            }
            case 2: {
                const uint32_t length = uint32_t(random() % 3 == 0 ? random() % 64 : size(random));
                std::vector<uint8_t> out(length + 1, 0xEE);
                const uint32_t got = buffer.read(out.data(), length);
                const std::string expected = model.read(length);
                ASSERT_EQ(expected.size(), got) << name;
                ASSERT_EQ(expected, std::string(out.begin(), out.begin() + got)) << name;
                ASSERT_EQ(0xEE, out[got]) << name << ": wrote past the count";
                break;
            }
            case 3: {
                // Callers seek only to held offsets; an offset below the dropped bytes is ignored.
                const int64_t lowest = int64_t(model.discarded) - 100;
                const int64_t target = lowest + int64_t(random() % (model.held() + 101));
                if (buffer.isInBuffer(target)) {
                    buffer.seek(target);
                    model.position = uint64_t(target);
                } else if (target < int64_t(model.discarded)) {
                    buffer.seek(target);
                }
                break;
            }
        }
        expectSame(buffer, model, name);
        if (HasFatalFailure()) return;
    }
    EXPECT_GE(model.drops, 2) << "the run should have dropped history repeatedly";
}

TEST(NetworkBufferTest, HistoryIsKeptUpToTheLimitAndDroppedOnePast) {
    recording_log::Recorder recorder;
    NetworkBuffer buffer;
    const auto bytes = pattern(kLimit + 10, 1);
    buffer.append(bytes.data(), bytes.size());
    std::vector<uint8_t> out(kLimit);

    ASSERT_EQ(kLimit, buffer.read(out.data(), uint32_t(kLimit)));
    EXPECT_EQ(0u, buffer.discardedBytes());
    EXPECT_TRUE(buffer.isInBuffer(0));

    EXPECT_TRUE(recorder.log().lines().empty());
    ASSERT_EQ(1u, buffer.read(out.data(), 1));
    EXPECT_EQ(std::vector<std::wstring>{L"4 Buffer history is too big, discard 33554433"},
              recorder.log().lines());
    EXPECT_EQ(kLimit + 1, buffer.discardedBytes());
    EXPECT_EQ(kLimit + 1, buffer.position());
    EXPECT_EQ(9u, buffer.available());
    EXPECT_FALSE(buffer.isInBuffer(int64_t(kLimit)));
    EXPECT_EQ(bytes[kLimit], out[0]);

    // The new history starts small again.
    ASSERT_EQ(9u, buffer.read(out.data(), 100));
    EXPECT_EQ(bytes[kLimit + 9], out[8]);
    EXPECT_EQ(9u, buffer.heldBytes());
    EXPECT_EQ(0u, buffer.read(out.data(), 100));

    // One read that takes every held byte past the limit leaves nothing held.
    NetworkBuffer all;
    all.append(bytes.data(), bytes.size());
    std::vector<uint8_t> everything(bytes.size());
    ASSERT_EQ(bytes.size(), all.read(everything.data(), uint32_t(bytes.size())));
    EXPECT_EQ(0u, all.heldBytes());
    EXPECT_EQ(kLimit + 10, all.discardedBytes());
    EXPECT_EQ(kLimit + 10, all.position());
    EXPECT_TRUE(everything == bytes);
}

// A device whose announced bytes come in short pieces, or whose read fails.
class ScriptedDevice : public QIODevice {
  public:
    ScriptedDevice(int64_t announced, int64_t perRead, bool fail)
        : announced_(announced), perRead_(perRead), fail_(fail) {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    qint64 bytesAvailable() const override { return announced_; }
    bool isSequential() const override { return true; }

  protected:
    qint64 readData(char* data, qint64 maxSize) override {
        if (fail_) return -1;
        const qint64 n = std::min<qint64>(maxSize, perRead_);
        for (qint64 i = 0; i < n; ++i) data[i] = char('a' + i % 26);
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

  private:
    int64_t announced_;
    int64_t perRead_;
    bool fail_;
};

TEST(NetworkBufferTest, ReadsFromADeviceWhatItHas) {
    struct Case {
        const char* name;
        int64_t announced;
        int64_t perRead;
        bool fail;
        uint64_t held;
    };
    const Case cases[] = {
        {"nothing available", 0, 10, false, 0},
        {"a failing read keeps the size", 100, 100, true, 0},
        {"a short read keeps what came", 1000, 300, false, 300},
        {"more than a block", 600000, 600000, false, 600000},
    };
    for (const Case& c : cases) {
        recording_log::Recorder recorder;
        NetworkBuffer buffer;
        ScriptedDevice device(c.announced, c.perRead, c.fail);
        buffer.readFromNetwork(&device);
        EXPECT_EQ(c.held, buffer.heldBytes()) << c.name;
        EXPECT_EQ(c.held, buffer.available()) << c.name;
        const std::vector<std::wstring> warning = {
            L"2 NetworkBuffer::readFromNetwork : read error"};
        EXPECT_EQ(c.fail ? warning : std::vector<std::wstring>(), recorder.log().lines()) << c.name;
    }

    NetworkBuffer buffer;
    QByteArray content(700000, 'x');
    content[699999] = 'y';
    QBuffer device(&content);
    device.open(QIODevice::ReadOnly);
    buffer.readFromNetwork(&device);
    std::vector<uint8_t> out(700000);
    ASSERT_EQ(700000u, buffer.read(out.data(), 700000));
    EXPECT_EQ('y', out.back());
}

TEST(NetworkBufferTest, WaitForDataReturnsWhenBytesArriveOrTheStreamEnds) {
    NetworkBuffer buffer;
    const auto bytes = pattern(1000, 3);
    std::thread producer([&] {
        for (size_t i = 0; i < bytes.size(); i += 100) buffer.append(&bytes[i], 100);
    });
    // A generous time-out: only a lost wake-up would make the wait last that long.
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
        while (!released.load()) {
            other.wakeWaiters();
            std::this_thread::yield();
        }
    });
    EXPECT_FALSE(other.waitForData(1, 60000));
    released = true;
    waker.join();
}

}  // namespace
