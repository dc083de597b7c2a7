#include "support/NginxServer.h"

#include "support/ServerProcess.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

namespace testing_support {

namespace {

constexpr int kAttempts = 5;
constexpr auto kStartDeadline = std::chrono::seconds(10);
constexpr auto kStopDeadline = std::chrono::seconds(10);

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

}  // namespace

std::string NginxServer::binary() {
    return findExecutable("nginx", "/usr/sbin:/usr/local/sbin");
}

std::string NginxServer::baseConfig(const std::string& blocks) {
    // One process, no user switch: the files of a test folder stay readable.
    return "master_process off;\n"
           "worker_processes 1;\n"
           "pid ${DIR}/nginx.pid;\n"
           "error_log ${DIR}/error.log warn;\n"
           "events { worker_connections 256; }\n" +
           blocks;
}

const char* NginxServer::rtmpModule() {
    return "/usr/lib/nginx/modules/ngx_rtmp_module.so";
}

std::string NginxServer::rtmpConfig(const std::string& vodRoot, const std::string& serverLines) {
    // load_module must come before every other directive.
    return std::string("load_module ") + rtmpModule() + ";\n" +
           baseConfig("rtmp {\n  server {\n    listen 127.0.0.1:${PORT};\n" + serverLines +
                      "    application vod { play " + vodRoot +
                      "; }\n    application live { live on; }\n  }\n}\n");
}

std::string NginxServer::httpConfig(const std::string& root, const std::string& locations) {
    return baseConfig(
        "http {\n"
        "  access_log off;\n"
        "  client_body_temp_path ${DIR}/body;\n"
        "  proxy_temp_path ${DIR}/proxy;\n"
        "  fastcgi_temp_path ${DIR}/fastcgi;\n"
        "  uwsgi_temp_path ${DIR}/uwsgi;\n"
        "  scgi_temp_path ${DIR}/scgi;\n"
        "  types { video/x-flv flv; }\n"
        "  default_type application/octet-stream;\n"
        "  sendfile on;\n"
        "  server {\n"
        "    listen 127.0.0.1:${PORT};\n"
        "    root " +
        root + ";\n" + locations +
        "  }\n"
        "}\n");
}

NginxServer::NginxServer(const std::string& configTemplate) : port_(0), pid_(-1) {
    if (binary().empty()) {
        why_ = "needs nginx";
        return;
    }
    char pattern[] = "/tmp/zovozudo-nginx-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        why_ = "cannot make a temp folder";
        return;
    }
    dir_ = pattern;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        bool portTaken = false;
        if (startOnce(configTemplate, &portTaken)) return;
        if (!portTaken) break;
    }
}

NginxServer::~NginxServer() {
    stop();
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}

std::string NginxServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

bool NginxServer::startOnce(const std::string& configTemplate, bool* portTaken) {
    port_ = freeLoopbackPort();
    const std::string config = dir_ + "/nginx.conf";
    std::ofstream(config) << replaceAll(
        replaceAll(configTemplate, "${PORT}", std::to_string(port_)), "${DIR}", dir_);
    const std::string output = dir_ + "/output.log";
    std::ofstream(dir_ + "/error.log", std::ios::trunc);

    switch (startServer(
        {binary(), "-p", dir_ + "/", "-c", config, "-e", dir_ + "/error.log", "-g", "daemon off;"},
        output, port_, kStartDeadline, &pid_)) {
        case ServerStart::kAccepting:
            return true;
        case ServerStart::kCannotFork:
            why_ = "cannot fork";
            return false;
        case ServerStart::kEnded: {
            const std::string errors = readWholeFile(dir_ + "/error.log") + readWholeFile(output);
            *portTaken = errors.find("Address already in use") != std::string::npos;
            why_ = "nginx ended at start: " + errors;
            return false;
        }
        case ServerStart::kTooSlow:
            why_ = "nginx did not accept connections in time";
            return false;
    }
    return false;
}

void NginxServer::stop() {
    if (pid_ <= 0) return;
    stopChild(pid_, kStopDeadline);
    pid_ = -1;
}

}  // namespace testing_support
