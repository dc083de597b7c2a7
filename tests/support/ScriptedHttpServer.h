// A small HTTP server inside a test, on a free loopback port, whose answers a test scripts: for
// each request the handler writes whatever bytes it likes (a cut transfer, a wrong length, an
// endless body) or holds the connection open without a word. Connections are served one after
// another, one request each, on one thread; the destructor stops it (send() then fails and
// holdOpen() returns). Every wait is bounded by a deadline or the stop.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

struct HttpRequest {
    std::string method;
    std::string target;
    std::string head;  // the request line and the header lines, as they came
};

class HttpConnection {
  public:
    HttpConnection(int socket, int stopFd) : socket_(socket), stopFd_(stopFd) {}
    bool send(const std::string& bytes);  // false once the peer is gone or the server stops
    void holdOpen();                      // until the peer closes or the server stops

  private:
    int socket_, stopFd_;
};

class ScriptedHttpServer {
  public:
    using Handler = std::function<void(const HttpRequest& request, HttpConnection& connection)>;
    explicit ScriptedHttpServer(Handler handler);
    ~ScriptedHttpServer();

    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    // Every request received so far, in order of arrival.
    std::vector<HttpRequest> requests() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return requests_;
    }
    // A status line, Content-Type video/x-flv, Content-Length, |extra| header lines (each ending
    // in CRLF) and Connection: close.
    static std::string responseHead(int status, uint64_t contentLength,
                                    const std::string& extra = "");

  private:
    void serve(int socket);

    Handler handler_;
    int listener_ = -1, stopPipe_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<HttpRequest> requests_;  // guarded by mutex_
};

}  // namespace testing_support
