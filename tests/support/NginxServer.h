// A real nginx for a test, on a free loopback port, from a configuration of the caller's: the same
// helper serves HTTP and, with the RTMP module, RTMP. In the configuration "${PORT}" stands for
// the port and "${DIR}" for the server's folder (pid, logs and temp files go there).
#pragma once

#include <string>

#include "support/ServerProcess.h"

namespace testing_support {

class NginxServer : public ServerProcess {
  public:
    explicit NginxServer(const std::string& configTemplate);
    // "http://127.0.0.1:PORT" followed by |path|.
    std::string url(const std::string& path) const;

    // The nginx binary found on PATH or in /usr/sbin, or empty.
    static std::string binary();
    // The lines every configuration needs (single process, files under ${DIR}) and |blocks|.
    static std::string baseConfig(const std::string& blocks);
    // An http block serving the files below |root|, with |locations| added to its server block.
    static std::string httpConfig(const std::string& root, const std::string& locations = "");
    // Where Debian's RTMP module lives; rtmpConfig needs it.
    static const char* rtmpModule();
    // An rtmp block: application "vod" plays the files below |vodRoot|, application "live"
    // relays what is published; |serverLines| go into the server block.
    static std::string rtmpConfig(const std::string& vodRoot, const std::string& serverLines = "");
};

}  // namespace testing_support
