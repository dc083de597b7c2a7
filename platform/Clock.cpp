#include "platform/Clock.h"

#include <chrono>

uint32_t timeGetTime() {
    static const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    return static_cast<uint32_t>(static_cast<uint64_t>(elapsed.count()));
}
