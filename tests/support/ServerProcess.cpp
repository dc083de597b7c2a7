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
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace testing_support {

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
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool waitUntil(const std::function<bool()>& ready, pid_t child,
               std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (siginfo_t ended{}; !ready(); std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
        if (child > 0 && ::waitid(P_PID, child, &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            ended.si_pid != 0)
            return false;
        if (std::chrono::steady_clock::now() > end) return false;
    }
    return true;
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
        if (waitUntil([&] { return listening(port_); }, child, deadline)) {
            pid_ = child;
            return;
        }
        siginfo_t ended{};
        const bool gone =
            ::waitid(P_PID, child, &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && ended.si_pid != 0;
        stopChild(child);
        const std::string errors = ReadTempFile(errorLog) + ReadTempFile(output);
        why_ = gone ? name + " ended at start: " + errors
                    : name + " did not accept connections in time";
        if (!gone || errors.find("already in use") == std::string::npos) return;
    }
}

}  // namespace testing_support
