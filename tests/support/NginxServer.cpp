#include "support/NginxServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace testing_support {

namespace {

bool ended(pid_t child) {
    siginfo_t info{};
    return ::waitid(P_PID, child, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}

std::string baseConfig(const std::string& blocks) {
    // No user switch: the files of a test folder stay readable.
    return "master_process off;\nworker_processes 1;\npid ${DIR}/nginx.pid;\n"
           "error_log ${DIR}/error.log warn;\nevents { worker_connections 256; }\n" +
           blocks;
}

}  // namespace

uint16_t freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    auto* at = reinterpret_cast<sockaddr*>(&address);
    const bool bound = ::bind(fd, at, length) == 0 && ::getsockname(fd, at, &length) == 0;
    ::close(fd);
    return bound ? ntohs(address.sin_port) : 0;
}

bool listening(uint16_t port) {
    char entry[48];
    std::snprintf(entry, sizeof(entry), " 0100007F:%04X 00000000:0000 0A ", port);
    return ReadTempFile("/proc/net/tcp").find(entry) != std::string::npos;
}

std::string findExecutable(const std::string& name, const std::string& extraFolders) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(std::string(path ? path : "") + ":" + extraFolders);
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::string candidate = folder + "/" + name;
        if (!folder.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

pid_t spawnChild(const std::vector<std::string>& argv, const std::string& output) {
    // Everything the child needs is made before fork: other threads may hold the heap's lock.
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const char* outputPath = output.empty() ? "/dev/null" : output.c_str();
    const pid_t child = ::fork();
    if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int out = ::open(outputPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(::open("/dev/null", O_RDONLY), 0);
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    return child < 0 ? 0 : child;
}

bool waitChild(pid_t pid) {
    int status = 0;
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool waitUntil(const std::function<bool()>& ready, pid_t child,
               std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (; !ready(); std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
        if ((child > 0 && ended(child)) || std::chrono::steady_clock::now() > end) return false;
    }
    return true;
}

void stopChild(pid_t pid, std::chrono::milliseconds deadline) {
    ::kill(pid, SIGTERM);
    if (!waitUntil([&] { return ended(pid); }, 0, deadline)) ::kill(pid, SIGKILL);
    waitChild(pid);
}

ServerProcess::~ServerProcess() {
    if (pid_ > 0) stopChild(pid_);
}

void ServerProcess::start(const std::string& name,
                          const std::function<std::vector<std::string>()>& argvFor,
                          const std::string& errorLog) {
    const std::string output = dir_.file("output.log");
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = freeLoopbackPort();
        const pid_t child = spawnChild(argvFor(), output);
        if (child == 0) return static_cast<void>(why_ = "cannot fork");
        // node-media-server takes seconds to start on a busy machine.
        if (waitUntil([&] { return listening(port_); }, child, std::chrono::seconds(20))) {
            pid_ = child;
            return;
        }
        const bool gone = ended(child);
        stopChild(child);
        const std::string errors = ReadTempFile(errorLog) + ReadTempFile(output);
        why_ = name + (gone ? " ended at start: " + errors : " did not accept connections in time");
        if (!gone || errors.find("already in use") == std::string::npos) return;
    }
}

std::string NginxServer::rtmpConfig(const std::string& vodRoot, const std::string& serverLines) {
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
            std::string text = configTemplate;
            for (size_t at = 0; (at = text.find("${", at)) != std::string::npos;)
                text.replace(at, text[at + 2] == 'P' ? 7 : 6,
                             text[at + 2] == 'P' ? std::to_string(port_) : dir);
            std::ofstream(config) << text;
            std::ofstream(log, std::ios::trunc);
            return std::vector<std::string>{nginx, "-p", dir,  "-c",         config,
                                            "-e",  log,  "-g", "daemon off;"};
        },
        log);
}

NodeMediaServer::NodeMediaServer() {
    const char* source = std::getenv("ZOVOZUDO_SOURCE_DIR");
    const std::string node = findExecutable("node"),
                      app = std::string(source ? source : ZOVOZUDO_SOURCE_DIR_FALLBACK) +
                            "/.deps/node-media-server/node_modules/node-media-server/bin/app.js",
                      config = dir_.file("config.json");
    if (node.empty() || ::access(app.c_str(), R_OK) != 0) {
        why_ = "needs node and node-media-server (scripts/deps.sh installs them)";
        return;
    }
    start("node-media-server", [&] {
        // No "http", "https", "rtmps" or "auth" keys: no other port, no write-back.
        std::ofstream(config) << "{\"bind\": \"127.0.0.1\", \"rtmp\": {\"port\": " << port_
                              << "}, \"store\": {\"path\": \"./data\"}, "
                                 "\"webadmin\": {\"enable\": false}}\n";
        return std::vector<std::string>{node, app, "-c", config};
    });
}

}  // namespace testing_support
