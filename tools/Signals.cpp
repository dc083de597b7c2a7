#include "tools/Signals.h"

#include <csignal>

namespace cli {

namespace {

volatile std::sig_atomic_t gInterrupted = 0;

void onInterrupt(int) {
    gInterrupted = 1;
}

}  // namespace

void installSignalHandlers() {
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // SA_RESTART: the plug-in's own blocking calls should not see EINTR; SA_RESETHAND: a second
    // signal finds the default action and ends a read that does not come back.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool interruptRequested() {
    return gInterrupted != 0;
}

}  // namespace cli
