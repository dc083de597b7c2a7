#include "support/ServerProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace testing_support {

namespace {

// Connects to 127.0.0.1:|port|, or binds port 0; the port connected or bound, or 0.
uint16_t loopback(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t length = sizeof(address);
    auto* at = reinterpret_cast<sockaddr*>(&address);
    uint16_t result = 0;
    if (port != 0 && ::connect(fd, at, sizeof(address)) == 0) result = port;
    if (port == 0 && ::bind(fd, at, sizeof(address)) == 0 && ::getsockname(fd, at, &length) == 0)
        result = ntohs(address.sin_port);
    ::close(fd);
    return result;
}

}  // namespace

uint16_t freeLoopbackPort() {
    return loopback(0);
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
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(outputPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    return child < 0 ? 0 : child;
}

bool waitChild(pid_t pid) {
    int status = 0;
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void stopChild(pid_t pid, std::chrono::milliseconds deadline) {
    ::kill(pid, SIGTERM);
    const auto end = std::chrono::steady_clock::now() + deadline;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= end) ::kill(pid, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

ServerProcess::~ServerProcess() {
    if (pid_ > 0) stopChild(pid_);
}

void ServerProcess::start(const std::string& name,
                          const std::function<std::vector<std::string>()>& argvFor,
                          const std::string& errorLog, std::chrono::seconds deadline) {
    const std::string output = dir_.file("output.log");
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = freeLoopbackPort();
        const pid_t child = spawnChild(argvFor(), output);
        if (child == 0) {
            why_ = "cannot fork";
            return;
        }
        const auto end = std::chrono::steady_clock::now() + deadline;
        siginfo_t ended{};
        // Polled without reaping, so that stopChild below still owns the pid.
        while (::waitid(P_PID, child, &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               ended.si_pid == 0) {
            if (loopback(port_) != 0) {
                pid_ = child;
                return;
            }
            if (std::chrono::steady_clock::now() > end) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        stopChild(child);
        const std::string errors = ReadTempFile(errorLog) + ReadTempFile(output);
        why_ = ended.si_pid == 0 ? name + " did not accept connections in time"
                                 : name + " ended at start: " + errors;
        if (ended.si_pid == 0 || errors.find("already in use") == std::string::npos) return;
    }
}

}  // namespace testing_support
