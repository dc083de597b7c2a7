// FLV tags made from RTMP messages: plain audio, video and notify messages become one tag that
// shares the message's body; aggregate messages carry FLV tags back to back and become one tag
// each, with copied data.
#include <algorithm>
#include <cstring>
#include <new>

#include "flv/FLVPacket.h"
#include "rtmp/RTMPPacket.h"

namespace {

constexpr uint8_t kMessageAggregate = 22;

void destroyMessage(RTMP_LIB::RTMPPacket* message) {
    message->free();
    delete message;
}

}  // namespace

FLVPacket* FLVPacket::nextAggregateTag(const RTMP_LIB::RTMPPacket& message, uint32_t* offset) {
    const uint8_t* const body = message.body;
    const uint64_t size = message.bodySize;
    const uint64_t at = *offset;
    if (body == nullptr || at + flv::kTagHeaderSize > size) return nullptr;
    const uint8_t* const header = body + at;
    const uint32_t dataSize = flv::readBE24(header + 1);
    if (at + flv::kTagHeaderSize + dataSize > size) return nullptr;

    uint8_t* const copy = new (std::nothrow) uint8_t[dataSize == 0 ? 1 : dataSize];
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, header + flv::kTagHeaderSize, dataSize);

    FLVPacket* const packet = new FLVPacket();
    packet->tagType = header[0];
    packet->dataSize = dataSize;
    packet->timestamp = flv::readBE24(header + 4) | (uint32_t(header[7]) << 24);
    packet->setData(copy);
    // The back-pointer behind the data may be missing after the last tag.
    *offset = static_cast<uint32_t>(
        std::min<uint64_t>(size, at + flv::kTagHeaderSize + dataSize + flv::kBackPointerSize));
    return packet;
}

void FLVPacket::fromRTMPPacket(RTMP_LIB::RTMPPacket* message, std::deque<FLVPacket*>& queue) {
    if (message == nullptr) return;
    // Only a whole message can be turned into tags; an incomplete one is dropped rather than
    // leaked, since the caller has handed it over.
    if (message->bytesRead != message->bodySize) {
        destroyMessage(message);
        return;
    }

    switch (message->packetType) {
        case flv::kTagAudio:
        case flv::kTagVideo:
        case flv::kTagScript: {
            FLVPacket* const packet = new FLVPacket();
            packet->tagType = message->packetType;
            packet->timestamp = message->timeSlot;
            packet->dataSize = message->bodySize;
            packet->rtmpPacket = message;
            packet->setData(message->body);
            queue.push_back(packet);
            return;
        }
        case kMessageAggregate: {
            uint32_t offset = 0;
            while (FLVPacket* const packet = nextAggregateTag(*message, &offset)) {
                queue.push_back(packet);
            }
            destroyMessage(message);
            return;
        }
        default:
            destroyMessage(message);
            return;
    }
}
