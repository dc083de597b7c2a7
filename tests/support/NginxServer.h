// A real nginx for a test: writes a configuration into a fresh folder, starts
// "nginx -p DIR -c CONF -g 'daemon off;'" on a free loopback port, waits (with a deadline) until
// the port accepts connections, and stops the server in the destructor.
//
// The configuration is the caller's, so that the same helper serves HTTP and, with
// "load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;", RTMP. In it "${PORT}" stands for
// the port and "${DIR}" for the server's folder (pid, logs and temp files go there). A port that
// another process takes between the choice and nginx's bind is detected and another one tried.
//
// Not thread-safe; one owner.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace testing_support {

class NginxServer {
  public:
    explicit NginxServer(const std::string& configTemplate);
    ~NginxServer();

    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    // False when nginx is missing or did not come up; why() then says why.
    bool running() const { return pid_ > 0; }
    const std::string& why() const { return why_; }
    uint16_t port() const { return port_; }
    const std::string& dir() const { return dir_; }
    // "http://127.0.0.1:PORT" followed by |path|.
    std::string url(const std::string& path) const;

    // The nginx binary found on PATH or in /usr/sbin, or empty.
    static std::string binary();
    // The lines every configuration needs (single process, files under ${DIR}) followed by
    // |blocks|.
    static std::string baseConfig(const std::string& blocks);
    // An http block serving the files below |root| on ${PORT}, with |locations| added to its
    // server block.
    static std::string httpConfig(const std::string& root, const std::string& locations = "");
    // Where Debian's RTMP module lives; rtmpConfig needs it.
    static const char* rtmpModule();
    // The RTMP module and an rtmp block on ${PORT}: application "vod" plays the files below
    // |vodRoot|, application "live" relays what is published; |serverLines| go into the server.
    static std::string rtmpConfig(const std::string& vodRoot, const std::string& serverLines = "");

  private:
    bool startOnce(const std::string& configTemplate, bool* portTaken);
    void stop();

    std::string dir_;
    std::string why_;
    uint16_t port_;
    pid_t pid_;
};

}  // namespace testing_support
