#include "support/ServerProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace testing_support {

uint16_t freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

bool acceptsOnLoopback(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return ok;
}

std::string findExecutable(const std::string& name, const std::string& extraFolders) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(std::string(path ? path : "") + ":" + extraFolders);
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (folder.empty()) continue;
        const std::string candidate = folder + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void stopChild(pid_t pid, std::chrono::milliseconds deadline) {
    ::kill(pid, SIGTERM);
    const auto end = std::chrono::steady_clock::now() + deadline;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= end) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

ServerStart startServer(const std::vector<std::string>& argv, const std::string& output,
                        uint16_t port, std::chrono::milliseconds deadline, pid_t* pid) {
    *pid = -1;
    // Everything the child needs is made before fork: other threads may hold the heap's lock.
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const pid_t child = ::fork();
    if (child < 0) return ServerStart::kCannotFork;
    if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0) {
            ::dup2(out, 1);
            ::dup2(out, 2);
        }
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        int status = 0;
        if (::waitpid(child, &status, WNOHANG) == child) return ServerStart::kEnded;
        if (acceptsOnLoopback(port)) {
            *pid = child;
            return ServerStart::kAccepting;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    stopChild(child, std::chrono::seconds(10));
    return ServerStart::kTooSlow;
}

}  // namespace testing_support
