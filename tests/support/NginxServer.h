// A real nginx on a free loopback port, for HTTP and, with the RTMP module, RTMP. In the
// configuration "${PORT}" stands for the port and "${DIR}" for the server's folder.
#pragma once

#include <string>

#include "support/ServerProcess.h"

namespace testing_support {

class NginxServer : public ServerProcess {
  public:
    explicit NginxServer(const std::string& configTemplate);
    std::string url(const std::string& path) const;  // http://127.0.0.1:PORT|path|

    static std::string binary();  // empty when missing
    static std::string baseConfig(const std::string& blocks);
    // Serves the files below |root|; |locations| go into the server block.
    static std::string httpConfig(const std::string& root, const std::string& locations = "");
    static const char* rtmpModule();
    // Application "vod" plays the files below |vodRoot|, "live" relays what is published.
    static std::string rtmpConfig(const std::string& vodRoot, const std::string& serverLines = "");
};

}  // namespace testing_support
