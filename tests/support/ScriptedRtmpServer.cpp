#include "support/ScriptedRtmpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>

namespace testing_support {

namespace {

// Waits for |events| on |fd| or for the stop signal. True when |fd| is ready.
bool waitFor(int fd, short events, int stopFd, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd fds[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, int(left.count()));
        if (ready < 0) continue;
        if (ready == 0 || (fds[1].revents & POLLIN) != 0) return false;
        return fds[0].revents != 0;
    }
}

std::chrono::steady_clock::time_point deadline() {
    return std::chrono::steady_clock::now() +
           std::chrono::milliseconds(RtmpServerConnection::kDeadlineMs);
}

}  // namespace

bool RtmpServerConnection::read(size_t n, std::string* out) {
    out->clear();
    const auto until = deadline();
    char buffer[65536];
    while (out->size() < n) {
        if (!waitFor(socket_, POLLIN, stopFd_, until)) return false;
        const ssize_t got = ::recv(socket_, buffer, std::min(sizeof(buffer), n - out->size()), 0);
        if (got <= 0) return false;
        out->append(buffer, size_t(got));
    }
    return true;
}

bool RtmpServerConnection::send(const std::string& bytes, size_t piece) {
    if (piece == 0) piece = bytes.size();
    const auto until = deadline();
    size_t sent = 0;
    while (sent < bytes.size()) {
        if (!waitFor(socket_, POLLOUT, stopFd_, until)) return false;
        const size_t size = std::min(piece, bytes.size() - sent);
        const ssize_t n = ::send(socket_, bytes.data() + sent, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += size_t(n);
    }
    return true;
}

bool RtmpServerConnection::waitForClose() {
    const auto until = deadline();
    char scratch[4096];
    while (waitFor(socket_, POLLIN, stopFd_, until)) {
        const ssize_t n = ::recv(socket_, scratch, sizeof(scratch), 0);
        if (n <= 0) return true;
    }
    return false;
}

bool RtmpServerConnection::pause(int ms) {
    pollfd stop = {stopFd_, POLLIN, 0};
    return ::poll(&stop, 1, ms) == 0;
}

void RtmpServerConnection::reset() {
    if (socket_ < 0) return;
    const linger abort = {1, 0};
    ::setsockopt(socket_, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
    ::close(socket_);
    socket_ = -1;
}

void RtmpServerConnection::close() {
    if (socket_ < 0) return;
    ::shutdown(socket_, SHUT_RDWR);
    ::close(socket_);
    socket_ = -1;
}

bool RtmpServerConnection::handshake(const HandshakeScript& script) {
    if (!read(1537, &c0c1_)) return false;
    if (!script.answer) return true;
    std::string answer(1, char(script.version));
    s1_ = BigEndian(123456, 4) + std::string("\x03\x05\x01\x02", 4);
    std::mt19937 random(7);
    while (s1_.size() < 1536) s1_.push_back(char(random()));
    std::string s2 = c0c1_.substr(1);
    if (!script.echoC1) s2[700] = char(s2[700] ^ 0x5A);
    answer += s1_ + s2;
    if (script.closeAfter >= 0) {
        send(answer.substr(0, size_t(script.closeAfter)));
        close();
        return false;
    }
    return send(answer) && read(1536, &c2_);
}

bool RtmpServerConnection::acceptConnect(RtmpMessage* connect) {
    return handshake() && readMessage(connect);
}

bool RtmpServerConnection::readMessage(RtmpMessage* message) {
    for (;;) {
        std::string first;
        if (!read(1, &first)) return false;
        const int type = uint8_t(first[0]) >> 6;
        int id = first[0] & 0x3F;
        std::string wire = first;
        if (id < 2) {
            std::string more;
            if (!read(size_t(id + 1), &more)) return false;
            wire += more;
            id = 64 + uint8_t(more[0]) + (id == 1 ? uint8_t(more[1]) * 256 : 0);
        }
        Channel& channel = channels_[id];
        static const int kRest[4] = {11, 7, 3, 0};
        std::string header;
        if (kRest[type] > 0 && !read(size_t(kRest[type]), &header)) return false;
        wire += header;
        const auto byte = [&](int i) { return uint32_t(uint8_t(header[size_t(i)])); };
        uint32_t timestamp = 0;
        if (type < 3) {
            timestamp = byte(0) << 16 | byte(1) << 8 | byte(2);
            channel.extended = timestamp == 0xFFFFFF;
        }
        if (channel.extended) {
            std::string field;
            if (!read(4, &field)) return false;
            wire += field;
            timestamp = uint32_t(uint8_t(field[0])) << 24 | uint32_t(uint8_t(field[1])) << 16 |
                        uint32_t(uint8_t(field[2])) << 8 | uint32_t(uint8_t(field[3]));
        }
        if (type < 2) {
            channel.size = byte(3) << 16 | byte(4) << 8 | byte(5);
            channel.type = uint8_t(byte(6));
            channel.partial.clear();
        }
        if (type == 0) channel.streamId = byte(7) | byte(8) << 8 | byte(9) << 16 | byte(10) << 24;
        if (type < 3 || (channel.extended && channel.partial.empty()))
            channel.timestamp = timestamp;
        if (channel.partial.empty()) {
            channel.pending = RtmpMessage();
            channel.pending.headerType = type;
            channel.pending.channel = id;
            channel.pending.timestamp = channel.timestamp;
            channel.pending.extended = channel.extended;
            channel.pending.type = channel.type;
            channel.pending.streamId = channel.streamId;
        }
        const size_t piece =
            std::min<size_t>(clientChunkSize_, channel.size - channel.partial.size());
        std::string data;
        if (piece > 0 && !read(piece, &data)) return false;
        channel.partial += data;
        channel.pending.wire += wire + data;
        if (channel.partial.size() == channel.size) {
            *message = channel.pending;
            message->body = channel.partial;
            channel.partial.clear();
            return true;
        }
    }
}

ScriptedRtmpServer::ScriptedRtmpServer(Script script)
    : script_(std::move(script)), listener_(-1), stopPipe_{-1, -1}, port_(0) {
    if (::pipe(stopPipe_) != 0) return;
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listener_, 4) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { run(); });
}

ScriptedRtmpServer::~ScriptedRtmpServer() {
    if (stopPipe_[1] >= 0) {
        const char stop = 1;
        (void)!::write(stopPipe_[1], &stop, 1);
    }
    join();
    if (listener_ >= 0) ::close(listener_);
    for (int fd : stopPipe_) {
        if (fd >= 0) ::close(fd);
    }
}

void ScriptedRtmpServer::join() {
    if (thread_.joinable()) thread_.join();
}

void ScriptedRtmpServer::run() {
    if (!waitFor(listener_, POLLIN, stopPipe_[0], deadline())) return;
    const int socket = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (socket < 0) return;
    const int on = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    RtmpServerConnection connection(socket, stopPipe_[0]);
    script_(connection);
    connection.close();
}

namespace amf {

std::string str(const std::string& value) { return "\x02" + BigEndian(value.size(), 2) + value; }

std::string num(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof(bits));
    return std::string(1, '\0') + BigEndian(bits, 8);
}

std::string boolean(bool value) { return std::string("\x01") + char(value ? 1 : 0); }

std::string null() { return "\x05"; }

std::string object(const std::initializer_list<std::pair<std::string, std::string>>& members) {
    std::string out = "\x03";
    for (const auto& member : members) {
        out += BigEndian(member.first.size(), 2) + member.first + member.second;
    }
    return out + std::string("\x00\x00\x09", 3);
}

}  // namespace amf

std::string BigEndian(uint64_t value, int bytes) {
    std::string out;
    for (int i = bytes - 1; i >= 0; --i) out.push_back(char((value >> (8 * i)) & 0xFF));
    return out;
}

std::string LittleEndian(uint64_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out.push_back(char((value >> (8 * i)) & 0xFF));
    return out;
}

std::string BasicHeader(int headerType, int channel) {
    const char type = char(headerType << 6);
    if (channel < 64) return std::string(1, char(type | channel));
    if (channel < 320) return std::string(1, type) + char(channel - 64);
    return std::string(1, char(type | 1)) + LittleEndian(uint64_t(channel - 64), 2);
}

std::string Message12(int channel, uint8_t type, uint32_t streamId, const std::string& body,
                      uint32_t chunkSize, uint32_t timestamp, bool repeatExtended) {
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

std::string Invoke(const std::string& method, double transaction, const std::string& rest,
                   uint32_t chunkSize) {
    return Message12(3, 0x14, 0, amf::str(method) + amf::num(transaction) + amf::null() + rest,
                     chunkSize);
}

std::string OnStatus(const std::string& code, uint32_t chunkSize) {
    return Message12(5, 0x14, 1,
                     amf::str("onStatus") + amf::num(0) + amf::null() +
                         amf::object({{"level", amf::str("status")}, {"code", amf::str(code)}}),
                     chunkSize);
}

}  // namespace testing_support
