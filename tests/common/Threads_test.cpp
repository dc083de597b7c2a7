#include "common/Threads.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <memory>
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
    const long long waited = millisecondsSince(start);
    EXPECT_GE(waited, 149);
    EXPECT_LT(waited, 5000);
}

TEST(PEventTest, NonPositiveTimeOutsReturnAtOnce) {
    PEvent event;
    for (int32_t timeout : {0, -1, -1000, INT32_MIN}) {
        const Clock::time_point start = Clock::now();
        EXPECT_FALSE(event.timedWait(timeout)) << timeout;
        EXPECT_LT(millisecondsSince(start), 1000) << timeout;
    }
}

TEST(PEventTest, SignalledEventReturnsAtOnce) {
    PEvent event;
    event.set();
    const Clock::time_point start = Clock::now();
    EXPECT_TRUE(event.timedWait(60000));
    EXPECT_TRUE(event.timedWait(0));
    event.wait();
    EXPECT_LT(millisecondsSince(start), 1000);
}

TEST(PEventTest, SetWakesEveryWaiterAndResetBlocksAgain) {
    PEvent event;
    std::atomic<int> woken(0);
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] { woken += event.timedWait(60000) ? 1 : 0; });
        waiters.emplace_back([&] {
            event.wait();
            ++woken;
        });
    }
    const Clock::time_point start = Clock::now();
    event.set();
    for (std::thread& waiter : waiters) waiter.join();
    EXPECT_EQ(woken, 6);
    EXPECT_LT(millisecondsSince(start), 30000);
    EXPECT_TRUE(event.isSignalled());

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
        {{5, 1}, 999, {5, 999000001}},
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

TEST(PCondMutexTest, TimedWaitReportsTheDeadline) {
    PCondMutex mutex(false);
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    mutex.lock();
    EXPECT_FALSE(mutex.timedWait(PEvent::deadlineAfter(now, 30)));
    mutex.unlock();
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
    // Still held once: the other thread cannot get it.
    EXPECT_FALSE(otherHasIt.timedWait(100));
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
    void* seenArgument = reinterpret_cast<void*>(1);
};

TEST(PThreadTest, RunsTheMemberFunctionAndJoins) {
    Counter counter;
    PThread thread(PThreadDelegateMember<Counter>(&counter, &Counter::bump));  // a temporary
    thread.join();
    EXPECT_EQ(counter.count, 1);
    EXPECT_EQ(counter.seenArgument, nullptr);
}

// Counts its live copies; the thread body runs on whichever copy the thread holds.
class CountingDelegate : public PThreadDelegateGeneric {
public:
    struct Body {
        PEvent running;
        PEvent release;
        pthread_t thread;
        std::atomic<int> runs{0};
    };

    CountingDelegate(Body* body, std::atomic<int>* live)
        : body_(body), live_(live), name_(new std::string("delegate")) {
        ++*live_;
    }
    CountingDelegate(const CountingDelegate& other)
        : PThreadDelegateGeneric(other),
          body_(other.body_),
          live_(other.live_),
          name_(new std::string(*other.name_)) {
        ++*live_;
    }
    ~CountingDelegate() override { --*live_; }

    void* run(void*) override {
        body_->thread = pthread_self();
        body_->running.set();
        body_->release.wait();
        // Touches this copy after the PThread is gone: freed memory here is a sanitizer report.
        if (*name_ == "delegate") ++body_->runs;
        return nullptr;
    }
    PThreadDelegateGeneric* clone() const override { return new CountingDelegate(*this); }

private:
    Body* body_;
    std::atomic<int>* live_;
    std::unique_ptr<std::string> name_;
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
