#include "support/NginxServer.h"

#include <fstream>

namespace testing_support {

namespace {

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

}  // namespace

std::string NginxServer::binary() {
    return findExecutable("nginx", "/usr/sbin:/usr/local/sbin");
}

std::string NginxServer::baseConfig(const std::string& blocks) {
    // One process, no user switch: the files of a test folder stay readable.
    return "master_process off;\nworker_processes 1;\npid ${DIR}/nginx.pid;\n"
           "error_log ${DIR}/error.log warn;\nevents { worker_connections 256; }\n" +
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
    std::string temps;
    for (const char* kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        temps += std::string("  ") + kind + "_temp_path ${DIR}/" + kind + ";\n";
    return baseConfig("http {\n  access_log off;\n" + temps +
                      "  types { video/x-flv flv; }\n  default_type application/octet-stream;\n"
                      "  sendfile on;\n  server {\n    listen 127.0.0.1:${PORT};\n    root " +
                      root + ";\n" + locations + "  }\n}\n");
}

NginxServer::NginxServer(const std::string& configTemplate) {
    const std::string nginx = binary();
    if (nginx.empty()) {
        why_ = "needs nginx";
        return;
    }
    const std::string dir = dir_.file(""), config = dir + "nginx.conf", log = dir + "error.log";
    start(
        "nginx",
        [&] {
            std::ofstream(config) << replaceAll(
                replaceAll(configTemplate, "${PORT}", std::to_string(port_)), "${DIR}",
                dir_.file(""));
            std::ofstream(log, std::ios::trunc);
            return std::vector<std::string>{nginx, "-p", dir,  "-c",         config,
                                            "-e",  log,  "-g", "daemon off;"};
        },
        log, std::chrono::seconds(10));
}

std::string NginxServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

}  // namespace testing_support
