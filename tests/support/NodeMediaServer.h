// A real node-media-server (version 4, from npm) for a test, with only its RTMP listener, on a
// free loopback port. It relays what is published to rtmp://127.0.0.1:PORT/APP/STREAM to every
// player of that URL. scripts/deps.sh installs it into the source tree's .deps folder; where node
// or the package is missing, running() is false and the test skips.
#pragma once

#include <string>

#include "support/ServerProcess.h"

namespace testing_support {

class NodeMediaServer : public ServerProcess {
  public:
    NodeMediaServer();
    // "rtmp://127.0.0.1:PORT" followed by |path|.
    std::string url(const std::string& path) const;
    // The start script: $ZOVOZUDO_NODE_MEDIA_SERVER if set, else where scripts/deps.sh installs
    // it below $ZOVOZUDO_SOURCE_DIR; empty when it is not there.
    static std::string script();
};

}  // namespace testing_support
