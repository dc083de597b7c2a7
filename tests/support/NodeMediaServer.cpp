#include "support/NodeMediaServer.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/ServerProcess.h"

namespace testing_support {

namespace {

constexpr int kAttempts = 5;
// node loads a few hundred modules before it listens: slower than nginx on a busy machine.
constexpr auto kStartDeadline = std::chrono::seconds(20);
constexpr auto kStopDeadline = std::chrono::seconds(10);

// Where scripts/deps.sh installs the package, below the source tree.
constexpr const char* kInstalledScript =
    "/.deps/node-media-server/node_modules/node-media-server/bin/app.js";

}  // namespace

std::string NodeMediaServer::script() {
    if (const char* own = std::getenv("ZOVOZUDO_NODE_MEDIA_SERVER")) {
        return ::access(own, R_OK) == 0 ? own : "";
    }
    const char* source = std::getenv("ZOVOZUDO_SOURCE_DIR");
    const std::string candidate =
        std::string(source ? source : ZOVOZUDO_SOURCE_DIR_FALLBACK) + kInstalledScript;
    return ::access(candidate.c_str(), R_OK) == 0 ? candidate : "";
}

NodeMediaServer::NodeMediaServer() : port_(0), pid_(-1) {
    const std::string node = findExecutable("node");
    const std::string app = script();
    if (node.empty() || app.empty()) {
        why_ = "needs node and node-media-server (scripts/deps.sh installs them)";
        return;
    }
    char pattern[] = "/tmp/zovozudo-nms-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        why_ = "cannot make a temp folder";
        return;
    }
    dir_ = pattern;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        bool portTaken = false;
        if (startOnce(node, app, &portTaken)) return;
        if (!portTaken) break;
    }
}

NodeMediaServer::~NodeMediaServer() {
    stop();
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}

std::string NodeMediaServer::url(const std::string& path) const {
    return "rtmp://127.0.0.1:" + std::to_string(port_) + path;
}

bool NodeMediaServer::startOnce(const std::string& node, const std::string& app, bool* portTaken) {
    port_ = freeLoopbackPort();
    // Only the RTMP listener: without "http", "https" and "rtmps" keys the server opens no other
    // port, and without "auth" its start script writes nothing back into the configuration.
    const std::string config = dir_ + "/config.json";
    std::ofstream(config) << "{\"bind\": \"127.0.0.1\", \"rtmp\": {\"port\": " << port_
                          << "}, \"store\": {\"path\": \"./data\"}, "
                             "\"webadmin\": {\"enable\": false}}\n";
    const std::string output = dir_ + "/output.log";

    switch (startServer({node, app, "-c", config}, output, port_, kStartDeadline, &pid_)) {
        case ServerStart::kAccepting:
            return true;
        case ServerStart::kCannotFork:
            why_ = "cannot fork";
            return false;
        case ServerStart::kEnded: {
            const std::string errors = readWholeFile(output);
            *portTaken = errors.find("already in use") != std::string::npos;
            why_ = "node-media-server ended at start: " + errors;
            return false;
        }
        case ServerStart::kTooSlow:
            why_ = "node-media-server did not accept connections in time";
            return false;
    }
    return false;
}

void NodeMediaServer::stop() {
    if (pid_ <= 0) return;
    stopChild(pid_, kStopDeadline);
    pid_ = -1;
}

}  // namespace testing_support
