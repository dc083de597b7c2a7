#include "common/Threads.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <thread>

#include <gtest/gtest.h>

namespace {

TEST(PEventTest, TimedAndUntimedWaits) {
    PEvent event;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(event.timedWait(150));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(149));
    for (int32_t timeout : {0, -1, INT32_MIN}) EXPECT_FALSE(event.timedWait(timeout)) << timeout;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));  // no time
    // Every waiter wakes, and the event stays set for later waits.
    std::atomic<int> woken(0);
    std::thread timed([&] { woken += event.timedWait(60000) ? 1 : 0; });
    std::thread untimed([&] { event.wait(), ++woken; });
    event.set();
    timed.join(), untimed.join();
    EXPECT_EQ(woken, 2);
    EXPECT_TRUE(event.timedWait(-1));
    event.wait(), event.reset();
    EXPECT_FALSE(event.isSignalled() || event.timedWait(50));
}

TEST(PEventTest, DeadlineCarriesNanosecondsIntoSeconds) {
    // now (seconds, nanoseconds), milliseconds, deadline (seconds, nanoseconds)
    for (const char* row :
         {"5 0 0 5 0", "5 999999999 1 6 999999", "5 999000000 1000 6 999000000",
          "5 500000000 1500 7 0", "5 0 -5 5 0", "0 0 2147483647 2147483 647000000"}) {
        long c[5];
        ASSERT_EQ(5, std::sscanf(row, "%ld %ld %ld %ld %ld", &c[0], &c[1], &c[2], &c[3], &c[4]));
        const timespec deadline = PEvent::deadlineAfter({c[0], c[1]}, static_cast<int32_t>(c[2]));
        EXPECT_TRUE(deadline.tv_sec == c[3] && deadline.tv_nsec == c[4]) << c[2];
    }
}

PCondMutex mutex(true);
std::atomic<int> live{0};
PEvent running, release;
pthread_t handle;

// Counts its live copies; the thread runs on a copy of its own.
struct Counted : PThreadDelegateGeneric {
    Counted() { ++live; }
    Counted(const Counted& other) : PThreadDelegateGeneric(other) { ++live; }
    ~Counted() override { --live; }
    void* run(void*) override {
        handle = pthread_self();
        mutex.lock(), running.set(), mutex.unlock();
        release.wait();
        ++runs;  // reads this copy after the PThread is gone: a freed copy is a sanitizer report
        return nullptr;
    }
    PThreadDelegateGeneric* clone() const override { return new Counted(*this); }
    int runs = 0;
};

TEST(PThreadTest, ThreadRunsOnItsOwnCopyBeyondThePThreadAndRecursiveLocksCount) {
    running.reset(), release.reset();
    mutex.lock(), mutex.lock(), mutex.unlock();
    {
        Counted original;
        PThread* thread = new PThread(original);
        EXPECT_EQ(live, 3);  // the constructor returns once the thread holds its own copy
        EXPECT_FALSE(running.timedWait(100));  // the mutex is still held once
        mutex.unlock();
        running.wait();
        delete thread;
        EXPECT_EQ(live, 2);
    }
    release.set();
    pthread_join(handle, nullptr);
    EXPECT_EQ(live, 0);
}

}  // namespace
