#include "tools/CliRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace cli_testing {

const char* cliPath() {
    return ZOVOZUDO_CLI_PATH;
}
const char* fakePluginPath() {
    return ZOVOZUDO_FAKE_PLUGIN_PATH;
}

CliResult runCli(const std::vector<std::string>& args, const CliOptions& options) {
    std::vector<std::string> argv = {cliPath()}, envp;
    argv.insert(argv.end(), args.begin(), args.end());
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        bool replaced = false;
        for (const std::string& own : options.environment)
            replaced =
                replaced || own.compare(0, text.find('=') + 1, text, 0, text.find('=') + 1) == 0;
        if (!replaced) envp.push_back(text);
    }
    envp.insert(envp.end(), options.environment.begin(), options.environment.end());
    std::vector<char*> argvPointers, envpPointers;
    for (std::string& text : argv) argvPointers.push_back(text.data());
    for (std::string& text : envp) envpPointers.push_back(text.data());
    argvPointers.push_back(nullptr);
    envpPointers.push_back(nullptr);

    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argvPointers[0], &actions, nullptr, argvPointers.data(),
                                    envpPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (spawned != 0) throw std::runtime_error("posix_spawn failed");

    CliResult result;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    char buffer[65536];
    using Clock = std::chrono::steady_clock;
    Clock::time_point interruptedAt;
    bool interrupted = false;
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (options.interruptWhen && !interrupted && options.interruptWhen(result.out)) {
            ::kill(pid, SIGINT);
            interrupted = true;
            interruptedAt = Clock::now();
        }
        if (interrupted && Clock::now() - interruptedAt > std::chrono::seconds(5)) {
            ::kill(pid, SIGKILL);
        }
        if (poll(fds, 2, options.interruptWhen ? 10 : -1) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t got = read(fds[i].fd, buffer, sizeof(buffer));
            if (got < 0 && errno == EINTR) continue;
            if (got > 0) sinks[i]->append(buffer, static_cast<size_t>(got));
            if (got <= 0 || (i == 0 && result.out.size() >= options.closeStdoutAfter)) {
                close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (interrupted) {
        result.secondsAfterInterrupt =
            std::chrono::duration<double>(Clock::now() - interruptedAt).count();
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace cli_testing
