#include "rtmp/RTMPPacket.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "common/Log.h"

namespace RTMP_LIB {

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
    uint8_t* const fresh = new (std::nothrow) uint8_t[size == 0 ? 1 : size];
    if (fresh == nullptr) return false;
    std::memset(fresh, 0, size == 0 ? 1 : size);
    body = fresh;
    bodyCapacity = size;
    bytesRead = 0;
    return true;
}

bool RTMPPacket::reserve(uint32_t needed) {
    if (body != nullptr && bodyCapacity >= needed) return true;
    uint64_t size = std::max<uint64_t>(needed, uint64_t(bodyCapacity) * 2);
    if (size > bodySize && bodySize >= needed) size = bodySize;
    if (size == 0) size = 1;
    uint8_t* const fresh = new (std::nothrow) uint8_t[size];
    if (fresh == nullptr) return false;
    std::memset(fresh, 0, size);
    if (body != nullptr) std::memcpy(fresh, body, bodyCapacity);
    delete[] body;
    body = fresh;
    bodyCapacity = static_cast<uint32_t>(size);
    return true;
}

void RTMPPacket::free() {
    delete[] body;
    reset();
}

void RTMPPacket::dump() const {
    RtmpLog(0,
            "RTMP PACKET: packet type: 0x%02x. channel: 0x%02x. info 1: %d info 2: %d. Body size: "
            "%lu. body: 0x%02x",
            packetType, channel, info1, info2, static_cast<unsigned long>(bodySize),
            body != nullptr ? body[0] : 0);
}

}  // namespace RTMP_LIB
