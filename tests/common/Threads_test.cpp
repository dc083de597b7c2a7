#include "common/Threads.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Clock = std::chrono::steady_clock;

long long millisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(PEventTest, TimedWaitTimesOutWhenNobodySets) {
    PEvent event;
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(event.timedWait(150));
    EXPECT_GE(millisecondsSince(start), 149);
}

TEST(PEventTest, ReturnsAtOnceWhenSignalledOrGivenNoTime) {
    PEvent event;
    for (int32_t timeout : {0, -1, -1000, INT32_MIN}) {
        const Clock::time_point start = Clock::now();
        EXPECT_FALSE(event.timedWait(timeout)) << timeout;
        EXPECT_LT(millisecondsSince(start), 1000) << timeout;
    }
    event.set();
    const Clock::time_point start = Clock::now();
    EXPECT_TRUE(event.timedWait(60000));
    EXPECT_TRUE(event.timedWait(-1));
    event.wait();
    EXPECT_LT(millisecondsSince(start), 1000);
}

TEST(PEventTest, SetWakesEveryWaiterAndResetBlocksAgain) {
    PEvent event;
    std::atomic<int> woken(0);
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] { woken += event.timedWait(60000) ? 1 : 0; });
        waiters.emplace_back([&] { event.wait(), ++woken; });
    }
    event.set();
    for (std::thread& waiter : waiters) waiter.join();
    EXPECT_EQ(woken, 6);
    event.reset();
    EXPECT_FALSE(event.isSignalled());
    EXPECT_FALSE(event.timedWait(50));
}

TEST(PEventTest, DeadlineCarriesNanosecondsIntoSeconds) {
    const struct {
        timespec now;
        int32_t milliseconds;
        timespec deadline;
    } cases[] = {
        {{5, 0}, 0, {5, 0}},
        {{5, 999999999}, 1, {6, 999999}},
        {{5, 999000000}, 1000, {6, 999000000}},
        {{5, 500000000}, 1500, {7, 0}},
        {{5, 0}, -5, {5, 0}},
        {{0, 0}, INT32_MAX, {2147483, 647000000}},
    };
    for (const auto& c : cases) {
        const timespec deadline = PEvent::deadlineAfter(c.now, c.milliseconds);
        EXPECT_EQ(deadline.tv_sec, c.deadline.tv_sec) << c.milliseconds;
        EXPECT_EQ(deadline.tv_nsec, c.deadline.tv_nsec) << c.milliseconds;
    }
}

TEST(PCondMutexTest, RecursiveLockNeedsAsManyUnlocks) {
    PCondMutex mutex(true);
    PEvent otherHasIt;
    mutex.lock();
    mutex.lock();
    mutex.unlock();
    std::thread other([&] {
        mutex.lock();
        otherHasIt.set();
        mutex.unlock();
    });
    EXPECT_FALSE(otherHasIt.timedWait(100));  // still held once
    mutex.unlock();
    EXPECT_TRUE(otherHasIt.timedWait(60000));
    other.join();
}

struct Counter {
    void* bump(void* argument) {
        ++count;
        seenArgument = argument;
        return nullptr;
    }
    std::atomic<int> count{0};
    void* seenArgument = this;
};

TEST(PThreadTest, RunsTheMemberFunctionAndJoins) {
    Counter counter;
    PThread thread(PThreadDelegateMember<Counter>(&counter, &Counter::bump));  // a temporary
    thread.join();
    EXPECT_EQ(counter.count, 1);
    EXPECT_EQ(counter.seenArgument, nullptr);
}

// Counts its live copies; the body runs on whichever copy the thread holds.
class CountingDelegate : public PThreadDelegateGeneric {
  public:
    struct Body {
        PEvent running;
        PEvent release;
        pthread_t thread;
        std::atomic<int> runs{0};
    };

    CountingDelegate(Body* body, std::atomic<int>* live) : body_(body), live_(live) { ++*live_; }
    CountingDelegate(const CountingDelegate& other)
        : PThreadDelegateGeneric(other), body_(other.body_), live_(other.live_) {
        ++*live_;
    }
    ~CountingDelegate() override { --*live_; }

    void* run(void*) override {
        body_->thread = pthread_self();
        body_->running.set();
        body_->release.wait();
        // Reads this copy after the PThread is gone: a freed copy is a sanitizer report.
        ++body_->runs;
        return nullptr;
    }
    PThreadDelegateGeneric* clone() const override { return new CountingDelegate(*this); }

  private:
    Body* const body_;
    std::atomic<int>* const live_;
};

TEST(PThreadTest, DeletingThePThreadLeavesItsThreadRunningOnItsOwnCopy) {
    std::atomic<int> live(0);
    CountingDelegate::Body body;
    {
        CountingDelegate original(&body, &live);
        PThread* thread = new PThread(original);
        // The constructor returns once the thread holds its own copy.
        EXPECT_EQ(live, 3);
        body.running.wait();
        delete thread;
        EXPECT_EQ(live, 2);
    }
    EXPECT_EQ(live, 1);
    body.release.set();
    pthread_join(body.thread, nullptr);
    EXPECT_EQ(body.runs, 1);
    EXPECT_EQ(live, 0);
}

}  // namespace
