// A real node-media-server (version 4, from npm) for a test: writes a configuration into a fresh
// folder that opens only its RTMP listener, on a free loopback port (no HTTP, HTTPS, RTMPS or
// web console), starts it with node, waits (with a deadline) until the port accepts connections,
// and stops the server in the destructor.
//
// It relays what is published to rtmp://127.0.0.1:PORT/APP/STREAM to every player of that URL,
// with any application name. scripts/deps.sh installs it into the source tree's .deps folder;
// where node or the package is missing, running() is false and why() says so, so the test skips.
// A port that another process takes between the choice and the server's bind is detected and
// another one tried.
//
// Not thread-safe; one owner.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace testing_support {

class NodeMediaServer {
  public:
    NodeMediaServer();
    ~NodeMediaServer();

    NodeMediaServer(const NodeMediaServer&) = delete;
    NodeMediaServer& operator=(const NodeMediaServer&) = delete;

    // False when node or the package is missing or the server did not come up; why() then says
    // why.
    bool running() const { return pid_ > 0; }
    const std::string& why() const { return why_; }
    uint16_t port() const { return port_; }
    // "rtmp://127.0.0.1:PORT" followed by |path|.
    std::string url(const std::string& path) const;

    // The server's start script: $ZOVOZUDO_NODE_MEDIA_SERVER if set, else where scripts/deps.sh
    // installs it below $ZOVOZUDO_SOURCE_DIR; empty when it is not there.
    static std::string script();

  private:
    bool startOnce(const std::string& node, const std::string& app, bool* portTaken);
    void stop();

    std::string dir_;
    std::string why_;
    uint16_t port_;
    pid_t pid_;
};

}  // namespace testing_support
