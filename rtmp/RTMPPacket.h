// One RTMP message with the fields of its chunk header and an owned body.
//
// Not thread-safe: a record belongs to one connection or one FLV tag at a time.
#pragma once

#include <cstdint>

namespace RTMP_LIB {

class RTMPPacket {
public:
    RTMPPacket();
    // Releases the body.
    virtual ~RTMPPacket();

    // A shallow copy: the body pointer is shared, and the algorithms that copy records settle
    // which one owns it.
    RTMPPacket(const RTMPPacket& other) = default;
    RTMPPacket& operator=(const RTMPPacket& other) = default;

    // Zeroes every field and forgets the body without releasing it (another record owns it).
    void reset();
    // A new zero-filled body of |size| bytes; bytes read becomes 0. False when memory is short.
    // A body the record held before is not released: the caller has released or handed it on.
    bool allocate(uint32_t size);
    // Makes room for at least |needed| body bytes, keeping the bytes already there and
    // zero-filling the rest; grows at least twofold (but never beyond the body size) so that a
    // body filled piece by piece is copied a bounded number of times. False when memory is short;
    // the body is then unchanged.
    bool reserve(uint32_t needed);
    // Releases the body and zeroes every field.
    void free();
    // Releases the body only: body null, capacity and bytes read 0; the header fields stay.
    void releaseBody();
    // True when the whole body has arrived.
    bool ready() const { return bytesRead == bodySize; }
    // One DEBUG line describing the record.
    void dump() const;

    uint8_t headerType;  // chunk header format 0..3
    uint8_t packetType;  // message type id
    uint8_t channel;     // chunk stream id 0..63
    int32_t info1;       // the header's timestamp field: absolute (12 bytes) or a delta
    int32_t info2;       // message stream id
    uint32_t bodySize;
    uint32_t bytesRead;
    uint32_t timeSlot;  // the message's time on the stream, in ms, as the chunk headers add up
    // Owned by the record that holds it, or null; comes from allocate/reserve and goes back
    // through free/releaseBody (bodies are recycled, so never delete[] one directly).
    uint8_t* body;
    // Bytes allocated at body: the body size once complete, less while a body is assembled.
    uint32_t bodyCapacity;
    // The header that began this record's message carried a 4-byte extended timestamp, so its
    // 1-byte headers do too.
    bool extendedTimestamp;
};

}  // namespace RTMP_LIB
