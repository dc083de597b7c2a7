#include "flv/FLVPacket.h"

#include <new>

#include "rtmp/RTMPPacket.h"

namespace {

// Only the sound formats that the plug-in can name are kept: PCM (0, 1), MP3 (2) and
// Nellymoser (5, 6). Every other one is reported as 2.
uint32_t remapSoundFormat(uint32_t format) {
    switch (format) {
        case 0:
        case 1:
        case 2:
        case 5:
        case 6:
            return format;
        default:
            return 2;
    }
}

// Unknown video codec ids are treated as VP6 (4), which also decides that two header bytes
// are skipped for them.
uint32_t remapCodecId(uint32_t id) { return id >= 2 && id <= 7 ? id : 4; }

}  // namespace

FLVPacket::FLVPacket()
    : previousTagSize(0),
      tagType(0),
      timestamp(0),
      soundFormat(0),
      soundRate(0),
      soundSize(0),
      soundType(0),
      codecId(0),
      frameType(0),
      data(nullptr),
      dataSize(0),
      headerLength(0),
      rtmpPacket(nullptr) {}

FLVPacket::~FLVPacket() { release(); }

FLVPacket* FLVPacket::fromTagPrefix(const uint8_t* prefix) {
    FLVPacket* const packet = new FLVPacket();
    packet->previousTagSize = flv::readBE32(prefix);
    packet->tagType = prefix[4];
    packet->dataSize = flv::readBE24(prefix + 5);
    packet->timestamp = flv::readBE24(prefix + 8) | (uint32_t(prefix[11]) << 24);
    return packet;
}

FLVPacket* FLVPacket::read(std::istream& in) {
    uint8_t prefix[flv::kTagPrefixSize];
    in.read(reinterpret_cast<char*>(prefix), sizeof(prefix));
    if (static_cast<size_t>(in.gcount()) != sizeof(prefix)) return nullptr;

    FLVPacket* const packet = fromTagPrefix(prefix);
    if (!packet->readData(in)) {
        packet->release();
        delete packet;
        return nullptr;
    }
    return packet;
}

bool FLVPacket::readData(std::istream& in) {
    if (dataSize == 0) return false;
    // At most 16 MiB (a 24-bit size), so the allocation ahead of the data stays bounded even
    // when the stream turns out to be shorter than the tag claims.
    uint8_t* const buffer = new (std::nothrow) uint8_t[dataSize];
    if (buffer == nullptr) return false;
    in.read(reinterpret_cast<char*>(buffer), dataSize);
    if (static_cast<uint64_t>(in.gcount()) != dataSize) {
        delete[] buffer;
        return false;
    }
    setData(buffer);
    return true;
}

void FLVPacket::setData(uint8_t* buffer) {
    // A buffer this packet already owns would be lost otherwise.
    if (rtmpPacket == nullptr && data != nullptr && data - headerLength != buffer) {
        delete[] (data - headerLength);
    }

    const uint32_t available = buffer != nullptr ? dataSize : 0;
    uint32_t skip = 0;
    // An empty buffer has no header byte to look at, so the fields keep their values.
    if (available > 0) {
        const uint8_t first = buffer[0];
        if (tagType == flv::kTagAudio) {
            soundFormat = remapSoundFormat(first >> 4);
            soundRate = (first >> 2) & 3;
            soundSize = (first >> 1) & 1;
            soundType = first & 1;
            skip = 1;
        } else if (tagType == flv::kTagVideo) {
            frameType = first >> 4;
            codecId = remapCodecId(first & 15);
            skip = codecId == 4 ? 2 : 1;
        }
    }
    // headerLength must count only the bytes really skipped: release() finds the start of the
    // buffer through it.
    if (skip > available) skip = available;
    headerLength = skip;
    data = buffer != nullptr ? buffer + skip : nullptr;
    dataSize = available - skip;
}

void FLVPacket::release() {
    if (rtmpPacket != nullptr) {
        rtmpPacket->free();
        delete rtmpPacket;
        rtmpPacket = nullptr;
        // |data| pointed into the message body, which is gone now.
        data = nullptr;
    } else if (data != nullptr) {
        delete[] (data - headerLength);
        data = nullptr;
    }
}
