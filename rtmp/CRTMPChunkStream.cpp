// CRTMP: the chunk stream. Messages are assembled per channel in the received-channel records;
// outgoing headers are compressed against the sent-channel records.
#include <algorithm>
#include <cstring>
#include <vector>

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
    const auto headerFailed = [first] {
        RtmpLog(1, "%s, failed to read RTMP packet header. type: %x", kName,
                static_cast<unsigned>(static_cast<int>(static_cast<int8_t>(first))));
        return false;
    };
    const uint8_t headerType = static_cast<uint8_t>(first >> 6);
    uint32_t channel = first & 0x3F;
    if (channel < 2) {
        uint8_t more[kMaxBasicHeaderExtra] = {};
        const int extra = channel == 0 ? 1 : 2;
        if (ReadN(more, extra) != extra) return headerFailed();
        channel = kChannelCount + more[0] + (extra == 2 ? uint32_t(more[1]) << 8 : 0);
    }
    RTMPPacket& record = m_channelsIn.at(channel);

    uint8_t header[kMaxChunkHeaderSize - 1] = {};
    const int n = kChunkHeaderSize[headerType] - 1;
    if (n > 0 && ReadN(header, n) != n) return headerFailed();

    const bool startsMessage = record.bytesRead == 0;
    uint32_t timestamp = 0;
    if (n >= 3) ReadUInt24BE(header, 3, &timestamp);
    const bool extended =
        headerType == 3 ? record.extendedTimestamp : timestamp == kExtendedTimestampMark;
    if (extended && headerType == 3 && !startsMessage) {
        // A later chunk of the message: some servers repeat the extended timestamp here, others
        // go straight on with the body. Four bytes equal to the message's timestamp are the
        // repeat; anything else is body. Fewer than four bytes before the server closes can
        // only be the last of the body.
        const uint8_t* next = nullptr;
        uint32_t repeated = 0;
        if (peekN(kExtendedTimestampSize, &next) &&
            ReadUInt32BE(next, kExtendedTimestampSize, &repeated) &&
            repeated == static_cast<uint32_t>(record.info1)) {
            m_receiveBufferStart += kExtendedTimestampSize;
            m_receiveBufferCount -= kExtendedTimestampSize;
        }
        if (!IsConnected()) return headerFailed();
    } else if (extended) {
        uint8_t field[kExtendedTimestampSize];
        if (ReadN(field, kExtendedTimestampSize) != kExtendedTimestampSize) return headerFailed();
        ReadUInt32BE(field, sizeof(field), &timestamp);
    }

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
    // A failed read closes the connection, which clears (or destroys) the record.
    const uint32_t bodySize = record.bodySize;
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
                    static_cast<unsigned long>(bodySize));
            return false;
        }
        record.bytesRead += piece;
        chunk -= piece;
    }
    return true;
}

namespace {

// The basic header of |channel| with |headerType|: one, two or three bytes.
size_t writeBasicHeader(uint8_t* out, uint8_t headerType, uint32_t channel) {
    const uint8_t type = static_cast<uint8_t>(headerType << 6);
    if (channel < kChannelCount) {
        out[0] = static_cast<uint8_t>(type | channel);
        return 1;
    }
    const uint32_t above = channel - kChannelCount;
    out[1] = static_cast<uint8_t>(above & 0xFF);
    if (channel < kFirstChannelOfThreeBytes) {
        out[0] = type;
        return 2;
    }
    out[0] = static_cast<uint8_t>(type | 1);
    out[2] = static_cast<uint8_t>(above >> 8);
    return 3;
}

}  // namespace

bool CRTMP::SendPacket(RTMPPacket& packet) {
    if (packet.channel < 2 || packet.channel > kMaxChannel) {
        RtmpLog(1, "%s, no such channel: %u", "RTMP_LIB::CRTMP::SendPacket", packet.channel);
        return false;
    }
    if (packet.bodySize > 0 && packet.body == nullptr) return false;
    const RTMPPacket& prev = m_channelsOut.at(packet.channel);
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

    // The whole message goes out in one write: one bound on the time it may take, and no
    // server sees a message that the client has only begun.
    uint8_t continuation[kMaxBasicHeaderExtra + 1 + kExtendedTimestampSize] = {};
    size_t continuationSize = writeBasicHeader(continuation, 3, packet.channel);
    uint8_t header[kMaxChunkHeaderSize + kMaxBasicHeaderExtra + kExtendedTimestampSize] = {};
    size_t at = writeBasicHeader(header, packet.headerType, packet.channel);
    const int size = kChunkHeaderSize[packet.headerType];
    if (size > 1) {
        WriteUInt24BE(header + at, 3,
                      extended ? kExtendedTimestampMark : static_cast<uint32_t>(packet.info1));
    }
    if (size > 4) {
        WriteUInt24BE(header + at + 3, 3, packet.bodySize);
        header[at + 6] = packet.packetType;
    }
    if (size > 8) WriteUInt32LE(header + at + 7, 4, static_cast<uint32_t>(packet.info2));
    at += size_t(size - 1);
    if (packet.extendedTimestamp) {
        // The message's later chunks repeat it, as the protocol asks.
        WriteUInt32BE(header + at, kExtendedTimestampSize, static_cast<uint32_t>(packet.info1));
        std::memcpy(continuation + continuationSize, header + at, kExtendedTimestampSize);
        at += kExtendedTimestampSize;
        continuationSize += kExtendedTimestampSize;
    }

    // The server reads at the size the client announced, 128 as long as it announced none.
    const uint32_t chunkSize = static_cast<uint32_t>(m_outChunkSize);
    const uint32_t chunks = packet.bodySize == 0 ? 1 : (packet.bodySize - 1) / chunkSize + 1;
    std::vector<uint8_t> wire;
    wire.reserve(at + packet.bodySize + (chunks - 1) * continuationSize);
    wire.insert(wire.end(), header, header + at);
    for (uint32_t offset = 0; offset < packet.bodySize; offset += chunkSize) {
        if (offset > 0) wire.insert(wire.end(), continuation, continuation + continuationSize);
        const uint32_t piece = std::min(chunkSize, packet.bodySize - offset);
        wire.insert(wire.end(), packet.body + offset, packet.body + offset + piece);
    }
    if (!WriteN(wire.data(), static_cast<int>(wire.size()))) {
        RtmpLog(2, "couldn't send rtmp header");
        return false;
    }

    if (packet.packetType == RTMP_PACKET_INVOKE) rememberCall(packet);
    RTMPPacket& sent = m_channelsOut.at(packet.channel);
    sent = packet;
    sent.body = nullptr;
    sent.bodyCapacity = 0;
    return true;
}

void CRTMP::rememberCall(const RTMPPacket& packet) {
    std::string method;
    if (packet.body == nullptr || packet.bodySize < 1 || packet.body[0] != AMF0_STRING ||
        !ReadAmfString(packet.body + 1, packet.bodySize - 1, &method)) {
        return;
    }
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
