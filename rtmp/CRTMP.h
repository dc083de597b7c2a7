// The client side of one RTMP connection over a blocking TCP socket: the handshake, the chunk
// stream (messages assembled per channel on reading, header compression and invoke chunking on
// writing), the commands it sends and its reactions to what the server sends, up to handing the
// caller one media message at a time.
//
//   Connect ──> handshake, connect command ──> GetNextMediaPacket: reads and answers
//   "_result"(connect) -> createStream, "_result"(createStream) -> play, pings, chunk sizes,
//   onStatus ... and returns the first audio, video, metadata or FLV-aggregate message.
//
// Every socket failure closes the connection (IsConnected() turns false), so callers test that
// instead of tracking errors. Name resolution, TCP connect and the handshake are bounded together
// by the connect time-out; every later read by the receive time-out and every write, as a whole,
// by the send time-out (each 30 s unless set otherwise, see SetConnectTimeout,
// SetReceiveTimeout and SetSendTimeout).
//
// Not thread-safe: one thread at a time uses a connection (the one that opens the stream, then
// the one that pulls media). All calls block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "platform/Sockets.h"
#include "rtmp/AMFObject.h"
#include "rtmp/RTMPChunkFormat.h"
#include "rtmp/RTMPPacket.h"

namespace RTMP_LIB {

class CRTMP {
public:
    // Bytes that one receive may bring in ahead of what the chunk stream asked for.
    static constexpr int kReceiveBufferSize = 16384;
    // The buffer time sent in the ping after play unless SetBufferTime says otherwise.
    static constexpr int kDefaultBufferTimeMs = 300;
    // Bytes received while playing between two bytes-read reports while the server has not
    // announced a window of its own.
    static constexpr int32_t kBytesReadReportInterval = 614400;
    // Names of commands awaiting a "_result" that are remembered; later ones (in practice only
    // the "_result" answers to bandwidth checks, which the server never answers) are not.
    static constexpr size_t kMaxPendingCalls = 1024;

    // Time-outs used by new connections unless changed: 30000 ms each, or the values in
    // milliseconds of $ZOVOZUDO_RTMP_CONNECT_TIMEOUT_MS and $ZOVOZUDO_RTMP_RECEIVE_TIMEOUT_MS,
    // read once per process (for tests).
    static int DefaultConnectTimeoutMs();
    static int DefaultReceiveTimeoutMs();

    CRTMP();
    virtual ~CRTMP();
    CRTMP(const CRTMP&) = delete;
    CRTMP& operator=(const CRTMP&) = delete;

    // --- Connection (handshake and socket) ---

    // Resolves |hostname|, connects over TCP to |port| (0 means 1935), does the handshake and
    // sends the connect command. True once that command is written; the server's answers are
    // read by GetNextMediaPacket. The strings are borrowed and must stay valid while this
    // connection lives; null means absent. |protocol| only names the protocol in the log.
    bool Connect(const char* hostname, unsigned int port, const char* playpath, const char* app,
                 int protocol, const char* tcUrl, double seekTime);
    // Takes over |socket|, a connected stream on which the handshake is done, as Connect would
    // leave it just before sending the connect command (which is not sent). For tests and fuzzing
    // that play the server over a socket pair. The strings are borrowed as for Connect.
    void Attach(platform::Socket socket, const char* playpath, const char* app,
                const char* tcUrl);
    bool HandShake();
    // Reads exactly |n| bytes unless the connection fails; returns the bytes read (n on
    // success, fewer when the server closed, 0 on an error or time-out). Bytes that a receive
    // brings in beyond |n| wait in the receive buffer for the next read.
    int ReadN(uint8_t* destination, int n);
    // True when all |n| bytes were written within the send time-out (the handshake's bound
    // while Connect runs), however the kernel takes them in.
    bool WriteN(const uint8_t* source, int n);
    // Closes the socket, if any, and resets the per-connection state. Safe to call at any time.
    void Close();
    bool IsConnected() const { return m_socket != platform::kNoSocket; }
    bool FillBuffer();
    int GetSockError() const;

    // --- Chunk stream ---

    // Reads one chunk into |packet|, which must hold no body. True: either |packet| is ready and
    // owns the complete message's body, or it is not ready and holds no body (the partial body
    // stays with the channel). False: a read failed or the stream cannot go on.
    bool ReadPacket(RTMPPacket& packet);
    // Writes the message in |packet| (header type 0 or 1, which may be lowered to compress the
    // header). The caller keeps the body.
    bool SendPacket(RTMPPacket& packet);
    // The server's Set Chunk Size: the size of the chunks it sends from now on.
    void HandleChangeChunkSize(const RTMPPacket& packet);
    // The server's Window Acknowledgement Size: how many bytes may arrive between two
    // bytes-read reports.
    void HandleServerBW(const RTMPPacket& packet);

    // --- Commands and messages ---

    // Reads and handles messages until a media message arrives; true leaves it complete in
    // |packet|, owned by the caller. False when the connection closed or a read failed.
    bool GetNextMediaPacket(RTMPPacket& packet);
    void HandleInvoke(const RTMPPacket& packet);
    bool HandleMetadata(const uint8_t* body, uint32_t length);
    void HandlePing(const RTMPPacket& packet);
    static bool FindPropertyDeep(const AMFObject& object, const std::string& name,
                                 AMFObjectProperty& property);

    bool SendConnectPacket();
    bool SendCreateStream();
    bool SendPlay();
    bool SendSeek(double milliseconds);
    bool SendPause();
    bool SendCheckBW();
    bool SendCheckBWResult();
    bool SendBGHasStream(double transactionId, const char* playpath);
    bool SendServerBW();
    bool SendBytesReceived();
    bool SendPing(int16_t type, uint32_t object, uint32_t time);

    // --- Settings and state ---

    void SetBufferTime(int32_t milliseconds) { m_bufferTimeMs = milliseconds; }
    // Bound on name resolution, TCP connect and handshake together, for later Connect calls.
    void SetConnectTimeout(int milliseconds) { m_connectTimeoutMs = milliseconds; }
    // Bound on each read after Connect, for later Connect and Attach calls.
    void SetReceiveTimeout(int milliseconds) { m_receiveTimeoutMs = milliseconds; }
    // Bound on each WriteN after the handshake, the whole write.
    void SetSendTimeout(int milliseconds) { m_sendTimeoutMs = milliseconds; }
    // The size of the chunks the server sends.
    int32_t GetChunkSize() const { return m_chunkSize; }
    int32_t GetStreamId() const { return m_streamId; }
    bool IsPlaying() const { return m_playing; }
    double GetDuration() const { return m_duration; }
    int32_t GetBytesReceived() const { return m_bytesReceived; }
    const std::list<std::string>& GetPendingCalls() const { return m_pendingCalls; }

private:
    struct Settings {
        const char* hostname = nullptr;
        unsigned int port = 0;
        int protocol = 0;
        const char* playpath = nullptr;
        const char* tcUrl = nullptr;
        const char* swfUrl = nullptr;
        const char* pageUrl = nullptr;
        const char* app = nullptr;
        const char* auth = nullptr;
        const char* flashVer = nullptr;
        double seekTime = 0.0;
    };

    void storeSettings(const char* playpath, const char* app, const char* tcUrl);
    bool connectSocket(int64_t deadlineMs);
    // The time left before the handshake deadline (at least 1 ms), or 0 when none is set.
    int handshakeTimeLeft() const;
    bool readChunkBody(RTMPPacket& record, uint32_t chunk);
    // Makes the receive buffer hold |n| bytes (a few) and points |*bytes| at them without taking
    // them: false when the server closed first (what arrived stays for ReadN) or the read failed
    // (then the connection is closed).
    bool peekN(int n, const uint8_t** bytes);
    // One receive of at most |room| bytes, counted for the bytes-read report: the bytes, 0 when
    // the server closed, -1 after a failure (then the connection is closed).
    int receiveSome(uint8_t* destination, int room);
    bool sendInvoke(const std::vector<uint8_t>& body, uint8_t channel, uint8_t headerType,
                    int32_t info1, int32_t info2);
    bool sendControl(uint8_t packetType, uint8_t headerType, int32_t info1,
                     const std::vector<uint8_t>& body);
    void rememberCall(const RTMPPacket& packet);

    platform::Socket m_socket;
    // Of the server's chunks (read) and of the client's own (written): chunk sizes are per
    // direction.
    int32_t m_chunkSize;
    int32_t m_outChunkSize;
    int32_t m_ackWindow;
    int32_t m_bwCheckCounter;
    int32_t m_bytesReceived;
    int32_t m_bytesReported;
    bool m_playing;
    int32_t m_bufferTimeMs;
    int32_t m_streamId;
    std::list<std::string> m_pendingCalls;
    Settings m_settings;
    std::unique_ptr<uint8_t[]> m_receiveBuffer;
    int m_receiveBufferStart;
    int m_receiveBufferCount;
    // A received record may own a partly assembled body; a sent record never owns one.
    ChannelRecords m_channelsIn;
    ChannelRecords m_channelsOut;
    double m_duration;
    int m_connectTimeoutMs;
    int m_receiveTimeoutMs;
    int m_sendTimeoutMs;
    // While Connect runs: the steady-clock millisecond at which it gives up; 0 otherwise.
    int64_t m_handshakeDeadlineMs;
};

}  // namespace RTMP_LIB
