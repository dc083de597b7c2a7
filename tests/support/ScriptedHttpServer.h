// An HTTP server on a free loopback port whose handler scripts each answer's bytes; connections
// are served one after another, one request each; every wait is bounded by a deadline or the stop.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

struct HttpRequest {
    std::string method, target;
    std::string head;  // the request line and the header lines, as they came
};

struct HttpConnection {
    // False when the stop comes first, or nothing within |ms| (10 s: for a piece of a request's
    // head, or for room to send).
    bool waitFor(short events, int ms = 10000) const {
        pollfd fds[2] = {{socket, events, 0}, {stopFd, POLLIN, 0}};
        return ::poll(fds, 2, ms) > 0 && fds[1].revents == 0 && fds[0].revents != 0;
    }
    ssize_t receive(char* into, size_t size, int ms = 10000) const {
        return waitFor(POLLIN, ms) ? ::recv(socket, into, size, 0) : 0;
    }
    bool send(const std::string& bytes) {  // false once the peer is gone or the server stops
        for (size_t sent = 0; sent < bytes.size();) {
            const ssize_t n = waitFor(POLLOUT)
                                  ? ::send(socket, &bytes[sent], bytes.size() - sent, MSG_NOSIGNAL)
                                  : 0;
            if (n <= 0) return false;
            sent += size_t(n);
        }
        return true;
    }
    void holdOpen() {  // until the peer closes or the server stops
        for (char scratch[4096]; receive(scratch, sizeof(scratch), -1) > 0;) continue;
    }
    int socket, stopFd;
};

class ScriptedHttpServer {
  public:
    using Handler = std::function<void(const HttpRequest& request, HttpConnection& connection)>;
    explicit ScriptedHttpServer(Handler handler) : handler_(std::move(handler)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // port 0: the system picks a free one
        auto* const raw = reinterpret_cast<sockaddr*>(&address);
        socklen_t length = sizeof(address);
        if (::pipe(stop_) != 0 || ::bind(listener_, raw, length) != 0 ||
            ::listen(listener_, 64) != 0 || ::getsockname(listener_, raw, &length) != 0) {
            return;
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            while (HttpConnection{listener_, stop_[0]}.waitFor(POLLIN, -1)) {
                const int socket = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (socket >= 0) serve(HttpConnection{socket, stop_[0]});
            }
        });
    }
    ~ScriptedHttpServer() {
        (void)!::write(stop_[1], "x", 1);
        if (thread_.joinable()) thread_.join();
        for (int fd : {listener_, stop_[0], stop_[1]}) ::close(fd);
    }

    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    std::vector<HttpRequest> requests() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return requests_;
    }
    // Content-Type video/x-flv, the length, |extra| lines (ending in CRLF), Connection: close.
    static std::string responseHead(int status, uint64_t contentLength,
                                    const std::string& extra = "") {
        return "HTTP/1.1 " + std::to_string(status) + " Scripted\r\nContent-Type: video/x-flv\r\n" +
               "Content-Length: " + std::to_string(contentLength) + "\r\n" + extra +
               "Connection: close\r\n\r\n";
    }

  private:
    void serve(HttpConnection connection) {
        HttpRequest request;
        char chunk[4096];
        ssize_t n = 1;
        while (request.head.find("\r\n\r\n") == std::string::npos &&
               (n = connection.receive(chunk, sizeof(chunk))) > 0) {
            request.head.append(chunk, size_t(n));
        }
        if (n > 0) {
            std::istringstream(request.head) >> request.method >> request.target;
            std::lock_guard<std::mutex>{mutex_}, requests_.push_back(request);
            handler_(request, connection);
        }
        ::shutdown(connection.socket, SHUT_RDWR);
        ::close(connection.socket);
    }

    Handler handler_;
    int listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), stop_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<HttpRequest> requests_;  // guarded by mutex_
};

}  // namespace testing_support
