// The byte buffer between a network thread that appends what it has received and the FLV tag
// reader that takes bytes out in order. Bytes already read stay available behind the read
// position (the history) until the read position passes 32 MiB; then the history is dropped.
//
//   stream offset:  discarded              discarded + readPosition      discarded + size
//                   |                      |                             |
//                   +----------------------+-----------------------------+
//                   |   history (read)     |        unread bytes         |
//                   +----------------------+-----------------------------+
//
// Threads: one producer (readFromNetwork, append, setEndOfStream) and one consumer (the other
// operations); every operation is safe to call from any thread. The buffer never blocks a
// caller except in waitForData, which a consumer may use instead of sleeping: it returns as
// soon as enough bytes have arrived, the stream has ended, wakeWaiters was called or the time
// is up.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "common/Threads.h"

class QIODevice;

class NetworkBuffer {
  public:
    // History is dropped once the read position passes this many bytes (strictly more).
    static constexpr uint64_t historyLimit = 0x2000000;
    // An offset this close beyond the received end counts as reachable by waiting.
    static constexpr uint64_t reachableAhead = 32768;

    NetworkBuffer();
    virtual ~NetworkBuffer();

    NetworkBuffer(const NetworkBuffer&) = delete;
    NetworkBuffer& operator=(const NetworkBuffer&) = delete;

    // Appends everything |device| has available, at most |limit| bytes. A read error is logged;
    // the bytes read before it are kept.
    void readFromNetwork(QIODevice* device, uint64_t limit = UINT64_MAX);
    // Appends |count| bytes.
    void append(const uint8_t* bytes, size_t count);

    // Copies up to |length| unread bytes to |destination| and advances; returns the count.
    uint32_t read(uint8_t* destination, uint32_t length);
    uint64_t available();
    // The stream offset of the next unread byte.
    uint64_t position();
    // Moves the read position to |offset| when it is not below the dropped bytes. The upper end
    // is not checked: callers test isInBuffer first.
    void seek(int64_t offset);
    // True when |offset| is held (history or unread).
    bool isInBuffer(int64_t offset);
    // True when |offset| is held or lies less than 32 KiB beyond the received end.
    bool isReachable(int64_t offset);
    // Frees the held bytes; the count of dropped bytes stays, so position() reports it.
    void clear();

    void setEndOfStream(bool ended);
    bool isEndOfStream() const { return endOfStream.load(std::memory_order_acquire); }

    // Waits up to |milliseconds| until at least |count| bytes are unread. Returns true when they
    // are; false on time-out, at the end of the stream or after wakeWaiters.
    bool waitForData(uint64_t count, int32_t milliseconds);
    // Releases every caller of waitForData now (a source that closes calls it).
    void wakeWaiters();
    // The unread count that a caller of waitForData waits for now, 0 when none waits. A producer
    // that holds bytes back to bound memory takes them while this is more than it holds: bytes
    // that a reader waits for must never be held back.
    uint64_t demand();

    // Bytes dropped from the front so far, and bytes held (history and unread).
    uint64_t discardedBytes();
    uint64_t heldBytes();

  private:
    // Held bytes live in fixed-size blocks, so that an arrival copies only itself and dropping
    // history frees whole blocks: appending costs O(bytes appended) whatever the buffer holds.
    // One huge page: the history keeps about 64 MiB cycling through the blocks, always cold, and
    // with small pages every 4 KiB of it cost a TLB miss and, on first use, a page fault.
    static constexpr size_t kBlockSize = 2 * 1024 * 1024;
    struct BlockDeleter {
        void operator()(uint8_t* block) const;
    };
    using Block = std::unique_ptr<uint8_t[], BlockDeleter>;
    static Block newBlock();

    // Writable room at the end of the held bytes, a new block when the last one is full. Only
    // the producer writes there, and that block is kept until the buffer is destroyed or the
    // read position has passed it.
    uint8_t* tailRoom(size_t* room);
    void dropHistory();
    void notifyLocked();

    PCondMutex lock;  // recursive; guards every member below except endOfStream
    std::deque<Block> blocks_;
    std::vector<Block> spare_;  // dropped blocks, reused before new ones
    size_t head_;               // index in blocks_[0] of the first held byte
    uint64_t readPosition;
    uint64_t discarded;
    uint64_t size;
    int waiters_;
    uint64_t wakeAt_;   // size at which a waiter wants to be woken; the smallest of them
    uint64_t wakeups_;  // counts wakeWaiters calls, so that a waiter sees one that it slept through
    uint64_t demand_;   // the largest count that a waiter waits for
    std::atomic<bool> endOfStream;
};
