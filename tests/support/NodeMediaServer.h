// node-media-server 4 (scripts/deps.sh installs it into .deps) with only its RTMP listener; it
// relays what is published to rtmp://127.0.0.1:PORT/APP/STREAM to every player of that URL.
#pragma once

#include <string>

#include "support/ServerProcess.h"

namespace testing_support {

class NodeMediaServer : public ServerProcess {
  public:
    NodeMediaServer();
};

}  // namespace testing_support
