#include "common/Threads.h"

#include <errno.h>

#include <cstring>
#include <exception>

PMutex::PMutex(bool recursive) {
    if (recursive) {
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(&mutex_, &attributes);
        pthread_mutexattr_destroy(&attributes);
    } else {
        pthread_mutex_init(&mutex_, nullptr);
    }
}

PMutex::~PMutex() { pthread_mutex_destroy(&mutex_); }

void PMutex::lock() { pthread_mutex_lock(&mutex_); }

void PMutex::unlock() { pthread_mutex_unlock(&mutex_); }

PCondMutex::PCondMutex(bool recursive) : PMutex(recursive) {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&condition_, &attributes);
    pthread_condattr_destroy(&attributes);
}

PCondMutex::~PCondMutex() { pthread_cond_destroy(&condition_); }

void PCondMutex::wait() { pthread_cond_wait(&condition_, &mutex_); }

bool PCondMutex::timedWait(const timespec& deadline) {
    return pthread_cond_timedwait(&condition_, &mutex_, &deadline) != ETIMEDOUT;
}

void PCondMutex::broadcast() { pthread_cond_broadcast(&condition_); }

PEvent::PEvent() : lock_(false), signalled_(false) {}

void PEvent::set() {
    lock_.lock();
    signalled_.store(true, std::memory_order_relaxed);
    lock_.broadcast();
    lock_.unlock();
}

void PEvent::reset() {
    lock_.lock();
    signalled_.store(false, std::memory_order_relaxed);
    lock_.unlock();
}

void PEvent::wait() {
    lock_.lock();
    while (!signalled_.load(std::memory_order_relaxed)) lock_.wait();
    lock_.unlock();
}

timespec PEvent::deadlineAfter(const timespec& now, int32_t milliseconds) {
    if (milliseconds < 0) milliseconds = 0;
    timespec deadline = now;
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_nsec -= 1000000000L;
        deadline.tv_sec += 1;
    }
    return deadline;
}

bool PEvent::timedWait(int32_t milliseconds) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const timespec deadline = deadlineAfter(now, milliseconds);

    lock_.lock();
    bool signalled = signalled_.load(std::memory_order_relaxed);
    while (!signalled) {
        if (!lock_.timedWait(deadline)) break;
        signalled = signalled_.load(std::memory_order_relaxed);
    }
    lock_.unlock();
    return signalled;
}

PThread::PThread(const PThreadDelegateGeneric& delegate)
    : delegate_(delegate.clone()), startLock_(false), argument_(nullptr), started_(0) {
    std::memset(&handle_, 0, sizeof(handle_));
    if (pthread_create(&handle_, nullptr, &PThread::entry, this) != 0) {
        delete delegate_;
        delegate_ = nullptr;
        throw std::exception();
    }
    startLock_.lock();
    while (started_ == 0) startLock_.wait();
    startLock_.unlock();
}

PThread::~PThread() { delete delegate_; }

void PThread::join() { pthread_join(handle_, nullptr); }

void* PThread::entry(void* self) {
    PThread* const thread = static_cast<PThread*>(self);
    PThreadDelegateGeneric* const delegate = thread->delegate_->clone();
    void* const argument = thread->argument_;

    thread->startLock_.lock();
    thread->started_ = 1;
    thread->startLock_.broadcast();
    thread->startLock_.unlock();
    // From here on the PThread object may be gone.

    void* const result = delegate->run(argument);
    delete delegate;
    return result;
}
