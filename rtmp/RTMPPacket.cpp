#include "rtmp/RTMPPacket.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

#include "common/Log.h"

namespace RTMP_LIB {

namespace {

// Message bodies come and go at the stream's frame rate, most of them tens of kilobytes. Handing
// each one back to the C library made it shrink and regrow the heap (or map and unmap pages) for
// every message, which cost more than reading the stream; a few freed bodies are kept for reuse.
// Bounded, so a burst of large messages does not pin their memory.
class BodyPool {
public:
    // A buffer of at least |size| bytes (its real size in |*capacity|), or null.
    uint8_t* take(uint32_t size, uint32_t* capacity) {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            size_t best = kSlots;
            for (size_t i = 0; i < count_; ++i) {
                if (slots_[i].capacity >= size &&
                    (best == kSlots || slots_[i].capacity < slots_[best].capacity)) {
                    best = i;
                }
            }
            if (best != kSlots && slots_[best].capacity <= uint64_t(size) * 4 + 4096) {
                uint8_t* const buffer = slots_[best].buffer;
                *capacity = slots_[best].capacity;
                bytes_ -= slots_[best].capacity;
                slots_[best] = slots_[--count_];
                return buffer;
            }
        }
        uint8_t* const buffer = new (std::nothrow) uint8_t[size == 0 ? 1 : size];
        *capacity = buffer != nullptr ? size : 0;
        return buffer;
    }

    void give(uint8_t* buffer, uint32_t capacity) {
        if (buffer == nullptr) return;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (capacity > 0 && count_ < kSlots && bytes_ + capacity <= kMaxBytes) {
                slots_[count_++] = Slot{buffer, capacity};
                bytes_ += capacity;
                return;
            }
        }
        delete[] buffer;
    }

private:
    static constexpr size_t kSlots = 16;
    static constexpr uint64_t kMaxBytes = 16 * 1024 * 1024;

    struct Slot {
        uint8_t* buffer;
        uint32_t capacity;
    };

    std::mutex mutex_;
    Slot slots_[kSlots] = {};  // guarded by mutex_
    size_t count_ = 0;         // guarded by mutex_
    uint64_t bytes_ = 0;       // guarded by mutex_
};

// Never destroyed: packets may still be freed while the process exits.
BodyPool& bodyPool() {
    static BodyPool* const pool = new BodyPool();
    return *pool;
}

}  // namespace

RTMPPacket::RTMPPacket() { reset(); }

RTMPPacket::~RTMPPacket() { free(); }

void RTMPPacket::reset() {
    headerType = 0;
    packetType = 0;
    channel = 0;
    info1 = 0;
    info2 = 0;
    bodySize = 0;
    bytesRead = 0;
    timeSlot = 0;
    body = nullptr;
    bodyCapacity = 0;
    extendedTimestamp = false;
}

bool RTMPPacket::allocate(uint32_t size) {
    uint32_t capacity = 0;
    uint8_t* const fresh = bodyPool().take(size, &capacity);
    if (fresh == nullptr) return false;
    std::memset(fresh, 0, size == 0 ? 1 : size);
    body = fresh;
    bodyCapacity = capacity;
    bytesRead = 0;
    return true;
}

bool RTMPPacket::reserve(uint32_t needed) {
    if (body != nullptr && bodyCapacity >= needed) return true;
    uint64_t size = std::max<uint64_t>(needed, uint64_t(bodyCapacity) * 2);
    if (size > bodySize && bodySize >= needed) size = bodySize;
    if (size == 0) size = 1;
    // Bytes past bytesRead are written before anything reads them, so they are not cleared.
    uint32_t capacity = 0;
    uint8_t* const fresh = bodyPool().take(static_cast<uint32_t>(size), &capacity);
    if (fresh == nullptr) return false;
    if (body != nullptr) std::memcpy(fresh, body, std::min(bytesRead, bodyCapacity));
    bodyPool().give(body, bodyCapacity);
    body = fresh;
    bodyCapacity = capacity;
    return true;
}

void RTMPPacket::releaseBody() {
    bodyPool().give(body, bodyCapacity);
    body = nullptr;
    bodyCapacity = 0;
    bytesRead = 0;
}

void RTMPPacket::free() {
    bodyPool().give(body, bodyCapacity);
    reset();
}

RTMPPacket& ChannelRecords::at(uint32_t channel) {
    if (channel < kInPlace) return inPlace_[channel];
    const auto made = others_.try_emplace(channel);
    if (made.second) made.first->second.channel = channel;
    return made.first->second;
}

void ChannelRecords::clear() {
    for (uint32_t channel = 0; channel < kInPlace; ++channel) {
        inPlace_[channel].free();
        inPlace_[channel].channel = channel;
    }
    others_.clear();
}

void RTMPPacket::dump() const {
    RtmpLog(0,
            "RTMP PACKET: packet type: 0x%02x. channel: 0x%02x. info 1: %d info 2: %d. Body size: "
            "%lu. body: 0x%02x",
            packetType, channel, info1, info2, static_cast<unsigned long>(bodySize),
            body != nullptr ? body[0] : 0);
}

}  // namespace RTMP_LIB
