// What the helpers that run a real server for a test share: a free loopback port, a check that
// the port takes connections, a program found on PATH, and a bounded stop of the child.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// A port that was free on 127.0.0.1 a moment ago (another process may take it before a server
// binds it: the callers retry), or 0.
uint16_t freeLoopbackPort();
// True when something accepts TCP connections on 127.0.0.1:|port|.
bool acceptsOnLoopback(uint16_t port);
// The executable |name| found on PATH or in |extraFolders| (colon-separated), or empty.
std::string findExecutable(const std::string& name, const std::string& extraFolders = "");
// The whole text of the file at |path|, empty when it cannot be read.
std::string readWholeFile(const std::string& path);
// Sends SIGTERM to |pid|, waits up to |deadline| for it to end, then kills and reaps it.
void stopChild(pid_t pid, std::chrono::milliseconds deadline);

enum class ServerStart { kAccepting, kCannotFork, kEnded, kTooSlow };
// Runs |argv| (argv[0] is the program's path) with its standard output and error in the file
// |output|, and waits up to |deadline| until 127.0.0.1:|port| takes connections. |*pid| is the
// running child on kAccepting and -1 otherwise: a child that ended is reaped (its output says
// why), one too slow is stopped. The child gets SIGTERM when the test process dies.
ServerStart startServer(const std::vector<std::string>& argv, const std::string& output,
                        uint16_t port, std::chrono::milliseconds deadline, pid_t* pid);

}  // namespace testing_support
