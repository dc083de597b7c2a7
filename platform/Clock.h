// The millisecond clock of the RTMP handshake, pings and bandwidth-check answers: a stand-in for
// timeGetTime (WINMM). Safe to call from any thread.
#pragma once

#include <cstdint>

// Milliseconds on a monotonic clock, counted from the first call in this process and wrapping
// after 2^32 ms (about 49.7 days) as timeGetTime does. Its callers use only differences and the
// low bits, so the epoch need not be the system's start.
uint32_t timeGetTime();
