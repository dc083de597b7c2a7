// CRTMP: construction, Connect with the handshake, the socket primitives and Close.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "common/Log.h"
#include "platform/Clock.h"
#include "rtmp/AMFCodec.h"
#include "rtmp/CRTMP.h"
#include "rtmp/ParseUrl.h"

namespace RTMP_LIB {

namespace {

constexpr int kDefaultTimeoutMs = 30000;
constexpr unsigned int kDefaultPort = 1935;
constexpr const char kFlashVersion[] = "LNX 9,0,124,0";

int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int timeoutFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return kDefaultTimeoutMs;
    char* end = nullptr;
    const long ms = std::strtol(value, &end, 10);
    if (*end != '\0' || ms <= 0 || ms > 3600 * 1000) return kDefaultTimeoutMs;
    return static_cast<int>(ms);
}

const char* orEmpty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

int CRTMP::DefaultConnectTimeoutMs() {
    static const int ms = timeoutFromEnvironment("ZOVOZUDO_RTMP_CONNECT_TIMEOUT_MS");
    return ms;
}

int CRTMP::DefaultReceiveTimeoutMs() {
    static const int ms = timeoutFromEnvironment("ZOVOZUDO_RTMP_RECEIVE_TIMEOUT_MS");
    return ms;
}

CRTMP::CRTMP()
    : m_socket(platform::kNoSocket),
      m_chunkSize(kDefaultChunkSize),
      m_outChunkSize(kDefaultChunkSize),
      m_ackWindow(kBytesReadReportInterval),
      m_bwCheckCounter(0),
      m_bytesReceived(0),
      m_bytesReported(0),
      m_playing(false),
      m_bufferTimeMs(kDefaultBufferTimeMs),
      m_streamId(0),
      m_receiveBuffer(new uint8_t[kReceiveBufferSize]),
      m_receiveBufferStart(0),
      m_receiveBufferCount(0),
      m_duration(0.0),
      m_connectTimeoutMs(DefaultConnectTimeoutMs()),
      m_receiveTimeoutMs(DefaultReceiveTimeoutMs()),
      m_sendTimeoutMs(kDefaultTimeoutMs),
      m_handshakeDeadlineMs(0) {
    Close();
}

CRTMP::~CRTMP() { Close(); }

void CRTMP::Close() {
    if (m_socket != platform::kNoSocket) platform::SocketClose(m_socket);
    m_socket = platform::kNoSocket;
    m_chunkSize = kDefaultChunkSize;
    m_outChunkSize = kDefaultChunkSize;
    m_ackWindow = kBytesReadReportInterval;
    m_bwCheckCounter = 0;
    m_bytesReceived = 0;
    m_bytesReported = 0;
    m_channelsIn.clear();
    m_channelsOut.clear();
    m_playing = false;
    m_receiveBufferStart = 0;
    m_receiveBufferCount = 0;
    m_handshakeDeadlineMs = 0;
}

void CRTMP::storeSettings(const char* playpath, const char* app, const char* tcUrl) {
    m_settings.playpath = playpath;
    m_settings.app = app;
    m_settings.tcUrl = tcUrl;
    m_settings.swfUrl = nullptr;
    m_settings.pageUrl = nullptr;
    m_settings.auth = nullptr;
    m_settings.flashVer = kFlashVersion;
}

bool CRTMP::Connect(const char* hostname, unsigned int port, const char* playpath,
                    const char* app, int protocol, const char* tcUrl, double seekTime) {
    static const char kName[] = "RTMP_LIB::CRTMP::Connect";
    RtmpLog(0, "Protocol: %s", RtmpProtocolName(protocol));
    RtmpLog(0, "Hostname: %s", orEmpty(hostname));
    RtmpLog(0, "Port    : %d", static_cast<int>(port));
    RtmpLog(0, "Playpath: %s", orEmpty(playpath));
    if (tcUrl != nullptr) RtmpLog(0, "tcUrl   : %s", tcUrl);
    if (app != nullptr) RtmpLog(0, "app     : %s", app);
    RtmpLog(0, "flashVer: %s", kFlashVersion);
    if (seekTime > 0) RtmpLog(0, "SeekTime: %lf", seekTime);

    storeSettings(playpath, app, tcUrl);
    m_settings.hostname = hostname;
    m_settings.port = port == 0 ? kDefaultPort : port;
    m_settings.protocol = protocol;
    m_settings.seekTime = seekTime;

    Close();
    const int64_t deadline = steadyMs() + m_connectTimeoutMs;
    if (!connectSocket(deadline)) return false;

    RtmpLog(0, "connected, hand shake:");
    m_handshakeDeadlineMs = deadline;
    if (!HandShake()) {
        RtmpLog(1, "%s, handshake failed.", kName);
        Close();
        return false;
    }
    m_handshakeDeadlineMs = 0;
    RtmpLog(0, "handshaked");

    // From here on a stalled server costs one receive time-out per read; sends get the same
    // bound, so that a server that stops reading cannot block the host either.
    platform::SocketSetTimeouts(m_socket, m_receiveTimeoutMs, m_sendTimeoutMs);
    if (!SendConnectPacket()) {
        RtmpLog(1, "%s, failed to send connect RTMP packet", kName);
        RtmpLog(1, "%s, RTMP connect failed.", kName);
        Close();
        return false;
    }
    return true;
}

bool CRTMP::connectSocket(int64_t deadlineMs) {
    static const char kName[] = "RTMP_LIB::CRTMP::Connect";
    uint32_t address = 0;
    const auto timeLeft = [deadlineMs] {
        const int64_t left = deadlineMs - steadyMs();
        return static_cast<int>(left < 1 ? 1 : left);
    };
    if (!platform::ResolveIPv4(m_settings.hostname, timeLeft(), &address)) {
        RtmpLog(1, "Problem accessing the DNS. (addr: %s)", orEmpty(m_settings.hostname));
        return false;
    }
    const platform::Socket socket = platform::SocketCreateTcp();
    if (socket == platform::kNoSocket) {
        RtmpLog(1, "%s, failed to create socket. Error: %d", kName, GetSockError());
        return false;
    }
    m_socket = socket;
    // A port that does not fit 16 bits would otherwise be cut to some other port.
    const bool connected =
        m_settings.port <= 0xFFFF &&
        platform::SocketConnect(socket, address, static_cast<uint16_t>(m_settings.port),
                                timeLeft());
    if (!connected) {
        RtmpLog(1, "%s, failed to connect socket. Error: %d", kName,
                m_settings.port <= 0xFFFF ? GetSockError() : EINVAL);
        Close();
        return false;
    }
    return true;
}

void CRTMP::Attach(platform::Socket socket, const char* playpath, const char* app,
                   const char* tcUrl) {
    Close();
    storeSettings(playpath, app, tcUrl);
    m_socket = socket;
    platform::SocketSetTimeouts(m_socket, m_receiveTimeoutMs, m_sendTimeoutMs);
}

int CRTMP::handshakeTimeLeft() const {
    if (m_handshakeDeadlineMs == 0) return 0;
    const int64_t left = m_handshakeDeadlineMs - steadyMs();
    return static_cast<int>(left < 1 ? 1 : left);
}

bool CRTMP::HandShake() {
    static const char kName[] = "RTMP_LIB::CRTMP::HandShake";
    uint8_t clientSig[1 + kHandshakeSize];
    uint8_t serverSig[kHandshakeSize];
    uint8_t echo[kHandshakeSize];

    clientSig[0] = kRtmpVersion;
    WriteUInt32BE(clientSig + 1, 4, timeGetTime());
    std::memset(clientSig + 5, 0, 4);
    for (int i = 9; i < 1 + kHandshakeSize; ++i) clientSig[i] = static_cast<uint8_t>(rand());
    if (!WriteN(clientSig, 1 + kHandshakeSize)) return false;

    uint8_t type = 0;
    if (ReadN(&type, 1) != 1) return false;
    RtmpLog(0, "%s: Type Answer   : %02X", kName, static_cast<int>(static_cast<int8_t>(type)));
    if (type != kRtmpVersion) {
        RtmpLog(2, "%s: Type mismatch: client sent %d, server answered %d", kName, kRtmpVersion,
                static_cast<int>(static_cast<int8_t>(type)));
    }

    if (ReadN(serverSig, kHandshakeSize) != kHandshakeSize) return false;
    uint32_t uptime = 0;
    ReadUInt32BE(serverSig, kHandshakeSize, &uptime);
    RtmpLog(0, "%s: Server Uptime : %d", kName, static_cast<int32_t>(uptime));
    RtmpLog(0, "%s: FMS Version   : %d.%d.%d.%d", kName, static_cast<int8_t>(serverSig[4]),
            static_cast<int8_t>(serverSig[5]), static_cast<int8_t>(serverSig[6]),
            static_cast<int8_t>(serverSig[7]));

    if (ReadN(echo, kHandshakeSize) != kHandshakeSize) return false;
    if (std::memcmp(echo, clientSig + 1, kHandshakeSize) != 0) {
        RtmpLog(2, "%s, client signiture does not match!", kName);
    }
    return WriteN(serverSig, kHandshakeSize);
}

int CRTMP::receiveSome(uint8_t* destination, int room) {
    static const char kName[] = "RTMP_LIB::CRTMP::ReadN";
    if (!IsConnected()) return -1;
    // During the handshake every wait gets only what is left of Connect's bound.
    const int left = handshakeTimeLeft();
    if (left > 0) platform::SocketSetTimeouts(m_socket, left, left);
    const int r = platform::SocketReceive(m_socket, destination, size_t(room));
    if (r < 0) {
        RtmpLog(1, "%s, RTMP recv error %d", kName, GetSockError());
        Close();
        return -1;
    }
    if (r == 0) return 0;
    if (m_playing) {
        // Unsigned arithmetic: the counts wrap at 4 GiB instead of overflowing.
        m_bytesReceived =
            static_cast<int32_t>(static_cast<uint32_t>(m_bytesReceived) + static_cast<uint32_t>(r));
        if (static_cast<uint32_t>(m_bytesReceived) - static_cast<uint32_t>(m_bytesReported) >=
            static_cast<uint32_t>(m_ackWindow)) {
            if (!SendBytesReceived() || !IsConnected()) return -1;
        }
    }
    return r;
}

int CRTMP::ReadN(uint8_t* destination, int n) {
    static const char kName[] = "RTMP_LIB::CRTMP::ReadN";
    if (n <= 0) return 0;
    int done = 0;
    while (done < n) {
        if (m_receiveBufferCount > 0) {
            const int take = std::min(m_receiveBufferCount, n - done);
            std::memcpy(destination + done, m_receiveBuffer.get() + m_receiveBufferStart,
                        size_t(take));
            m_receiveBufferStart += take;
            m_receiveBufferCount -= take;
            done += take;
            continue;
        }
        // Large reads go straight to their destination; small ones (headers, short chunks) take
        // in what has arrived behind them too, so that a chunk costs no receive of its own.
        const bool direct = n - done >= kReceiveBufferSize;
        uint8_t* const into = direct ? destination + done : m_receiveBuffer.get();
        const int r = receiveSome(into, direct ? n - done : kReceiveBufferSize);
        if (r < 0) return 0;
        if (r == 0) {
            RtmpLog(0, "%s, RTMP socket closed by server", kName);
            Close();
            return done;
        }
        if (direct) {
            done += r;
        } else {
            m_receiveBufferStart = 0;
            m_receiveBufferCount = r;
        }
    }
    return n;
}

bool CRTMP::peekN(int n, const uint8_t** bytes) {
    if (m_receiveBufferStart + n > kReceiveBufferSize) {
        std::memmove(m_receiveBuffer.get(), m_receiveBuffer.get() + m_receiveBufferStart,
                     size_t(m_receiveBufferCount));
        m_receiveBufferStart = 0;
    }
    while (m_receiveBufferCount < n) {
        const int end = m_receiveBufferStart + m_receiveBufferCount;
        const int r = receiveSome(m_receiveBuffer.get() + end, kReceiveBufferSize - end);
        // Closed by the server: what is buffered stays for ReadN, which then meets the end too.
        if (r <= 0) return false;
        m_receiveBufferCount += r;
    }
    *bytes = m_receiveBuffer.get() + m_receiveBufferStart;
    return true;
}

bool CRTMP::WriteN(const uint8_t* source, int n) {
    static const char kName[] = "RTMP_LIB::CRTMP::WriteN";
    if (n <= 0) return n == 0;
    if (!IsConnected()) return false;
    // One bound for the whole write: a server that takes a few bytes now and then must not
    // stretch it.
    const int handshakeLeft = handshakeTimeLeft();
    size_t sent = 0;
    if (!platform::SocketSendAll(m_socket, source, size_t(n),
                                 handshakeLeft > 0 ? handshakeLeft : m_sendTimeoutMs, &sent)) {
        RtmpLog(1, "%s, RTMP send error %d (%d bytes)", kName, GetSockError(),
                n - static_cast<int>(sent));
        Close();
        return false;
    }
    return true;
}

bool CRTMP::FillBuffer() {
    static const char kName[] = "RTMP_LIB::CRTMP::FillBuffer";
    if (!IsConnected()) return false;
    std::memmove(m_receiveBuffer.get(), m_receiveBuffer.get() + m_receiveBufferStart,
                 size_t(m_receiveBufferCount));
    m_receiveBufferStart = 0;
    const int room = kReceiveBufferSize - m_receiveBufferCount;
    if (room <= 0) return true;
    const int r = platform::SocketReceive(m_socket, m_receiveBuffer.get() + m_receiveBufferCount,
                                          size_t(room));
    if (r <= 0) {
        RtmpLog(0, "%s, recv returned %d. GetSockError(): %d", kName, r,
                r < 0 ? GetSockError() : 0);
        Close();
        return false;
    }
    m_receiveBufferCount += r;
    return true;
}

void CRTMP::HandleServerBW(const RTMPPacket& packet) {
    uint32_t window = 0;
    if (packet.body == nullptr || !ReadUInt32BE(packet.body, packet.bodySize, &window)) return;
    // A window of 0 (or one past the signed range) would ask for a report after every receive.
    if (window == 0 || window > 0x7FFFFFFF) return;
    m_ackWindow = static_cast<int32_t>(window);
    RtmpLog(0, "%s, received: acknowledgement window %d", "RTMP_LIB::CRTMP::HandleServerBW",
            m_ackWindow);
}

int CRTMP::GetSockError() const {
    return platform::SocketLastError();
}

}  // namespace RTMP_LIB
