#include "support/ScriptedHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>

namespace testing_support {

namespace {

constexpr int kDeadlineMs = 10000;  // for each piece of a request's head, and for room to send

// True when |fd| is ready for |events| before the time-out and the stop signal.
bool waitFor(int fd, short events, int stopFd, int timeoutMs) {
    pollfd fds[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
    return ::poll(fds, 2, timeoutMs) > 0 && fds[1].revents == 0 && fds[0].revents != 0;
}

}  // namespace

bool HttpConnection::send(const std::string& bytes) {
    for (size_t sent = 0; sent < bytes.size();) {
        if (!waitFor(socket_, POLLOUT, stopFd_, kDeadlineMs)) return false;
        const ssize_t n = ::send(socket_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += size_t(n);
    }
    return true;
}

void HttpConnection::holdOpen() {
    char scratch[4096];
    while (waitFor(socket_, POLLIN, stopFd_, -1) && ::recv(socket_, scratch, 4096, 0) > 0) continue;
}

ScriptedHttpServer::ScriptedHttpServer(Handler handler) : handler_(std::move(handler)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // port 0: the system picks a free one
    auto* const raw = reinterpret_cast<sockaddr*>(&address);
    socklen_t length = sizeof(address);
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::pipe(stopPipe_) != 0 || ::bind(listener_, raw, length) != 0 ||
        ::listen(listener_, 64) != 0 || ::getsockname(listener_, raw, &length) != 0) {
        return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
        while (waitFor(listener_, POLLIN, stopPipe_[0], -1)) {
            const int socket = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (socket >= 0) serve(socket);
        }
    });
}

ScriptedHttpServer::~ScriptedHttpServer() {
    if (stopPipe_[1] >= 0) (void)!::write(stopPipe_[1], "x", 1);
    if (thread_.joinable()) thread_.join();
    for (int fd : {listener_, stopPipe_[0], stopPipe_[1]}) {
        if (fd >= 0) ::close(fd);
    }
}

std::string ScriptedHttpServer::responseHead(int status, uint64_t contentLength,
                                             const std::string& extra) {
    return "HTTP/1.1 " + std::to_string(status) + " Scripted\r\nContent-Type: video/x-flv\r\n" +
           "Content-Length: " + std::to_string(contentLength) + "\r\n" + extra +
           "Connection: close\r\n\r\n";
}

void ScriptedHttpServer::serve(int socket) {
    HttpRequest request;
    char chunk[4096];
    while (request.head.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = waitFor(socket, POLLIN, stopPipe_[0], kDeadlineMs)
                              ? ::recv(socket, chunk, sizeof(chunk), 0)
                              : 0;
        if (n <= 0) return (void)::close(socket);
        request.head.append(chunk, size_t(n));
    }
    std::istringstream(request.head) >> request.method >> request.target;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        requests_.push_back(request);
    }
    HttpConnection connection(socket, stopPipe_[0]);
    handler_(request, connection);
    ::shutdown(socket, SHUT_RDWR);
    ::close(socket);
}

}  // namespace testing_support
