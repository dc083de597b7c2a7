// The millisecond clock of the RTMP handshake, pings and bandwidth-check answers: a stand-in for
// timeGetTime (WINMM). Safe to call from any thread.
#pragma once

#include <cstdint>

// Milliseconds on a monotonic clock, counted from the first call in this process, wrapping
// after 2^32 ms (about 49.7 days) as timeGetTime does. Only differences and the low bits of the
// value matter to its callers, so the epoch is not that of the system's start.
uint32_t timeGetTime();

namespace platform {

// Adds |milliseconds| to every later timeGetTime() result in this process (wrapping as the
// clock does), so that tests can put the clock where 24 bits no longer hold it. Not for
// production code.
void ShiftTimeGetTimeForTesting(uint32_t milliseconds);

}  // namespace platform
