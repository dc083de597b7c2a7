// Child processes for tests: real servers (nginx, node-media-server, ffmpeg) on a free loopback
// port, and programs run to their end. Every child gets SIGTERM when the test process dies.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace testing_support {

// A port that was free on 127.0.0.1 a moment ago (another process may take it: callers retry).
uint16_t freeLoopbackPort();
// The executable |name| found on PATH or in |extraFolders| (colon-separated), or empty.
std::string findExecutable(const std::string& name, const std::string& extraFolders = "");
// Starts |argv| (argv[0] a path) with stdin on /dev/null and stdout and stderr into the file
// |output| (/dev/null when empty); 0 when it cannot.
pid_t spawnChild(const std::vector<std::string>& argv, const std::string& output = "");
// Waits for |pid| to end; true when it exited with 0.
bool waitChild(pid_t pid);
// Sends SIGTERM to |pid|, waits up to |deadline| for it to end, then kills and reaps it.
void stopChild(pid_t pid, std::chrono::milliseconds deadline = std::chrono::seconds(10));

// A server run for a test in a folder of its own, stopped by the destructor.
class ServerProcess {
  public:
    virtual ~ServerProcess();
    // False when the server is missing or did not come up, and why.
    bool running() const { return pid_ > 0; }
    const std::string& why() const { return why_; }
    uint16_t port() const { return port_; }
    // The server's folder; what the server prints goes to output.log there.
    std::string dir() const { return dir_.file(""); }

  protected:
    ServerProcess() = default;
    // Runs argvFor(a free port) until that port takes connections, within |deadline|; tries
    // another port when the server says its port was taken (in output.log or |errorLog|).
    void start(const std::string& name, const std::function<std::vector<std::string>()>& argvFor,
               const std::string& errorLog, std::chrono::seconds deadline);

    TempDir dir_;
    std::string why_;
    uint16_t port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace testing_support
