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

CliResult runCli(const std::vector<std::string>& args, const CliOptions& options) {
    std::vector<std::string> argv = {ZOVOZUDO_CLI_PATH}, envp = options.environment;
    argv.insert(argv.end(), args.begin(), args.end());
    // Behind the test's own settings, which getenv finds first.
    for (char** entry = environ; *entry != nullptr; ++entry) envp.push_back(*entry);
    std::vector<char*> argvPointers, envpPointers;
    for (std::string& text : argv) argvPointers.push_back(text.data());
    for (std::string& text : envp) envpPointers.push_back(text.data());
    argvPointers.push_back(nullptr);
    envpPointers.push_back(nullptr);

    // Standard error goes to a file: only standard output is closed early or watched.
    TempDir dir;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, dir.file("err").c_str(), O_WRONLY | O_CREAT,
                                     0600);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argvPointers[0], &actions, nullptr, argvPointers.data(),
                                    envpPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) throw std::runtime_error("posix_spawn failed");

    CliResult result;
    pollfd watched = {out[0], POLLIN, 0};
    char buffer[65536];
    using Clock = std::chrono::steady_clock;
    Clock::time_point interruptedAt;
    bool interrupted = false;
    for (ssize_t got = 1; got != 0 && result.out.size() < options.closeStdoutAfter;) {
        if (options.interruptWhen && !interrupted && options.interruptWhen(result.out)) {
            ::kill(pid, SIGINT);
            interrupted = true;
            interruptedAt = Clock::now();
        }
        if (interrupted && Clock::now() - interruptedAt > std::chrono::seconds(5))
            ::kill(pid, SIGKILL);
        if (poll(&watched, 1, options.interruptWhen ? 10 : -1) <= 0) continue;
        got = read(out[0], buffer, sizeof(buffer));
        if (got < 0 && errno != EINTR) break;
        if (got > 0) result.out.append(buffer, static_cast<size_t>(got));
    }
    close(out[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (interrupted)
        result.secondsAfterInterrupt =
            std::chrono::duration<double>(Clock::now() - interruptedAt).count();
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.err = ReadTempFile(dir.file("err"));
    return result;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string field; std::getline(in, field, separator);)
        out.push_back(field == "''" ? "" : field);
    return out;
}

}  // namespace cli_testing
