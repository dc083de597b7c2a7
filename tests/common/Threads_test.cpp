#include "common/Threads.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

TEST(PEventTest, TimedAndUntimedWaits) {
    PEvent event;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(event.timedWait(150));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(149));
    start = std::chrono::steady_clock::now();
    for (int32_t timeout : {0, -1, INT32_MIN}) EXPECT_FALSE(event.timedWait(timeout)) << timeout;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));  // no time
    // Every waiter wakes, and the event stays set for later waits.
    std::atomic<int> woken(0);
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&] { woken += event.timedWait(60000) ? 1 : 0; });
        waiters.emplace_back([&] { event.wait(), ++woken; });
    }
    event.set();
    for (std::thread& waiter : waiters) waiter.join();
    EXPECT_EQ(woken, 4);
    EXPECT_TRUE(event.timedWait(-1));
    event.wait();
    event.reset();
    EXPECT_FALSE(event.isSignalled() || event.timedWait(50));
}

TEST(PEventTest, DeadlineCarriesNanosecondsIntoSeconds) {
    // now (seconds, nanoseconds), milliseconds, deadline
    const long cases[][5] = {{5, 0, 0, 5, 0},
                             {5, 999999999, 1, 6, 999999},
                             {5, 999000000, 1000, 6, 999000000},
                             {5, 500000000, 1500, 7, 0},
                             {5, 0, -5, 5, 0},
                             {0, 0, INT32_MAX, 2147483, 647000000}};
    for (const auto& c : cases) {
        const timespec deadline = PEvent::deadlineAfter({c[0], c[1]}, static_cast<int32_t>(c[2]));
        EXPECT_TRUE(deadline.tv_sec == c[3] && deadline.tv_nsec == c[4]) << c[2];
    }
}

struct Locker {
    void* run(void*) {
        mutex.lock();
        hasIt.set();
        mutex.unlock();
        return nullptr;
    }
    PCondMutex mutex{true};
    PEvent hasIt;
};

TEST(PThreadTest, RecursiveLockNeedsAsManyUnlocks) {
    Locker locker;
    locker.mutex.lock();
    locker.mutex.lock();
    locker.mutex.unlock();
    PThread thread(PThreadDelegateMember<Locker>(&locker, &Locker::run));  // from a temporary
    EXPECT_FALSE(locker.hasIt.timedWait(100));                             // still held once
    locker.mutex.unlock();
    EXPECT_TRUE(locker.hasIt.timedWait(60000));
    thread.join();
}

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
        running.set();
        release.wait();
        ++runs;  // reads this copy after the PThread is gone: a freed copy is a sanitizer report
        return nullptr;
    }
    PThreadDelegateGeneric* clone() const override { return new Counted(*this); }
    int runs = 0;
};

TEST(PThreadTest, DeletingThePThreadLeavesItsThreadRunningOnItsOwnCopy) {
    {
        Counted original;
        PThread* thread = new PThread(original);
        EXPECT_EQ(live, 3);  // the constructor returns once the thread holds its own copy
        running.wait();
        delete thread;
        EXPECT_EQ(live, 2);
    }
    release.set();
    pthread_join(handle, nullptr);
    EXPECT_EQ(live, 0);
}

}  // namespace
