// CRTMP: the commands and control messages it sends, and its handling of what the server sends.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "common/Log.h"
#include "platform/Clock.h"
#include "rtmp/AMFCodec.h"
#include "rtmp/CRTMP.h"

namespace RTMP_LIB {

namespace {

// Builds an AMF0 body of exactly the size its values need. A string that a 16-bit length cannot
// describe spoils the body instead of being cut.
class BodyWriter {
public:
    void string(const std::string& value) {
        marker(AMF0_STRING);
        name(value);
    }
    void number(double value) {
        uint8_t bytes[9];
        WriteAmfNumber(bytes, sizeof(bytes), value);
        append(bytes, sizeof(bytes));
    }
    void boolean(bool value) {
        marker(AMF0_BOOLEAN);
        marker(value ? 1 : 0);
    }
    void null() { marker(AMF0_NULL); }
    void objectStart() { marker(AMF0_OBJECT); }
    void objectEnd() { append(kAmfObjectEnd, sizeof(kAmfObjectEnd)); }
    // The name of an object member: a 16-bit length and the bytes.
    void name(const std::string& value) {
        if (value.size() > 0xFFFF) {
            ok_ = false;
            return;
        }
        uint8_t length[2];
        WriteUInt16BE(length, sizeof(length), static_cast<uint16_t>(value.size()));
        append(length, sizeof(length));
        append(reinterpret_cast<const uint8_t*>(value.data()), value.size());
    }
    void namedString(const char* key, const char* value) {
        name(key);
        string(value);
    }
    void namedNumber(const char* key, double value) {
        name(key);
        number(value);
    }

    bool ok() const { return ok_ && bytes_.size() <= kMaxChunkSize; }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    void marker(uint8_t value) { bytes_.push_back(value); }
    void append(const uint8_t* data, size_t size) {
        bytes_.insert(bytes_.end(), data, data + size);
    }

    std::vector<uint8_t> bytes_;
    bool ok_ = true;
};

// The number of a "_result" as a 32-bit stream id: truncated, and wrapped when out of range,
// since a double outside the int range must not reach a plain conversion.
int32_t toStreamId(double value) {
    if (!std::isfinite(value) || std::fabs(value) >= 9.2e18) return 0;
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<int64_t>(value)));
}

std::vector<uint8_t> bigEndian16and32(uint16_t first, uint32_t second) {
    std::vector<uint8_t> bytes(6);
    WriteUInt16BE(bytes.data(), 2, first);
    WriteUInt32BE(bytes.data() + 2, 4, second);
    return bytes;
}

}  // namespace

bool CRTMP::sendInvoke(const std::vector<uint8_t>& body, uint8_t channel, uint8_t headerType,
                       int32_t info1, int32_t info2) {
    RTMPPacket packet;
    packet.channel = channel;
    packet.headerType = headerType;
    packet.packetType = RTMP_PACKET_INVOKE;
    packet.info1 = info1;
    packet.info2 = info2;
    packet.bodySize = static_cast<uint32_t>(body.size());
    packet.body = const_cast<uint8_t*>(body.data());
    const bool sent = SendPacket(packet);
    packet.reset();  // the body belongs to the vector
    return sent;
}

bool CRTMP::sendControl(uint8_t packetType, uint8_t headerType, int32_t info1,
                        const std::vector<uint8_t>& body) {
    RTMPPacket packet;
    packet.channel = 0x02;
    packet.headerType = headerType;
    packet.packetType = packetType;
    packet.info1 = info1;
    packet.bodySize = static_cast<uint32_t>(body.size());
    packet.body = const_cast<uint8_t*>(body.data());
    const bool sent = SendPacket(packet);
    packet.reset();
    return sent;
}

bool CRTMP::SendConnectPacket() {
    BodyWriter body;
    body.string("connect");
    body.number(1.0);
    body.objectStart();
    if (m_settings.app != nullptr) body.namedString("app", m_settings.app);
    if (m_settings.flashVer != nullptr) body.namedString("flashVer", m_settings.flashVer);
    if (m_settings.swfUrl != nullptr) body.namedString("swfUrl", m_settings.swfUrl);
    if (m_settings.tcUrl != nullptr) body.namedString("tcUrl", m_settings.tcUrl);
    body.name("fpad");
    body.boolean(false);
    body.namedNumber("capabilities", 15.0);
    body.namedNumber("audioCodecs", 1639.0);
    body.namedNumber("videoCodecs", 252.0);
    body.namedNumber("videoFunction", 1.0);
    if (m_settings.pageUrl != nullptr) body.namedString("pageUrl", m_settings.pageUrl);
    body.objectEnd();
    if (m_settings.auth != nullptr) {
        body.boolean(true);
        body.string(m_settings.auth);
    }
    if (!body.ok()) {
        RtmpLog(1, "%s, connect settings too long", "RTMP_LIB::CRTMP::SendConnectPacket");
        return false;
    }
    return sendInvoke(body.bytes(), 0x03, 0, 0, 0);
}

bool CRTMP::SendCreateStream() {
    BodyWriter body;
    body.string("createStream");
    body.number(2.0);
    body.null();
    return sendInvoke(body.bytes(), 0x03, 1, 0, 0);
}

bool CRTMP::SendPlay() {
    static const char kName[] = "RTMP_LIB::CRTMP::SendPlay";
    if (m_settings.playpath == nullptr) {
        // Without a name the server can only refuse; ending now spares the wait for that.
        RtmpLog(1, "%s, no playpath to play, closing", kName);
        Close();
        return false;
    }
    BodyWriter body;
    body.string("play");
    body.number(0.0);
    body.null();
    body.string(m_settings.playpath);
    body.number(0.0);
    if (!body.ok()) {
        RtmpLog(1, "%s, playpath too long, closing", kName);
        Close();
        return false;
    }
    RtmpLog(0, "%s, sending play: %s", kName, m_settings.playpath);
    return sendInvoke(body.bytes(), 0x08, 0, 0, m_streamId);
}

bool CRTMP::SendSeek(double milliseconds) {
    BodyWriter body;
    body.string("seek");
    body.number(0.0);
    body.null();
    body.number(milliseconds);
    return sendInvoke(body.bytes(), 0x08, 1, 0, 0);
}

bool CRTMP::SendPause() {
    BodyWriter body;
    body.string("pause");
    body.number(0.0);
    body.null();
    body.boolean(true);
    body.number(0.0);
    return sendInvoke(body.bytes(), 0x08, 1, 0, 0);
}

bool CRTMP::SendCheckBW() {
    BodyWriter body;
    body.string("_checkbw");
    body.number(0.0);
    body.null();
    return sendInvoke(body.bytes(), 0x03, 0, static_cast<int32_t>(timeGetTime()), 0);
}

bool CRTMP::SendCheckBWResult() {
    BodyWriter body;
    body.string("_result");
    body.number(static_cast<double>(static_cast<int32_t>(timeGetTime())));
    body.null();
    body.number(static_cast<double>(m_bwCheckCounter));
    const int32_t info1 =
        static_cast<int32_t>(22u * static_cast<uint32_t>(m_bwCheckCounter));
    m_bwCheckCounter = static_cast<int32_t>(static_cast<uint32_t>(m_bwCheckCounter) + 1u);
    return sendInvoke(body.bytes(), 0x03, 1, info1, 0);
}

bool CRTMP::SendBGHasStream(double transactionId, const char* playpath) {
    BodyWriter body;
    body.string("bgHasStream");
    body.number(transactionId);
    body.null();
    body.string(playpath != nullptr ? playpath : "");
    if (!body.ok()) return false;
    return sendInvoke(body.bytes(), 0x03, 1, 0, 0);
}

bool CRTMP::SendServerBW() {
    std::vector<uint8_t> body(4);
    WriteUInt32BE(body.data(), 4, 1250000);
    return sendControl(RTMP_PACKET_SERVER_BW, 0, 0, body);
}

bool CRTMP::SendBytesReceived() {
    std::vector<uint8_t> body(4);
    WriteUInt32BE(body.data(), 4, static_cast<uint32_t>(m_bytesReceived));
    m_bytesReported = m_bytesReceived;
    return sendControl(RTMP_PACKET_BYTES_READ, 1, 0, body);
}

bool CRTMP::SendPing(int16_t type, uint32_t object, uint32_t time) {
    RtmpLog(0, "sending ping. type: 0x%04x", static_cast<unsigned>(static_cast<uint16_t>(type)));
    std::vector<uint8_t> body = bigEndian16and32(static_cast<uint16_t>(type), object);
    if (type == 3) {
        body.resize(10);
        WriteUInt32BE(body.data() + 6, 4, time);
    }
    return sendControl(RTMP_PACKET_PING, 1, static_cast<int32_t>(timeGetTime()), body);
}

bool CRTMP::GetNextMediaPacket(RTMPPacket& packet) {
    static const char kName[] = "RTMP_LIB::CRTMP::GetNextMediaPacket";
    while (IsConnected() && ReadPacket(packet)) {
        if (!packet.ready()) {
            packet.free();
            continue;
        }
        bool deliver = false;
        switch (packet.packetType) {
            case RTMP_PACKET_CHUNK_SIZE:
                HandleChangeChunkSize(packet);
                break;
            case RTMP_PACKET_BYTES_READ:
                RtmpLog(0, "%s, received: bytes read report", kName);
                break;
            case RTMP_PACKET_PING:
                HandlePing(packet);
                break;
            case RTMP_PACKET_SERVER_BW:
                RtmpLog(0, "%s, received: server BW", kName);
                HandleServerBW(packet);
                break;
            case RTMP_PACKET_CLIENT_BW:
                RtmpLog(0, "%s, received: client BW", kName);
                break;
            case RTMP_PACKET_AUDIO:
            case RTMP_PACKET_VIDEO:
                deliver = packet.bodySize > 0;
                break;
            case RTMP_PACKET_NOTIFY:
                RtmpLog(0, "%s, received: notify %lu bytes", kName,
                        static_cast<unsigned long>(packet.bodySize));
                deliver = HandleMetadata(packet.body, packet.bodySize);
                break;
            case RTMP_PACKET_INVOKE:
                RtmpLog(0, "%s, received: invoke %lu bytes", kName,
                        static_cast<unsigned long>(packet.bodySize));
                HandleInvoke(packet);
                break;
            case RTMP_PACKET_FLV:
                if (packet.bodySize > 0) {
                    const uint8_t tagType = packet.body[0];
                    if (tagType == RTMP_PACKET_NOTIFY) {
                        // Behind the 11-byte tag header of the first tag.
                        const uint32_t skip = std::min<uint32_t>(11, packet.bodySize);
                        HandleMetadata(packet.body + skip, packet.bodySize - skip);
                    }
                    deliver = tagType == RTMP_PACKET_NOTIFY || tagType == RTMP_PACKET_AUDIO ||
                              tagType == RTMP_PACKET_VIDEO;
                }
                break;
            default:
                RtmpLog(0, "i%s, unknown packet type received: 0x%02x", kName, packet.packetType);
                break;
        }
        if (deliver) {
            m_playing = true;
            return true;
        }
        packet.free();
    }
    return false;
}

void CRTMP::HandleInvoke(const RTMPPacket& packet) {
    static const char kName[] = "RTMP_LIB::CRTMP::HandleInvoke";
    if (packet.body == nullptr || packet.bodySize == 0 || packet.body[0] != AMF0_STRING) {
        RtmpLog(2, "%s, Sanity failed. no string method in invoke packet", kName);
        return;
    }
    AMFObject object;
    if (object.Decode(packet.body, static_cast<int>(packet.bodySize), false) < 0) {
        RtmpLog(1, "%s, error decoding invoke packet", kName);
        return;
    }
    object.LogContents();
    const std::string method = object.GetProperty(0).GetString();
    RtmpLog(0, "%s, server invoking <%s>", kName, method.c_str());

    if (method == "_result") {
        std::string called;
        if (!m_pendingCalls.empty()) {
            called = m_pendingCalls.front();
            m_pendingCalls.pop_front();
        }
        RtmpLog(0, "%s, received result for method call <%s>", kName, called.c_str());
        if (called == "connect") {
            SendServerBW();
            SendPing(3, 0, 300);
            SendCreateStream();
        } else if (called == "createStream") {
            m_streamId = toStreamId(object.GetProperty(3).GetNumber());
            // The buffer length goes first: nginx-rtmp paces an on-demand play by the length
            // it knows when play arrives, and one announced while frames already flow left it
            // waiting for hours when the file's timestamps start far from zero.
            SendPing(3, 1, static_cast<uint32_t>(m_bufferTimeMs));
            SendPlay();
            if (m_settings.seekTime > 0) {
                RtmpLog(0, "%s, sending seek: %f ms", kName, m_settings.seekTime);
                SendSeek(m_settings.seekTime);
            }
        }
    } else if (method == "_onbwcheck") {
        SendCheckBWResult();
    } else if (method == "_error") {
        RtmpLog(1, "rtmp server sent error");
    } else if (method == "close") {
        RtmpLog(1, "rtmp server requested close");
        Close();
    } else if (method == "onStatus") {
        const std::string code = object.GetProperty(3).GetObject().GetProperty("code").GetString();
        RtmpLog(0, "%s, onStatus: %s", kName, code.c_str());
        if (code == "NetStream.Failed" || code == "NetStream.Play.Failed" ||
            code == "NetStream.Play.Stop") {
            Close();
        }
    }
}

bool CRTMP::HandleMetadata(const uint8_t* body, uint32_t length) {
    AMFObject object;
    if (object.Decode(body, static_cast<int>(std::min<uint32_t>(length, 0x7FFFFFFF)), false) < 0) {
        RtmpLog(1, "%s, error decoding meta data packet", "RTMP_LIB::CRTMP::HandleMetadata");
        return false;
    }
    object.LogContents();
    // A publisher's metadata is "@setDataFrame", "onMetaData", {...}; some servers (node-media-
    // server, ffmpeg) hand it on to players in that form.
    const bool relayed = object.GetProperty(0).GetString() == "@setDataFrame";
    if (object.GetProperty(relayed ? 1 : 0).GetString() != "onMetaData") return false;
    AMFObjectProperty duration;
    if (FindPropertyDeep(object, "duration", duration)) {
        m_duration = duration.GetNumber();
        RtmpLog(0, "Set duration: %f", m_duration);
    }
    return true;
}

bool CRTMP::FindPropertyDeep(const AMFObject& object, const std::string& name,
                             AMFObjectProperty& property) {
    for (int i = 0; i < object.GetCount(); ++i) {
        const AMFObjectProperty& value = object.GetProperty(i);
        if (value.GetName() == name) {
            property = value;
            return true;
        }
        if (value.GetType() == AMF_KIND_OBJECT) {
            return FindPropertyDeep(value.GetObject(), name, property);
        }
    }
    return false;
}

void CRTMP::HandlePing(const RTMPPacket& packet) {
    uint16_t type = 0xFFFF;
    if (packet.body != nullptr) ReadUInt16BE(packet.body, packet.bodySize, &type);
    RtmpLog(0, "%s, received ping. type: %d", "RTMP_LIB::CRTMP::HandlePing",
            static_cast<int>(static_cast<int16_t>(type)));
    uint32_t value = 0;
    if (type == 6 && packet.bodySize >= 6 && ReadUInt32BE(packet.body + 2, 4, &value)) {
        SendPing(7, value, 0);
    }
}

}  // namespace RTMP_LIB
