// Child processes for tests: real servers (nginx, node-media-server) on a free loopback port, and
// programs run to their end. Every child gets SIGTERM when the test process dies.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace testing_support {

// Free on 127.0.0.1 a moment ago: another process may take it, so callers retry.
uint16_t freeLoopbackPort();
// Whether 127.0.0.1:|port| listens, read from the kernel's table without connecting.
bool listening(uint16_t port);
// |name| found on PATH or in |extraFolders| (colon-separated), or empty.
std::string findExecutable(const std::string& name, const std::string& extraFolders = "");
// stdin on /dev/null, stdout and stderr into |output| (or /dev/null); 0 when it cannot start.
pid_t spawnChild(const std::vector<std::string>& argv, const std::string& output = "");
bool waitChild(pid_t pid);  // true when it exited with 0
// Polls |ready| for at most |deadline| while |child| (if not 0) runs; the child is not reaped.
bool waitUntil(const std::function<bool()>& ready, pid_t child = 0,
               std::chrono::milliseconds deadline = std::chrono::seconds(10));
// SIGTERM, then SIGKILL after |deadline|; reaps the child.
void stopChild(pid_t pid, std::chrono::milliseconds deadline = std::chrono::seconds(10));

// A server in a folder of its own (output.log there), stopped by the destructor.
class ServerProcess {
  public:
    virtual ~ServerProcess();
    bool running() const { return pid_ > 0; }
    const std::string& why() const { return why_; }
    uint16_t port() const { return port_; }
    std::string dir() const { return dir_.file(""); }

  protected:
    // Runs argvFor() on port_ until that port takes connections; another port when the server
    // says its port was taken (in output.log or |errorLog|).
    void start(const std::string& name, const std::function<std::vector<std::string>()>& argvFor,
               const std::string& errorLog = "");

    TempDir dir_;
    std::string why_;
    uint16_t port_ = 0;
    pid_t pid_ = -1;
};

// nginx, for HTTP and, with the RTMP module, RTMP. In the configuration "${PORT}" stands for the
// port and "${DIR}" for the server's folder.
class NginxServer : public ServerProcess {
  public:
    explicit NginxServer(const std::string& configTemplate);
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    static std::string binary() { return findExecutable("nginx", "/usr/sbin:/usr/local/sbin"); }
    // Serves the files below |root|; |locations| go into the server block.
    static std::string httpConfig(const std::string& root, const std::string& locations = "");
    static const char* rtmpModule() { return "/usr/lib/nginx/modules/ngx_rtmp_module.so"; }
    // Application "vod" plays the files below |vodRoot|, "live" relays what is published.
    static std::string rtmpConfig(const std::string& vodRoot, const std::string& serverLines = "");
};

// node-media-server 4 (scripts/deps.sh installs it into .deps) with only its RTMP listener; it
// relays what is published to rtmp://127.0.0.1:PORT/APP/STREAM to every player of that URL.
class NodeMediaServer : public ServerProcess {
  public:
    NodeMediaServer();
};

}  // namespace testing_support
