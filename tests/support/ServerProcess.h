// What the helpers that run a real server for a test share: a free loopback port, a check that
// the port takes connections, a program found on PATH, and a bounded stop of the child.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>

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

}  // namespace testing_support
