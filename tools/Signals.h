// Signal handling of the command-line host. A closed output pipe must surface as a write error
// (not kill the process with the plug-in object alive). Ctrl-C (SIGINT, or SIGTERM) asks a
// play to end so that the object is still stopped, closed and destroyed, and it must end within
// a second even when the plug-in is blocked in a slow open or a stalled read; a second Ctrl-C
// ends the process at once.
#pragma once

#include <functional>

namespace cli {

// Call once, before any output and before any thread is started.
void installSignalHandlers();

// Runs |play| on a thread of its own and returns what it returns. Meanwhile this thread waits
// for Ctrl-C. After the first one interruptRequested() is true, which |play| checks between
// frames. The plug-in allows no call on its object while another runs, so a play blocked inside
// the plug-in is released from outside instead: after kShutdownDelayMs the network connections
// of this process are shut down, which ends the plug-in's blocking reads as a peer that went
// away would, and its own close then runs. If |play| has still not returned kStopBoundMs after
// the Ctrl-C, the process ends with kExitInterrupted without closing the medium.
int runInterruptibly(const std::function<int()>& play);

// Whether SIGINT or SIGTERM arrived. Safe to call from any thread.
bool interruptRequested();

constexpr int kShutdownDelayMs = 250;
constexpr int kStopBoundMs = 1000;

}  // namespace cli
