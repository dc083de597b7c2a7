// An RTMP server for one connection on a free loopback port, run by a script on its own thread;
// every wait is bounded and the destructor stops a script that still waits.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

struct RtmpMessage {
    int headerType = -1, channel = -1;  // of its first chunk
    uint8_t type = 0;
    uint32_t streamId = 0;
    std::string body, wire;
};

struct HandshakeScript {
    uint8_t version = 3;  // S0
    bool echoC1 = true;   // false: S2 differs from C1 in one byte
    int closeAfter = -1;  // >= 0: close after sending that many handshake bytes
    bool answer = true;   // false: read C0 and C1, then stay silent
};

class RtmpServerConnection {
  public:
    RtmpServerConnection(int socket, int stopFd) : socket_(socket), stopFd_(stopFd) {}
    bool read(size_t n, std::string* out);
    bool send(const std::string& bytes, size_t piece = 0);  // |piece|: most bytes per send()
    bool waitForClose();  // true when the client closes first; what it sends is dropped
    bool pause(int ms);
    void close(bool reset = false);
    bool handshake(const HandshakeScript& script = HandshakeScript());
    bool acceptConnect(RtmpMessage* connect) { return handshake() && readMessage(connect); }
    bool readMessage(RtmpMessage* message);  // in chunks of 128
    std::string c0c1, s1, c2;

  private:
    struct Channel {
        uint32_t size = 0, streamId = 0;
        bool extended = false;
        uint8_t type = 0;
        std::string partial;
        RtmpMessage pending;
    };
    int socket_, stopFd_;
    std::map<int, Channel> channels_;
};

// Send, then read |read| of the client's messages, or with kUntilClose all until it closes.
constexpr int kUntilClose = -1;
struct Step {
    std::string send;
    int read = 0;
    size_t piece = 0;
};

class ScriptedRtmpServer {
  public:
    using Script = std::function<void(RtmpServerConnection& connection)>;
    explicit ScriptedRtmpServer(Script script);
    // Accepts connect, plays |steps| and closes; messages() waits for that and holds what it read.
    explicit ScriptedRtmpServer(std::vector<Step> steps);
    ~ScriptedRtmpServer();
    ScriptedRtmpServer(const ScriptedRtmpServer&) = delete;
    ScriptedRtmpServer& operator=(const ScriptedRtmpServer&) = delete;
    uint16_t port() const { return port_; }
    void join();
    const std::vector<RtmpMessage>& messages() { return join(), messages_; }

  private:
    Script script_;
    int listener_ = -1, stopPipe_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::thread thread_;
    std::vector<RtmpMessage> messages_;
};

namespace amf {
std::string str(const std::string& value);
std::string num(double value);
std::string boolean(bool value);
inline const std::string null = "\x05";
std::string member(const std::string& name, const std::string& value);  // of an object
std::string object(const std::initializer_list<std::pair<std::string, std::string>>& members);
}  // namespace amf

std::string BigEndian(uint64_t value, int bytes);
std::string LittleEndian(uint64_t value, int bytes);
std::string BasicHeader(int headerType, int channel);  // one, two or three bytes
// A message with a 12-byte header, in chunks of |chunkSize|. A |timestamp| from 0xFFFFFF goes
// extended, repeated after each continuation header unless |repeatExtended| is false.
std::string Message12(int channel, uint8_t type, uint32_t streamId, const std::string& body,
                      uint32_t chunkSize = 128, uint32_t timestamp = 0, bool repeatExtended = true);
// An invoke on channel 3: the method, the transaction id, a null, then |rest|.
std::string Invoke(const std::string& method, double transaction, const std::string& rest = "",
                   uint32_t chunkSize = 128);
// A status on channel 5, stream 1; the description only when given.
std::string OnStatus(const std::string& code, const std::string& level = "status",
                     const std::string& description = "", const std::string& method = "onStatus");
// A server's answers to connect and createStream up to play, then |bytes|.
std::vector<Step> PlaySteps(const std::string& bytes, bool awaitClose = false);

}  // namespace testing_support
