#include "platform/Clock.h"

#include <atomic>
#include <chrono>

namespace {

std::atomic<uint32_t> g_shift{0};

std::chrono::steady_clock::time_point epoch() {
    static const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    return start;
}

}  // namespace

uint32_t timeGetTime() {
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - epoch());
    return static_cast<uint32_t>(static_cast<uint64_t>(elapsed.count())) + g_shift.load();
}

namespace platform {

void ShiftTimeGetTimeForTesting(uint32_t milliseconds) { g_shift.fetch_add(milliseconds); }

}  // namespace platform
