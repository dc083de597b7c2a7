#include "support/NodeMediaServer.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace testing_support {

NodeMediaServer::NodeMediaServer() {
    const char* source = std::getenv("ZOVOZUDO_SOURCE_DIR");
    const std::string node = findExecutable("node"),
                      app = std::string(source ? source : ZOVOZUDO_SOURCE_DIR_FALLBACK) +
                            "/.deps/node-media-server/node_modules/node-media-server/"
                            "bin/app.js";
    if (node.empty() || ::access(app.c_str(), R_OK) != 0) {
        why_ = "needs node and node-media-server (scripts/deps.sh installs them)";
        return;
    }
    const std::string config = dir_.file("config.json");
    start(
        "node-media-server",
        [&] {
            // No "http", "https", "rtmps" or "auth" keys: no other port, no write-back.
            std::ofstream(config) << "{\"bind\": \"127.0.0.1\", \"rtmp\": {\"port\": " << port_
                                  << "}, \"store\": {\"path\": \"./data\"}, "
                                     "\"webadmin\": {\"enable\": false}}\n";
            return std::vector<std::string>{node, app, "-c", config};
        },
        "", std::chrono::seconds(20));
}

}  // namespace testing_support
