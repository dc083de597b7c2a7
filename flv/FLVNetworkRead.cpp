// FLV header and tag reading from a NetworkBuffer that another thread fills. Where the bytes
// are not there yet, the reader waits in steps of at most 150 ms; each step ends early when
// bytes arrive, so a reader that keeps up with the network is not slowed down by the steps.
#include <new>

#include "common/Log.h"
#include "common/Threads.h"
#include "flv/FLVHeader.h"
#include "flv/FLVPacket.h"
#include "sources/NetworkBuffer.h"

namespace {

constexpr int32_t kWaitStepMs = 150;

// One waiting step for |count| bytes. Returns true when |stop| is signalled: the caller gives up.
bool waitStep(NetworkBuffer& buffer, PEvent& stop, uint64_t count) {
    if (stop.timedWait(0)) return true;
    buffer.waitForData(count, kWaitStepMs);
    return stop.timedWait(0);
}

// The producer appends its last bytes before it sets the end flag, so bytes may have arrived
// between a caller's count and its look at the flag: count again once the flag is seen.
bool endedShort(NetworkBuffer& buffer, uint64_t count) {
    return buffer.isEndOfStream() && buffer.available() < count;
}

}  // namespace

FLVHeader* FLVHeader::read(NetworkBuffer& buffer, PEvent& stop) {
    while (buffer.available() < flv::kFileHeaderSize) {
        if (endedShort(buffer, flv::kFileHeaderSize)) return nullptr;
        if (waitStep(buffer, stop, flv::kFileHeaderSize)) return nullptr;
    }
    uint8_t bytes[flv::kFileHeaderSize];
    if (buffer.read(bytes, sizeof(bytes)) != sizeof(bytes)) return nullptr;
    return decode(bytes);
}

FLVPacket* FLVPacket::read(NetworkBuffer& buffer, PEvent& stop) {
    while (buffer.available() < flv::kTagPrefixSize && !buffer.isEndOfStream()) {
        if (waitStep(buffer, stop, flv::kTagPrefixSize)) break;
    }
    // The normal end of a medium: no message.
    if (buffer.available() < flv::kTagPrefixSize) return nullptr;

    uint8_t prefix[flv::kTagPrefixSize];
    if (buffer.read(prefix, sizeof(prefix)) != sizeof(prefix)) {
        LogDebug(L"FLVPacket::read packet header failed : %d %d", buffer.isEndOfStream() ? 1 : 0,
                 stop.isSignalled() ? 1 : 0);
        return nullptr;
    }

    FLVPacket* const packet = fromTagPrefix(prefix);
    if (!packet->readData(buffer, stop)) {
        packet->release();
        delete packet;
        return nullptr;
    }
    return packet;
}

bool FLVPacket::readData(NetworkBuffer& buffer, PEvent& stop) {
    if (dataSize == 0) return false;
    while (buffer.available() < dataSize) {
        LogDebug(L"FLVPacket::readData %lld available -- waiting for %lld",
                 static_cast<long long>(buffer.available()), static_cast<long long>(dataSize));
        if (endedShort(buffer, dataSize)) return false;
        if (buffer.isEndOfStream()) break;
        if (waitStep(buffer, stop, dataSize)) return false;
    }
    // At most 16 MiB (a 24-bit size), and only once the bytes are really there.
    uint8_t* const bytes = new (std::nothrow) uint8_t[dataSize];
    if (bytes == nullptr) return false;
    if (buffer.read(bytes, dataSize) != dataSize) {
        delete[] bytes;
        return false;
    }
    setData(bytes);
    return true;
}
