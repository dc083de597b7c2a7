#include "tools/Signals.h"

#include <dirent.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "tools/Commands.h"

namespace cli {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> gInterrupted{false};

constexpr int kShutdownRepeatMs = 100;

sigset_t interruptSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// Shuts down every IPv4 and IPv6 socket of this process: a blocked receive on one returns as if
// the peer had closed it, a connect in progress fails. The host itself holds none, so they are
// the plug-in's connections to the medium's server (and a name lookup's, which then fails).
void shutDownNetworkSockets() {
    DIR* const descriptors = opendir("/proc/self/fd");
    if (descriptors == nullptr) return;
    while (const dirent* entry = readdir(descriptors)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == dirfd(descriptors)) continue;
        // Fails on what is not a socket.
        sockaddr_storage address = {};
        socklen_t length = sizeof(address);
        if (getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&address), &length) != 0)
            continue;
        if (address.ss_family == AF_INET || address.ss_family == AF_INET6) {
            shutdown(static_cast<int>(fd), SHUT_RDWR);
        }
    }
    closedir(descriptors);
}

int millisecondsUntil(Clock::time_point when) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count()) + 1;
}

}  // namespace

void installSignalHandlers() {
    std::signal(SIGPIPE, SIG_IGN);
}

bool interruptRequested() {
    return gInterrupted.load();
}

int runInterruptibly(const std::function<int()>& play) {
    // Blocked here and so in every thread started from now on, the plug-in's included: the
    // signals wait in the signalfd for this thread alone.
    const sigset_t signals = interruptSignals();
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &signals, &previous);
    const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
    const int doneFd = eventfd(0, EFD_CLOEXEC);
    if (signalFd < 0 || doneFd < 0) {
        if (signalFd >= 0) close(signalFd);
        if (doneFd >= 0) close(doneFd);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return play();
    }

    int status = kExitFailure;
    std::thread worker([&] {
        status = play();
        const uint64_t one = 1;
        while (write(doneFd, &one, sizeof(one)) < 0 && errno == EINTR) {
        }
    });

    Clock::time_point nextShutdown = Clock::time_point::max();
    Clock::time_point giveUp = Clock::time_point::max();
    for (;;) {
        pollfd fds[2] = {{doneFd, POLLIN, 0}, {signalFd, POLLIN, 0}};
        const Clock::time_point wake = std::min(nextShutdown, giveUp);
        const int timeout = wake == Clock::time_point::max() ? -1 : millisecondsUntil(wake);
        if (poll(fds, 2, timeout) < 0 && errno != EINTR) break;
        if (fds[0].revents != 0) break;
        if (fds[1].revents != 0) {
            signalfd_siginfo info;
            if (read(signalFd, &info, sizeof(info)) != sizeof(info)) continue;
            if (gInterrupted.exchange(true)) {
                std::fputs("zovozudo: interrupted again; ending at once\n", stderr);
                _exit(kExitInterrupted);
            }
            const Clock::time_point now = Clock::now();
            nextShutdown = now + std::chrono::milliseconds(kShutdownDelayMs);
            giveUp = now + std::chrono::milliseconds(kStopBoundMs);
        }
        const Clock::time_point now = Clock::now();
        if (now >= giveUp) {
            std::fprintf(stderr,
                         "zovozudo: the plug-in did not return within %d ms of the interrupt; "
                         "ending without closing the medium\n",
                         kStopBoundMs);
            _exit(kExitInterrupted);
        }
        if (now >= nextShutdown) {
            // Again and again: the plug-in may open a new connection after the last one ended.
            shutDownNetworkSockets();
            nextShutdown = now + std::chrono::milliseconds(kShutdownRepeatMs);
        }
    }
    worker.join();
    close(signalFd);
    close(doneFd);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return status;
}

}  // namespace cli
