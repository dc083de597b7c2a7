// One RTMP message with the fields of its chunk header and an owned body.
//
// Not thread-safe: a record belongs to one connection or one FLV tag at a time.
#pragma once

#include <cstdint>
#include <map>

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
    uint32_t channel;    // chunk stream id 2..65599
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

// A connection's records of one direction, one per chunk stream id: the 64 ids that a one-byte
// basic header can name in place, the rarer longer ids made on first use (at most 65536 of them,
// each costing a few bytes of the stream that named it).
class ChannelRecords {
public:
    ChannelRecords() { clear(); }
    // The record of |channel|, made (zeroed, channel set) when it has none yet.
    RTMPPacket& at(uint32_t channel);
    // Every record back to zero with its channel set; bodies still held are released.
    void clear();

private:
    static constexpr uint32_t kInPlace = 64;
    RTMPPacket inPlace_[kInPlace];
    std::map<uint32_t, RTMPPacket> others_;
};

}  // namespace RTMP_LIB
