#include "support/ScriptedHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <sstream>

namespace testing_support {

namespace {

// A request whose headers do not arrive within this time is dropped.
constexpr int kRequestDeadlineMs = 10000;

// Waits for |events| on |fd| or for the stop signal. True when |fd| is ready.
bool waitFor(int fd, short events, int stopFd, int timeoutMs) {
    pollfd fds[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
    const int ready = ::poll(fds, 2, timeoutMs);
    if (ready <= 0 || (fds[1].revents & POLLIN) != 0) return false;
    return fds[0].revents != 0;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

bool parseRequest(const std::string& head, HttpRequest* request) {
    std::istringstream lines(head);
    std::string line;
    if (!std::getline(lines, line)) return false;
    std::istringstream first(line);
    first >> request->method >> request->target;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        size_t value = colon + 1;
        while (value < line.size() && line[value] == ' ') ++value;
        request->headers[lower(line.substr(0, colon))] = line.substr(value);
    }
    return !request->method.empty();
}

}  // namespace

bool HttpConnection::send(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        if (!waitFor(socket_, POLLOUT, stopFd_, kRequestDeadlineMs)) return false;
        const ssize_t n = ::send(socket_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += size_t(n);
    }
    return true;
}

void HttpConnection::holdOpen() {
    char scratch[4096];
    // Whatever the peer sends is ignored; its close (a read of 0) or an error ends the wait.
    while (waitFor(socket_, POLLIN, stopFd_, -1)) {
        if (::recv(socket_, scratch, sizeof(scratch), 0) <= 0) return;
    }
}

ScriptedHttpServer::ScriptedHttpServer(Handler handler)
    : handler_(std::move(handler)), listener_(-1), stopPipe_{-1, -1}, port_(0) {
    if (::pipe(stopPipe_) != 0) return;
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;  // the system picks a free port, so tests never collide
    socklen_t length = sizeof(address);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listener_, 64) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return;
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

ScriptedHttpServer::~ScriptedHttpServer() {
    if (stopPipe_[1] >= 0) {
        const char stop = 1;
        (void)!::write(stopPipe_[1], &stop, 1);
    }
    if (acceptor_.joinable()) acceptor_.join();
    std::vector<std::thread> connections;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        connections.swap(connections_);
    }
    for (std::thread& connection : connections) connection.join();
    if (listener_ >= 0) ::close(listener_);
    for (int fd : stopPipe_) {
        if (fd >= 0) ::close(fd);
    }
}

std::string ScriptedHttpServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<HttpRequest> ScriptedHttpServer::requests() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return requests_;
}

std::string ScriptedHttpServer::responseHead(int status, uint64_t contentLength,
                                             const std::string& extra) {
    return "HTTP/1.1 " + std::to_string(status) + " Scripted\r\nContent-Type: video/x-flv\r\n" +
           "Content-Length: " + std::to_string(contentLength) + "\r\n" + extra +
           "Connection: close\r\n\r\n";
}

void ScriptedHttpServer::acceptLoop() {
    while (waitFor(listener_, POLLIN, stopPipe_[0], -1)) {
        const int socket = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (socket < 0) continue;
        std::lock_guard<std::mutex> guard(mutex_);
        connections_.emplace_back([this, socket] { serve(socket); });
    }
}

void ScriptedHttpServer::serve(int socket) {
    std::string head;
    char chunk[4096];
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestDeadlineMs);
    while (head.find("\r\n\r\n") == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !waitFor(socket, POLLIN, stopPipe_[0], int(left.count()))) {
            ::close(socket);
            return;
        }
        const ssize_t n = ::recv(socket, chunk, sizeof(chunk), 0);
        if (n <= 0) {
            ::close(socket);
            return;
        }
        head.append(chunk, size_t(n));
    }
    HttpRequest request;
    if (parseRequest(head.substr(0, head.find("\r\n\r\n")), &request)) {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            requests_.push_back(request);
        }
        HttpConnection connection(socket, stopPipe_[0]);
        handler_(request, connection);
    }
    ::shutdown(socket, SHUT_RDWR);
    ::close(socket);
}

}  // namespace testing_support
