#include "sources/NetworkBuffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include <QIODevice>

#include "common/Log.h"

NetworkBuffer::NetworkBuffer()
    : lock(true),
      head_(0),
      readPosition(0),
      discarded(0),
      size(0),
      waiters_(0),
      wakeAt_(std::numeric_limits<uint64_t>::max()),
      wakeups_(0),
      demand_(0),
      endOfStream(false) {}

NetworkBuffer::~NetworkBuffer() {
    PScopedLock guard(lock);
    blocks_.clear();
    spare_.clear();
}

void NetworkBuffer::BlockDeleter::operator()(uint8_t* block) const {
    std::free(block);
}

NetworkBuffer::Block NetworkBuffer::newBlock() {
    void* block = std::aligned_alloc(kBlockSize, kBlockSize);
    if (block == nullptr) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    // Only a hint: without huge pages the block works the same, a little slower.
    ::madvise(block, kBlockSize, MADV_HUGEPAGE);
#endif
    return Block(static_cast<uint8_t*>(block));
}

uint8_t* NetworkBuffer::tailRoom(size_t* room) {
    const size_t end = head_ + static_cast<size_t>(size);
    const size_t used = blocks_.size() * kBlockSize;
    if (end == used) {
        if (spare_.empty()) {
            blocks_.push_back(newBlock());
        } else {
            blocks_.push_back(std::move(spare_.back()));
            spare_.pop_back();
        }
    }
    *room = kBlockSize - end % kBlockSize;
    return blocks_[end / kBlockSize].get() + end % kBlockSize;
}

void NetworkBuffer::notifyLocked() {
    // Only when a waiter's count is reached: waking the reader for every arrival would cost a
    // thread switch per network packet.
    if (waiters_ > 0 && size >= wakeAt_) lock.broadcast();
}

void NetworkBuffer::readFromNetwork(QIODevice* device, uint64_t limit) {
    bool failed = false;
    int64_t remaining = static_cast<int64_t>(std::min<uint64_t>(
        static_cast<uint64_t>(std::max<int64_t>(device->bytesAvailable(), 0)), limit));
    while (remaining > 0) {
        // The copy from the device runs without the lock, so that the reader is not held up
        // by it: bytes past |size| are the producer's alone, and the block that holds them is
        // never freed while it is being written (see dropHistory and clear).
        size_t room = 0;
        uint8_t* tail = nullptr;
        {
            PScopedLock guard(lock);
            tail = tailRoom(&room);
        }
        const int64_t wanted = std::min<int64_t>(remaining, static_cast<int64_t>(room));
        const int64_t got = device->read(reinterpret_cast<char*>(tail), wanted);
        if (got < 0) {
            failed = true;
            break;
        }
        {
            PScopedLock guard(lock);
            size += static_cast<uint64_t>(got);
            notifyLocked();
        }
        // A device may have less than it announced; what it has given is all there is.
        if (got < wanted) break;
        remaining -= got;
    }
    // Logged outside the buffer's lock: no path holds two of the plug-in's locks at once.
    if (failed) LogWarn(L"NetworkBuffer::readFromNetwork : read error");
}

void NetworkBuffer::append(const uint8_t* bytes, size_t count) {
    PScopedLock guard(lock);
    while (count > 0) {
        size_t room = 0;
        uint8_t* const tail = tailRoom(&room);
        const size_t piece = std::min(room, count);
        std::memcpy(tail, bytes, piece);
        size += piece;
        bytes += piece;
        count -= piece;
    }
    notifyLocked();
}

uint32_t NetworkBuffer::read(uint8_t* destination, uint32_t length) {
    uint64_t dropped = 0;
    uint32_t copied = 0;
    {
        PScopedLock guard(lock);
        copied = static_cast<uint32_t>(std::min<uint64_t>(length, available()));
        uint32_t left = copied;
        while (left > 0) {
            const size_t at = head_ + static_cast<size_t>(readPosition);
            const size_t offset = at % kBlockSize;
            const size_t piece = std::min<size_t>(left, kBlockSize - offset);
            std::memcpy(destination, blocks_[at / kBlockSize].get() + offset, piece);
            destination += piece;
            readPosition += piece;
            left -= static_cast<uint32_t>(piece);
        }
        if (readPosition > historyLimit) {
            dropped = readPosition;
            dropHistory();
        }
    }
    if (dropped > 0) {
        LogDebug(L"Buffer history is too big, discard %lld", static_cast<long long>(dropped));
    }
    return copied;
}

void NetworkBuffer::dropHistory() {
    head_ += static_cast<size_t>(readPosition);
    while (head_ >= kBlockSize && !blocks_.empty()) {
        // Kept for the bytes to come: a long download would otherwise fault in fresh pages for
        // every block. The spares never outnumber the blocks that were held at once.
        spare_.push_back(std::move(blocks_.front()));
        blocks_.pop_front();
        head_ -= kBlockSize;
    }
    discarded += readPosition;
    size -= readPosition;
    readPosition = 0;
}

uint64_t NetworkBuffer::available() {
    PScopedLock guard(lock);
    return size - readPosition;
}

uint64_t NetworkBuffer::position() {
    PScopedLock guard(lock);
    return discarded + readPosition;
}

void NetworkBuffer::seek(int64_t offset) {
    PScopedLock guard(lock);
    if (offset < 0 || static_cast<uint64_t>(offset) < discarded) return;
    readPosition = static_cast<uint64_t>(offset) - discarded;
}

bool NetworkBuffer::isInBuffer(int64_t offset) {
    PScopedLock guard(lock);
    if (offset < 0) return false;
    const uint64_t at = static_cast<uint64_t>(offset);
    return at >= discarded && at - discarded < size;
}

bool NetworkBuffer::isReachable(int64_t offset) {
    PScopedLock guard(lock);
    if (offset < 0) return false;
    const uint64_t at = static_cast<uint64_t>(offset);
    return at >= discarded && at - discarded < size + reachableAhead;
}

void NetworkBuffer::clear() {
    PScopedLock guard(lock);
    // The block that the producer may be writing into right now stays; the next bytes
    // appended start where the held ones ended.
    const size_t end = head_ + static_cast<size_t>(size);
    Block tail;
    if (end / kBlockSize < blocks_.size()) tail = std::move(blocks_[end / kBlockSize]);
    blocks_.clear();
    spare_.clear();
    head_ = 0;
    if (tail) {
        blocks_.push_back(std::move(tail));
        head_ = end % kBlockSize;
    }
    size = 0;
    readPosition = 0;
}

void NetworkBuffer::setEndOfStream(bool ended) {
    endOfStream.store(ended, std::memory_order_release);
    if (ended) {
        PScopedLock guard(lock);
        lock.broadcast();
    }
}

bool NetworkBuffer::waitForData(uint64_t count, int32_t milliseconds) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const timespec deadline = PEvent::deadlineAfter(now, milliseconds);

    PScopedLock guard(lock);
    const uint64_t wakeups = wakeups_;
    ++waiters_;
    wakeAt_ = std::min(wakeAt_, readPosition + count);
    demand_ = std::max(demand_, count);
    while (size - readPosition < count && !isEndOfStream() && wakeups_ == wakeups) {
        if (!lock.timedWait(deadline)) break;
    }
    if (--waiters_ == 0) {
        wakeAt_ = std::numeric_limits<uint64_t>::max();
        demand_ = 0;
    }
    return size - readPosition >= count;
}

void NetworkBuffer::wakeWaiters() {
    PScopedLock guard(lock);
    ++wakeups_;
    lock.broadcast();
}

uint64_t NetworkBuffer::demand() {
    PScopedLock guard(lock);
    return demand_;
}

uint64_t NetworkBuffer::discardedBytes() {
    PScopedLock guard(lock);
    return discarded;
}

uint64_t NetworkBuffer::heldBytes() {
    PScopedLock guard(lock);
    return size;
}
