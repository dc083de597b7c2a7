// An RTMP server for one connection on a free loopback port, run by a script on its own thread.
// Every wait ends by one deadline for the whole server, or when the destructor stops it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

inline std::string BigEndian(uint64_t value, int bytes) {
    std::string out;
    for (int i = bytes - 1; i >= 0; --i) out.push_back(char(value >> (8 * i)));
    return out;
}
inline std::string LittleEndian(uint64_t value, int bytes) {
    const std::string big = BigEndian(value, bytes);
    return {big.rbegin(), big.rend()};
}

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

// Send, then read |read| of the client's messages, or with kUntilClose all until it closes.
constexpr int kUntilClose = -1;
struct Step {
    std::string send;
    int read = 0;
    size_t piece = 0;
};

class ScriptedRtmpServer {
  public:
    using Script = std::function<void(ScriptedRtmpServer& connection)>;
    explicit ScriptedRtmpServer(Script script) : script_(std::move(script)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (::pipe(stopPipe_) != 0 ||
            ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            if (!waitFor(listener_, POLLIN)) return;
            socket_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            const int on = 1;
            if (socket_ >= 0) ::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
            if (socket_ >= 0) script_(*this);
            close();
        });
    }
    // Accepts connect, plays |steps| and closes; messages() waits for that and holds what it read.
    explicit ScriptedRtmpServer(std::vector<Step> steps)
        : ScriptedRtmpServer([this, steps](ScriptedRtmpServer& s) {
              RtmpMessage m;
              if (!s.acceptConnect(&m)) return;
              messages_.push_back(m);
              for (const Step& step : steps) {
                  if (!s.send(step.send, step.piece)) return;
                  for (int i = 0; i != step.read && s.readMessage(&m); ++i) messages_.push_back(m);
              }
          }) {}
    ~ScriptedRtmpServer() {
        if (stopPipe_[1] >= 0) (void)!::write(stopPipe_[1], "", 1);
        join();
        for (int fd : {listener_, stopPipe_[0], stopPipe_[1]})
            if (fd >= 0) ::close(fd);
    }
    ScriptedRtmpServer(const ScriptedRtmpServer&) = delete;
    ScriptedRtmpServer& operator=(const ScriptedRtmpServer&) = delete;
    uint16_t port() const { return port_; }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    const std::vector<RtmpMessage>& messages() { return join(), messages_; }

    bool read(size_t n, std::string* out) {
        char buffer[65536];
        for (out->clear(); out->size() < n;) {
            if (!waitFor(socket_, POLLIN)) return false;
            const ssize_t got =
                ::recv(socket_, buffer, std::min(sizeof(buffer), n - out->size()), 0);
            if (got <= 0) return false;
            out->append(buffer, size_t(got));
        }
        return true;
    }
    bool send(const std::string& bytes, size_t piece = 0) {  // |piece|: most bytes per send()
        for (size_t sent = 0; sent < bytes.size();) {
            if (!waitFor(socket_, POLLOUT)) return false;
            const size_t size = std::min(piece ? piece : bytes.size(), bytes.size() - sent);
            const ssize_t n = ::send(socket_, bytes.data() + sent, size, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += size_t(n);
        }
        return true;
    }
    bool waitForClose() {  // true when the client closes first; what it sends is dropped
        char scratch[4096];
        while (waitFor(socket_, POLLIN))
            if (::recv(socket_, scratch, sizeof(scratch), 0) <= 0) return true;
        return false;
    }
    bool pause(int ms) {
        pollfd stop = {stopPipe_[0], POLLIN, 0};
        return ::poll(&stop, 1, ms) == 0;
    }
    void close(bool reset = false) {
        if (socket_ < 0) return;
        const linger abort = {1, 0};
        reset ? ::setsockopt(socket_, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort))
              : ::shutdown(socket_, SHUT_RDWR);
        ::close(socket_);
        socket_ = -1;
    }
    // Fails unless C0 asks for version 3, C1 has zeros at 4..7 and C2 echoes S1.
    bool handshake(const HandshakeScript& script = HandshakeScript()) {
        std::string c0c1, s1 = BigEndian(123456, 4) + std::string("\x03\x05\x01\x02", 4), c2;
        if (!read(1537, &c0c1)) return false;
        if (!script.answer) return true;
        std::mt19937 random(7);
        while (s1.size() < 1536) s1.push_back(char(random()));
        std::string answer = char(script.version) + s1 + c0c1.substr(1);
        if (!script.echoC1) answer[1537 + 700] ^= 0x5A;
        if (script.closeAfter < 0)
            return send(answer) && read(1536, &c2) && c2 == s1 &&
                   c0c1.substr(0, 1) + c0c1.substr(5, 4) == std::string("\x03\0\0\0\0", 5);
        send(answer.substr(0, size_t(script.closeAfter)));
        close();
        return false;
    }
    bool acceptConnect(RtmpMessage* connect) { return handshake() && readMessage(connect); }
    bool readMessage(RtmpMessage* message) {  // in chunks of 128
        const auto at = [](const std::string& bytes, size_t from, int size) {
            uint32_t value = 0;
            for (int i = 0; i < size; ++i) value = value << 8 | uint8_t(bytes[from + size_t(i)]);
            return value;
        };
        for (;;) {
            std::string wire, more, header;
            if (!read(1, &wire)) return false;
            const int type = uint8_t(wire[0]) >> 6;
            int id = wire[0] & 0x3F;
            if (id < 2 && !read(size_t(id + 1), &more)) return false;
            if (id < 2) id = 64 + uint8_t(more[0]) + (id == 1 ? uint8_t(more[1]) * 256 : 0);
            Channel& channel = channels_[id];
            RtmpMessage& pending = channel.pending;
            if (type < 3 && !read(size_t(11 - 4 * type), &header)) return false;
            if (type < 3) channel.extended = at(header, 0, 3) == 0xFFFFFF;
            wire += more + header;
            if (channel.extended && !read(4, &more)) return false;
            if (channel.extended) wire += more;
            if (type < 2) channel.size = at(header, 3, 3), pending.type = uint8_t(header[6]);
            if (type < 2) channel.partial.clear();
            if (type == 0) pending.streamId = __builtin_bswap32(at(header, 7, 4));
            if (channel.partial.empty()) pending.headerType = type, pending.channel = id;
            if (channel.partial.empty()) pending.wire.clear();
            const size_t piece = std::min<size_t>(128, channel.size - channel.partial.size());
            more.clear();
            if (piece > 0 && !read(piece, &more)) return false;
            channel.partial += more;
            pending.wire += wire + more;
            if (channel.partial.size() == channel.size) {
                *message = pending;
                message->body.swap(channel.partial);
                return true;
            }
        }
    }

  private:
    bool waitFor(int fd, short events) {
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(until_ - Clock::now());
            if (left.count() <= 0) return false;
            pollfd fds[2] = {{fd, events, 0}, {stopPipe_[0], POLLIN, 0}};
            const int ready = ::poll(fds, 2, int(left.count()));
            if (ready < 0) continue;
            return ready > 0 && (fds[1].revents & POLLIN) == 0 && fds[0].revents != 0;
        }
    }
    struct Channel {
        uint32_t size = 0;
        bool extended = false;
        std::string partial;
        RtmpMessage pending;
    };
    using Clock = std::chrono::steady_clock;
    const Clock::time_point until_ = Clock::now() + std::chrono::seconds(20);
    Script script_;
    int listener_ = -1, socket_ = -1, stopPipe_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::thread thread_;
    std::vector<RtmpMessage> messages_;
    std::map<int, Channel> channels_;
};

namespace amf {
inline const auto str = [](const std::string& s) { return "\x02" + BigEndian(s.size(), 2) + s; };
inline std::string num(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof(bits));
    return '\0' + BigEndian(bits, 8);
}
inline const auto boolean = [](bool value) { return std::string("\x01") + char(value); };
inline const std::string null = "\x05";
inline std::string member(const std::string& name, const std::string& value) {  // of an object
    return BigEndian(name.size(), 2) + name + value;
}
inline const auto object = [](const std::string& m) { return "\x03" + m + '\0' + '\0' + '\x09'; };
}  // namespace amf

inline std::string BasicHeader(int headerType, int channel) {  // one, two or three bytes
    const char type = char(headerType << 6);
    if (channel < 64) return std::string(1, char(type | channel));
    if (channel < 320) return std::string(1, type) + char(channel - 64);
    return char(type | 1) + LittleEndian(uint64_t(channel - 64), 2);
}

// A message with a 12-byte header, in chunks of |chunkSize|. A |timestamp| from 0xFFFFFF goes
// extended, repeated after each continuation header unless |repeatExtended| is false.
inline std::string Message12(int channel, uint8_t type, uint32_t streamId, const std::string& body,
                             uint32_t chunkSize = 128, uint32_t timestamp = 0,
                             bool repeatExtended = true) {
    const bool extended = timestamp >= 0xFFFFFF;
    const std::string extension = extended ? BigEndian(timestamp, 4) : "";
    std::string out = BasicHeader(0, channel) + BigEndian(extended ? 0xFFFFFF : timestamp, 3) +
                      BigEndian(body.size(), 3) + char(type) + LittleEndian(streamId, 4) +
                      extension;
    for (size_t at = 0; at < body.size(); at += chunkSize) {
        if (at > 0) out += BasicHeader(3, channel) + (repeatExtended ? extension : "");
        out += body.substr(at, chunkSize);
    }
    return out;
}

// An invoke on channel 3: the method, the transaction id, a null, then |rest|.
inline std::string Invoke(const std::string& method, double transaction,
                          const std::string& rest = "", uint32_t chunkSize = 128) {
    return Message12(3, 0x14, 0, amf::str(method) + amf::num(transaction) + amf::null + rest,
                     chunkSize);
}

// A status on channel 5, stream 1; the description only when given.
inline std::string OnStatus(const std::string& code, const std::string& level = "status",
                            const std::string& description = "",
                            const std::string& method = "onStatus") {
    return Message12(
        5, 0x14, 1,
        amf::str(method) + amf::num(0) + amf::null +
            amf::object(
                amf::member("level", amf::str(level)) + amf::member("code", amf::str(code)) +
                (description.empty() ? "" : amf::member("description", amf::str(description)))));
}

}  // namespace testing_support
