// Plays the input as everything a server sends after the handshake, over a socket pair, and
// pulls media messages until the connection fails: chunk headers of every type, chunk-size
// changes, control messages, commands and metadata. The client's answers are read and dropped
// by a thread that also feeds the input, so the client never blocks on a full socket.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <condition_variable>
#include <mutex>
#include <thread>


#include "fuzz/FuzzSupport.h"
#include "rtmp/CRTMP.h"

namespace {

// Writes |data| to |fd|, then half-closes it, while reading whatever comes back until the
// other end is closed.
void serve(int fd, const uint8_t* data, size_t size) {
    size_t written = 0;
    bool writing = true;
    if (size == 0) {
        ::shutdown(fd, SHUT_WR);
        writing = false;
    }
    char scratch[4096];
    for (;;) {
        pollfd p = {fd, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
        if (::poll(&p, 1, 10000) <= 0) return;
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::recv(fd, scratch, sizeof(scratch), MSG_DONTWAIT);
            if (n == 0 || (n < 0 && (p.revents & (POLLHUP | POLLERR)))) return;
        }
        if (writing && (p.revents & POLLOUT)) {
            const ssize_t n =
                ::send(fd, data + written, size - written, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0 && (p.revents & POLLERR)) return;
            if (n > 0) written += size_t(n);
            if (written == size) {
                ::shutdown(fd, SHUT_WR);
                writing = false;
            }
        }
    }
}

// One server thread for the whole run: a thread per input costs more than most inputs.
class Server {
public:
    Server() : thread_([this] { loop(); }) { thread_.detach(); }

    void start(int fd, const uint8_t* data, size_t size) {
        std::lock_guard<std::mutex> guard(mutex_);
        fd_ = fd;
        data_ = data;
        size_ = size;
        busy_ = true;
        changed_.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !busy_; });
    }

private:
    void loop() {
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return busy_; });
            lock.unlock();
            serve(fd_, data_, size_);
            lock.lock();
            busy_ = false;
            changed_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    bool busy_ = false;
    int fd_ = -1;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    std::thread thread_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 16)) return 0;
    fuzz_support::installDiscardingLog();
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
    static Server* const server = new Server;
    server->start(fds[1], data, size);
    {
        RTMP_LIB::CRTMP connection;
        connection.SetReceiveTimeout(5000);
        connection.Attach(fds[0], "stream", "app", "rtmp://host/app");
        connection.SendConnectPacket();
        RTMP_LIB::RTMPPacket packet;
        while (connection.GetNextMediaPacket(packet)) {
            if (!packet.ready() || packet.bodySize > size) std::abort();
            packet.free();
        }
        if (connection.IsConnected()) std::abort();
    }
    server->wait();
    ::close(fds[1]);
    return 0;
}
