// CRTMP: the chunk stream. Messages are assembled per channel in the received-channel records;
// outgoing headers are compressed against the sent-channel records.
#include <algorithm>
#include <cstring>

#include "common/Log.h"
#include "rtmp/AMFCodec.h"
#include "rtmp/CRTMP.h"

namespace RTMP_LIB {

namespace {

// A chunk is read into its body in pieces no larger than this, or than what the body already
// holds, so that memory grows with the bytes that arrive rather than with what a header claims.
constexpr uint32_t kBodyGrowthStep = 64 * 1024;

}  // namespace

bool CRTMP::ReadPacket(RTMPPacket& packet) {
    static const char kName[] = "RTMP_LIB::CRTMP::ReadPacket";
    uint8_t first = 0;
    if (ReadN(&first, 1) != 1) {
        RtmpLog(1, "%s, failed to read RTMP packet header", kName);
        return false;
    }
    const uint8_t headerType = static_cast<uint8_t>(first >> 6);
    const uint8_t channel = static_cast<uint8_t>(first & 0x3F);
    RTMPPacket& record = m_channelsIn[channel];

    uint8_t header[kMaxChunkHeaderSize - 1] = {};
    const int n = kChunkHeaderSize[headerType] - 1;
    if (n > 0 && ReadN(header, n) != n) {
        RtmpLog(1, "%s, failed to read RTMP packet header. type: %x", kName,
                static_cast<unsigned>(static_cast<int>(static_cast<int8_t>(first))));
        return false;
    }

    uint32_t timestamp = 0;
    if (n >= 3) ReadUInt24BE(header, 3, &timestamp);
    bool extended =
        headerType == 3 ? record.extendedTimestamp : timestamp == kExtendedTimestampMark;
    if (extended) {
        uint8_t field[kExtendedTimestampSize];
        if (ReadN(field, kExtendedTimestampSize) != kExtendedTimestampSize) {
            RtmpLog(1, "%s, failed to read RTMP packet header. type: %x", kName,
                    static_cast<unsigned>(static_cast<int>(static_cast<int8_t>(first))));
            return false;
        }
        ReadUInt32BE(field, sizeof(field), &timestamp);
    }

    const bool startsMessage = record.bytesRead == 0;
    record.headerType = headerType;
    record.channel = channel;
    if (headerType < 3) {
        record.extendedTimestamp = extended;
        record.info1 = static_cast<int32_t>(timestamp);
    } else if (extended && startsMessage) {
        // A 1-byte header that begins a message repeats the delta, here the extended one.
        record.info1 = static_cast<int32_t>(timestamp);
    }
    // The message's time on the stream, carried in the time slot: absolute in a 12-byte header,
    // the channel's previous time plus the delta in 8- and 4-byte headers, and plus the previous
    // delta again for a new message behind a 1-byte header. Unsigned arithmetic wraps as the
    // 32-bit stream time does.
    if (headerType == 0) {
        record.timeSlot = timestamp;
    } else if (headerType < 3) {
        record.timeSlot += timestamp;
    } else if (startsMessage) {
        record.timeSlot += static_cast<uint32_t>(record.info1);
    }
    if (n >= 6) {
        // A new message: whatever was assembled on this channel so far is abandoned.
        record.releaseBody();
        ReadUInt24BE(header + 3, 3, &record.bodySize);
        record.packetType = header[6];
        if (n == 11) {
            uint32_t streamId = 0;
            ReadUInt32LE(header + 7, 4, &streamId);
            record.info2 = static_cast<int32_t>(streamId);
        }
    }

    const uint32_t toRead = record.bodySize - record.bytesRead;
    const uint32_t chunk = std::min<uint32_t>(toRead, static_cast<uint32_t>(m_chunkSize));
    if (!readChunkBody(record, chunk)) return false;

    packet = record;
    if (record.ready()) {
        // The caller now owns the body; the record keeps the header fields for short headers.
        record.body = nullptr;
        record.bodyCapacity = 0;
        record.bytesRead = 0;
    } else {
        packet.body = nullptr;
        packet.bodyCapacity = 0;
    }
    return true;
}

bool CRTMP::readChunkBody(RTMPPacket& record, uint32_t chunk) {
    static const char kName[] = "RTMP_LIB::CRTMP::ReadPacket";
    while (chunk > 0) {
        const uint32_t step = std::max(kBodyGrowthStep, record.bodyCapacity);
        const uint32_t wanted = record.bytesRead + std::min(chunk, step);
        if (!record.reserve(wanted)) {
            RtmpLog(0, "%s, failed to allocate packet", kName);
            // The chunk's bytes stay unread, so nothing that follows could be parsed.
            Close();
            return false;
        }
        const uint32_t piece = std::min(chunk, record.bodyCapacity - record.bytesRead);
        const int got = ReadN(record.body + record.bytesRead, static_cast<int>(piece));
        if (got != static_cast<int>(piece)) {
            RtmpLog(1, "%s, failed to read RTMP packet body. len: %lu", kName,
                    static_cast<unsigned long>(record.bodySize));
            return false;
        }
        record.bytesRead += piece;
        chunk -= piece;
    }
    return true;
}

bool CRTMP::SendPacket(RTMPPacket& packet) {
    if (packet.channel >= kChannelCount) {
        RtmpLog(1, "%s, no such channel: %d", "RTMP_LIB::CRTMP::SendPacket", packet.channel);
        return false;
    }
    if (packet.bodySize > 0 && packet.body == nullptr) return false;
    const RTMPPacket& prev = m_channelsOut[packet.channel];
    const bool extended = static_cast<uint32_t>(packet.info1) >= kExtendedTimestampMark;
    if (packet.headerType != 0) {
        if (prev.bodySize == packet.bodySize && packet.headerType == 1) packet.headerType = 2;
        // A 1-byte header would make the server reuse (or expect) an extended timestamp that
        // this message does not match, so such messages keep their timestamp field.
        if (prev.info2 == packet.info2 && packet.headerType == 2 && !extended &&
            !prev.extendedTimestamp) {
            packet.headerType = 3;
        }
    }
    if (packet.headerType > 3) {
        RtmpLog(1, "sanity failed!! tring to send header of type: 0x%02x.", packet.headerType);
        return false;
    }
    packet.extendedTimestamp = packet.headerType < 3 && extended;

    uint8_t header[kMaxChunkHeaderSize + kExtendedTimestampSize] = {};
    const int size = kChunkHeaderSize[packet.headerType];
    header[0] = static_cast<uint8_t>((packet.headerType << 6) | packet.channel);
    if (size > 1) {
        WriteUInt24BE(header + 1, 3,
                      extended ? kExtendedTimestampMark : static_cast<uint32_t>(packet.info1));
    }
    if (size > 4) {
        WriteUInt24BE(header + 4, 3, packet.bodySize);
        header[7] = packet.packetType;
    }
    if (size > 8) WriteUInt32LE(header + 8, 4, static_cast<uint32_t>(packet.info2));
    int headerSize = size;
    if (packet.extendedTimestamp) {
        WriteUInt32BE(header + size, kExtendedTimestampSize, static_cast<uint32_t>(packet.info1));
        headerSize += kExtendedTimestampSize;
    }
    if (!WriteN(header, headerSize)) {
        RtmpLog(2, "couldn't send rtmp header");
        return false;
    }

    // Only invokes are split; every other message the client sends is a few bytes long.
    const uint8_t continuation[1 + kExtendedTimestampSize] = {
        static_cast<uint8_t>(0xC0 | packet.channel), header[size], header[size + 1],
        header[size + 2], header[size + 3]};
    const int continuationSize = packet.extendedTimestamp ? 1 + kExtendedTimestampSize : 1;
    uint32_t remaining = packet.bodySize;
    const uint8_t* position = packet.body;
    while (remaining > 0 && position != nullptr) {
        uint32_t piece = packet.packetType == RTMP_PACKET_INVOKE
                             ? static_cast<uint32_t>(m_chunkSize)
                             : packet.bodySize;
        if (remaining < piece) piece = remaining;
        if (!WriteN(position, static_cast<int>(piece))) return false;
        position += piece;
        remaining -= piece;
        if (remaining > 0 && !WriteN(continuation, continuationSize)) return false;
    }

    if (packet.packetType == RTMP_PACKET_INVOKE) rememberCall(packet);
    m_channelsOut[packet.channel] = packet;
    m_channelsOut[packet.channel].body = nullptr;
    m_channelsOut[packet.channel].bodyCapacity = 0;
    return true;
}

void CRTMP::rememberCall(const RTMPPacket& packet) {
    std::string method;
    if (packet.body == nullptr || packet.bodySize < 1 || packet.body[0] != AMF0_STRING ||
        !ReadAmfString(packet.body + 1, packet.bodySize - 1, &method)) {
        return;
    }
    // Answers to the server's own calls (a bandwidth check) await nothing.
    if (method == "_result" || method == "_error") return;
    if (m_pendingCalls.size() < kMaxPendingCalls) m_pendingCalls.push_back(method);
}

void CRTMP::HandleChangeChunkSize(const RTMPPacket& packet) {
    static const char kName[] = "RTMP_LIB::CRTMP::HandleChangeChunkSize";
    uint32_t value = 0;
    if (packet.body == nullptr || !ReadUInt32BE(packet.body, packet.bodySize, &value)) return;
    const int32_t size = static_cast<int32_t>(value);
    if (size <= 0) {
        // Nothing could be read or written in chunks of that size.
        RtmpLog(1, "%s, received invalid chunk size %d, closing", kName, size);
        Close();
        return;
    }
    m_chunkSize = std::min(size, kMaxChunkSize);
    RtmpLog(0, "%s, received: chunk size change to %d", kName, m_chunkSize);
}

}  // namespace RTMP_LIB
