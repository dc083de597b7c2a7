// One FLV tag. Made by the sources (from a file stream, a network buffer or an RTMP message),
// queued by the plug-in and handed to the host as the frame handle.
//
// The payload is either a buffer of the packet's own, beginning headerLength bytes before
// |data|, or the body of the RTMP message held in |rtmpPacket|. Whoever destroys a packet calls
// release() first (the destructor does it too). Not thread-safe; one owner at a time.
#pragma once

#include <cstdint>
#include <deque>
#include <istream>

#include "flv/FLVFormat.h"

class NetworkBuffer;
class PEvent;

namespace RTMP_LIB {
class RTMPPacket;
}

class FLVPacket {
public:
    FLVPacket();
    ~FLVPacket();

    FLVPacket(const FLVPacket&) = delete;
    FLVPacket& operator=(const FLVPacket&) = delete;

    // A packet whose fields come from the 15 bytes in front of a tag; no payload yet.
    static FLVPacket* fromTagPrefix(const uint8_t* prefix);
    // Reads one tag with its data from |in|. Null when no complete tag could be read (fewer than
    // 15 bytes, a data size of 0, or fewer data bytes than the data size).
    static FLVPacket* read(std::istream& in);
    // Reads one tag from |buffer|, waiting in 150 ms steps for bytes still to come; null when
    // the buffer ends first or |stop| is signalled. Defined in FLVNetworkRead.cpp.
    static FLVPacket* read(NetworkBuffer& buffer, PEvent& stop);
    // Builds the tags of one complete RTMP message and appends them to |queue|; takes ownership
    // of |message| in every case. Defined in FLVFromRTMP.cpp.
    static void fromRTMPPacket(RTMP_LIB::RTMPPacket* message, std::deque<FLVPacket*>& queue);
    // The tag of the aggregate message |message| (packet type 22) that begins at |*offset|, with
    // a copy of its data, and |*offset| moved past it. Null, |*offset| unchanged, when no
    // complete tag begins there. Lets a caller take the tags of a large aggregate one at a time
    // instead of holding them all. Defined in FLVFromRTMP.cpp.
    static FLVPacket* nextAggregateTag(const RTMP_LIB::RTMPPacket& message, uint32_t* offset);

    // The second half of read(): fills the payload of a packet whose 15 bytes were read. False
    // when the data size is 0 or the stream ends inside the data.
    bool readData(std::istream& in);
    bool readData(NetworkBuffer& buffer, PEvent& stop);

    // Attaches |buffer| (new[]-allocated, dataSize bytes, now owned by the packet unless
    // rtmpPacket is set) and applies the audio or video header bytes at its start: afterwards
    // |data| is buffer + headerLength and dataSize has shrunk by headerLength. A buffer shorter
    // than its header loses only the bytes it has (dataSize 0), and an empty one is never read.
    // A buffer the packet owned before is freed.
    void setData(uint8_t* buffer);

    // Frees the payload (or the RTMP message holding it). Safe to call more than once.
    void release();

    uint32_t previousTagSize;
    uint32_t tagType;
    uint32_t timestamp;  // milliseconds
    uint32_t soundFormat;
    uint32_t soundRate;
    uint32_t soundSize;
    uint32_t soundType;
    uint32_t codecId;
    uint32_t frameType;
    uint8_t* data;  // the payload behind the header bytes
    uint32_t dataSize;
    uint32_t headerLength;              // 0, 1 or 2 bytes skipped at the start of the buffer
    RTMP_LIB::RTMPPacket* rtmpPacket;  // owned; set only for tags built from RTMP messages
};
