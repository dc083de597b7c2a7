#include "support/NodeMediaServer.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace testing_support {

std::string NodeMediaServer::script() {
    if (const char* own = std::getenv("ZOVOZUDO_NODE_MEDIA_SERVER")) {
        return ::access(own, R_OK) == 0 ? own : "";
    }
    const char* source = std::getenv("ZOVOZUDO_SOURCE_DIR");
    const std::string candidate =
        std::string(source ? source : ZOVOZUDO_SOURCE_DIR_FALLBACK) +
        "/.deps/node-media-server/node_modules/node-media-server/bin/app.js";
    return ::access(candidate.c_str(), R_OK) == 0 ? candidate : "";
}

NodeMediaServer::NodeMediaServer() {
    const std::string node = findExecutable("node"), app = script();
    if (node.empty() || app.empty()) {
        why_ = "needs node and node-media-server (scripts/deps.sh installs them)";
        return;
    }
    const std::string config = dir_.file("config.json");
    // node loads a few hundred modules before it listens: slower than nginx on a busy machine.
    start(
        "node-media-server",
        [&] {
            // Without "http", "https" and "rtmps" keys the server opens no other port, and without
            // "auth" its start script writes nothing back into the configuration.
            std::ofstream(config) << "{\"bind\": \"127.0.0.1\", \"rtmp\": {\"port\": " << port_
                                  << "}, \"store\": {\"path\": \"./data\"}, "
                                     "\"webadmin\": {\"enable\": false}}\n";
            return std::vector<std::string>{node, app, "-c", config};
        },
        "", std::chrono::seconds(20));
}

std::string NodeMediaServer::url(const std::string& path) const {
    return "rtmp://127.0.0.1:" + std::to_string(port_) + path;
}

}  // namespace testing_support
