// Thin wrappers over POSIX threads: a mutex, a mutex with a condition, an event that stays
// signalled until it is reset, a scoped lock guard, and a thread that runs a delegate.
//
// All wrappers may be used from any thread. Results of the POSIX calls are not checked, except
// the time-out of the timed waits and the failure to create a thread, which raises
// std::exception from the PThread constructor.
#pragma once

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdint>

class PMutex {
public:
    // A recursive mutex may be locked again by the thread that holds it; it then needs as many
    // unlocks as locks.
    explicit PMutex(bool recursive);
    virtual ~PMutex();

    PMutex(const PMutex&) = delete;
    PMutex& operator=(const PMutex&) = delete;

    void lock();
    void unlock();

protected:
    pthread_mutex_t mutex_;
};

// A mutex with a condition variable. The condition's clock is CLOCK_MONOTONIC, so timed waits
// are immune to changes of the wall clock.
class PCondMutex : public PMutex {
public:
    explicit PCondMutex(bool recursive);
    ~PCondMutex() override;

    // The caller holds the lock.
    void wait();
    // Waits until |deadline| on CLOCK_MONOTONIC. Returns false when the deadline passed
    // (ETIMEDOUT), true when woken for any other reason. The caller holds the lock.
    bool timedWait(const timespec& deadline);
    void broadcast();

private:
    pthread_cond_t condition_;
};

// Locks a PMutex for the lifetime of the guard, so that an exception cannot leave it locked.
class PScopedLock {
public:
    explicit PScopedLock(PMutex& mutex) : mutex_(mutex) { mutex_.lock(); }
    ~PScopedLock() { mutex_.unlock(); }

    PScopedLock(const PScopedLock&) = delete;
    PScopedLock& operator=(const PScopedLock&) = delete;

private:
    PMutex& mutex_;
};

// An event that stays signalled from set() until reset(); waiting does not consume the signal
// and every waiter is released. Safe to call from any thread.
class PEvent {
public:
    PEvent();

    PEvent(const PEvent&) = delete;
    PEvent& operator=(const PEvent&) = delete;

    void set();
    void reset();
    void wait();
    // Returns true when the event is (or becomes) signalled within |milliseconds|, false on
    // time-out. A negative time-out counts as 0.
    bool timedWait(int32_t milliseconds);
    // A snapshot without taking the lock.
    bool isSignalled() const { return signalled_.load(std::memory_order_relaxed); }

    // |now| plus |milliseconds|, with the nanoseconds carried into the seconds.
    static timespec deadlineAfter(const timespec& now, int32_t milliseconds);

private:
    PCondMutex lock_;
    std::atomic<bool> signalled_;  // written under lock_
};

// The body of a PThread. run() is called on the new thread with the PThread's argument.
class PThreadDelegateGeneric {
public:
    PThreadDelegateGeneric() = default;
    virtual ~PThreadDelegateGeneric() = default;
    virtual void* run(void* argument) = 0;
    // A new heap copy, owned by the caller.
    virtual PThreadDelegateGeneric* clone() const = 0;

protected:
    PThreadDelegateGeneric(const PThreadDelegateGeneric&) = default;
    PThreadDelegateGeneric& operator=(const PThreadDelegateGeneric&) = default;
};

// Runs a member function of T. "object" is not owned and must outlive the thread.
template <class T>
class PThreadDelegateMember : public PThreadDelegateGeneric {
public:
    typedef void* (T::*Function)(void*);

    PThreadDelegateMember(T* object, Function function) : object_(object), function_(function) {}

    void* run(void* argument) override { return (object_->*function_)(argument); }
    PThreadDelegateGeneric* clone() const override {
        return new PThreadDelegateMember<T>(object_, function_);
    }

private:
    T* object_;
    Function function_;
};

// A thread that is running when the constructor returns. The thread works on its own copy of
// the delegate, so neither the caller's delegate nor this object must outlive it. The owner asks
// the body to stop by its own means and calls join() before deleting a PThread: the destructor
// neither joins nor detaches.
class PThread {
public:
    // Raises std::exception when the thread cannot be created.
    explicit PThread(const PThreadDelegateGeneric& delegate);
    virtual ~PThread();

    PThread(const PThread&) = delete;
    PThread& operator=(const PThread&) = delete;

    void join();

private:
    static void* entry(void* self);

    pthread_t handle_;
    PThreadDelegateGeneric* delegate_;  // owned; the constructor's copy
    PCondMutex startLock_;
    void* argument_;
    int started_;  // guarded by startLock_
};
