#include "platform/Sockets.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace platform {

namespace {

// So that a count always fits the int result.
constexpr size_t kMaxTransfer = 1u << 30;

thread_local int t_lastError = 0;
std::atomic<int> g_startups{0};

int fail(int error) {
    t_lastError = error;
    return -1;
}

// One name lookup, shared by the caller and the thread that asks the resolver, so that a caller
// that stops waiting leaves the thread something valid to write into.
struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;  // guarded by mutex
    bool found = false;     // guarded by mutex
    uint32_t address = 0;   // guarded by mutex
};

void lookUp(const std::string& host, const std::shared_ptr<Lookup>& lookup) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* results = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &results);
    std::lock_guard<std::mutex> guard(lookup->mutex);
    if (rc == 0 && results != nullptr && results->ai_addr != nullptr &&
        results->ai_family == AF_INET) {
        lookup->address = reinterpret_cast<const sockaddr_in*>(results->ai_addr)->sin_addr.s_addr;
        lookup->found = true;
    }
    if (results != nullptr) ::freeaddrinfo(results);
    lookup->finished = true;
    lookup->done.notify_all();
}

bool waitFor(Socket socket, short events, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return fail(ETIMEDOUT), false;
        pollfd fd = {socket, events, 0};
        const int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return fail(errno), false;
    }
}

timeval toTimeval(int ms) {
    timeval value{};
    if (ms > 0) {
        value.tv_sec = ms / 1000;
        value.tv_usec = (ms % 1000) * 1000;
    }
    return value;
}

}  // namespace

bool SocketsStartup() {
    ++g_startups;
    return true;
}

void SocketsCleanup() {
    int count = g_startups.load();
    while (count > 0 && !g_startups.compare_exchange_weak(count, count - 1)) {
    }
}

int SocketsStartupCount() { return g_startups.load(); }

bool ResolveIPv4(const char* host, int timeoutMs, uint32_t* address) {
    if (host == nullptr || *host == '\0') return fail(EINVAL), false;
    in_addr dotted{};
    if (::inet_pton(AF_INET, host, &dotted) == 1) {
        *address = dotted.s_addr;
        return true;
    }
    // getaddrinfo has no time-out of its own; it runs on a thread that may outlive this call.
    auto lookup = std::make_shared<Lookup>();
    try {
        std::thread(lookUp, std::string(host), lookup).detach();
    } catch (const std::exception&) {
        return fail(EAGAIN), false;
    }
    std::unique_lock<std::mutex> lock(lookup->mutex);
    if (!lookup->done.wait_for(lock, std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0),
                               [&] { return lookup->finished; })) {
        return fail(ETIMEDOUT), false;
    }
    if (!lookup->found) return fail(EHOSTUNREACH), false;
    *address = lookup->address;
    return true;
}

Socket SocketCreateTcp() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return fail(errno), kNoSocket;
    if (fd == kNoSocket) {
        // A host without standard input hands out descriptor 0, which would read as "no socket".
        const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 1);
        const int error = errno;
        ::close(fd);
        if (moved < 0) return fail(error), kNoSocket;
        fd = moved;
    }
    return fd;
}

bool SocketConnect(Socket socket, uint32_t address, uint16_t port, int timeoutMs) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = address;
    peer.sin_port = htons(port);
    const int flags = ::fcntl(socket, F_GETFL);
    if (flags < 0 || ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0) return fail(errno), false;
    bool connected = ::connect(socket, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) == 0;
    if (!connected && errno != EINPROGRESS) {
        fail(errno);
    } else if (!connected && waitFor(socket, POLLOUT, timeoutMs)) {
        int error = 0;
        socklen_t length = sizeof(error);
        if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
        if (error == 0) connected = true;
        else fail(error);
    }
    if (::fcntl(socket, F_SETFL, flags) != 0 && connected) return fail(errno), false;
    if (connected) {
        const int on = 1;
        ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    }
    return connected;
}

bool SocketSetTimeouts(Socket socket, int receiveMs, int sendMs) {
    const timeval receive = toTimeval(receiveMs);
    const timeval send = toTimeval(sendMs);
    if (::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &receive, sizeof(receive)) != 0 ||
        ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &send, sizeof(send)) != 0) {
        return fail(errno), false;
    }
    return true;
}

int SocketSend(Socket socket, const void* data, size_t size) {
    if (size > kMaxTransfer) size = kMaxTransfer;
    for (;;) {
        const ssize_t sent = ::send(socket, data, size, MSG_NOSIGNAL);
        if (sent >= 0) return static_cast<int>(sent);
        if (errno == EINTR) continue;
        // A blocking socket only reports "would block" when its time-out has run out.
        return fail(errno == EAGAIN || errno == EWOULDBLOCK ? ETIMEDOUT : errno);
    }
}

bool SocketSendAll(Socket socket, const void* data, size_t size, int timeoutMs, size_t* sent) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const char* const bytes = static_cast<const char*>(data);
    *sent = 0;
    while (*sent < size) {
        const ssize_t n = ::send(socket, bytes + *sent, std::min(size - *sent, kMaxTransfer),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            *sent += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return fail(errno), false;
        // Full: wait for room, with what is left of the bound.
        int left = -1;
        if (timeoutMs > 0) {
            const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (remaining.count() <= 0) return fail(ETIMEDOUT), false;
            left = static_cast<int>(remaining.count());
        }
        pollfd fd = {socket, POLLOUT, 0};
        if (::poll(&fd, 1, left) < 0 && errno != EINTR) return fail(errno), false;
    }
    return true;
}

int SocketReceive(Socket socket, void* data, size_t size) {
    if (size > kMaxTransfer) size = kMaxTransfer;
    for (;;) {
        const ssize_t received = ::recv(socket, data, size, 0);
        if (received >= 0) return static_cast<int>(received);
        if (errno == EINTR) continue;
        return fail(errno == EAGAIN || errno == EWOULDBLOCK ? ETIMEDOUT : errno);
    }
}

void SocketClose(Socket socket) {
    if (socket != kNoSocket) ::close(socket);
}

int SocketLastError() { return t_lastError; }

}  // namespace platform
