// A small RTMP server inside a test, on a free loopback port, whose side of the conversation a
// test scripts: it plays the handshake straight or bent (another version byte, a wrong echo, a
// close half-way), decodes the client's chunk stream into messages with every byte they took on
// the wire, and sends whatever bytes the test builds, all at once or in pieces of any size.
//
// The script runs on a thread of its own for the first connection; join() waits for it.
// Every wait is bounded (kDeadlineMs) and the destructor stops a script that is still waiting
// and joins it. Scripts report with gtest's EXPECT_* macros, which are safe on any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>

namespace testing_support {

// One message as the client wrote it.
struct RtmpMessage {
    int headerType = -1;  // of its first chunk
    int channel = -1;
    uint32_t timestamp = 0;  // as its first header carried it, extended when marked so
    bool extended = false;
    uint8_t type = 0;
    uint32_t streamId = 0;
    std::string body;
    std::string wire;  // every byte it took, headers and continuation bytes included
};

struct HandshakeScript {
    uint8_t version = 3;      // S0
    bool echoC1 = true;       // false: S2 differs from C1 in one byte
    int closeAfter = -1;      // >= 0: close after sending that many handshake bytes
    bool answer = true;       // false: read C0 and C1, then stay silent
};

class RtmpServerConnection {
public:
    static constexpr int kDeadlineMs = 10000;

    RtmpServerConnection(int socket, int stopFd) : socket_(socket), stopFd_(stopFd) {}

    // Exactly |n| bytes, or false when the client closes, the deadline passes or the server
    // stops.
    bool read(size_t n, std::string* out);
    // Every byte of |bytes|, each send() carrying at most |piece| bytes (0: all at once).
    bool send(const std::string& bytes, size_t piece = 0);
    // True when the client closes its side before the deadline; bytes it sends are dropped.
    bool waitForClose();
    // Waits |ms| unless the server stops first (the pace of a slow reader).
    bool pause(int ms);
    void close();
    // Closes with a reset instead of an orderly end.
    void reset();

    // The server's side of the handshake. True when C2 arrived.
    bool handshake(const HandshakeScript& script = HandshakeScript());
    // The handshake and the client's first message, which should be connect.
    bool acceptConnect(RtmpMessage* connect);
    // The next complete message the client wrote, decoding chunks of the client's chunk size.
    bool readMessage(RtmpMessage* message);
    void setClientChunkSize(uint32_t size) { clientChunkSize_ = size; }

    const std::string& c0c1() const { return c0c1_; }
    const std::string& c2() const { return c2_; }
    const std::string& s1() const { return s1_; }

private:
    struct Channel {
        uint32_t timestamp = 0;
        bool extended = false;
        uint32_t size = 0;
        uint8_t type = 0;
        uint32_t streamId = 0;
        std::string partial;
        RtmpMessage pending;
    };

    int socket_;
    int stopFd_;
    uint32_t clientChunkSize_ = 128;
    std::map<int, Channel> channels_;
    std::string c0c1_, s1_, c2_;
};

class ScriptedRtmpServer {
public:
    using Script = std::function<void(RtmpServerConnection& connection)>;

    explicit ScriptedRtmpServer(Script script);
    ~ScriptedRtmpServer();
    ScriptedRtmpServer(const ScriptedRtmpServer&) = delete;
    ScriptedRtmpServer& operator=(const ScriptedRtmpServer&) = delete;

    uint16_t port() const { return port_; }
    // Waits until the script has ended (it closes the connection when it returns).
    void join();

private:
    void run();

    Script script_;
    int listener_;
    int stopPipe_[2];
    uint16_t port_;
    std::thread thread_;
};

// Builders of the server's bytes.
namespace amf {
std::string str(const std::string& value);
std::string num(double value);
std::string boolean(bool value);
std::string null();
// An object of already encoded named values: {{"code", str("...")}, ...}.
std::string object(const std::initializer_list<std::pair<std::string, std::string>>& members);
}  // namespace amf

std::string BigEndian(uint64_t value, int bytes);
// The basic header of a chunk of |headerType| on |channel|: one, two or three bytes.
std::string BasicHeader(int headerType, int channel);
std::string LittleEndian(uint64_t value, int bytes);

// A message with a 12-byte header, its body split into chunks of |chunkSize| with type-3
// continuation headers. A |timestamp| of 0xFFFFFF or more goes as an extended timestamp,
// repeated after every continuation header unless |repeatExtended| is false.
std::string Message12(int channel, uint8_t type, uint32_t streamId, const std::string& body,
                      uint32_t chunkSize = 128, uint32_t timestamp = 0, bool repeatExtended = true);
// An invoke on channel 3: the method, the transaction id, a null, then |rest|.
std::string Invoke(const std::string& method, double transaction, const std::string& rest = "",
                   uint32_t chunkSize = 128);
// onStatus with |code| on channel 5, stream 1.
std::string OnStatus(const std::string& code, uint32_t chunkSize = 128);

}  // namespace testing_support
