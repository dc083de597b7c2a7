#include "tools/CliRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
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

namespace {

std::vector<std::string> environmentWith(const std::vector<std::string>& additions) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        bool replaced = false;
        for (const std::string& addition : additions) {
            if (addition.compare(0, name.size() + 1, name + "=") == 0) replaced = true;
        }
        if (!replaced) entries.push_back(text);
    }
    entries.insert(entries.end(), additions.begin(), additions.end());
    return entries;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& text : strings) out.push_back(text.data());
    out.push_back(nullptr);
    return out;
}

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

}  // namespace

CliResult runCli(const std::vector<std::string>& args, const CliOptions& options) {
    std::vector<std::string> argv = {cliPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> envp = environmentWith(options.environment);
    std::vector<char*> argvPointers = pointers(argv);
    std::vector<char*> envpPointers = pointers(envp);

    int out[2];
    int err[2];
    check(pipe2(out, O_CLOEXEC) == 0, "pipe");
    check(pipe2(err, O_CLOEXEC) == 0, "pipe");
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
    if (spawned != 0) {
        close(out[0]);
        close(err[0]);
        errno = spawned;
        check(false, "posix_spawn");
    }

    CliResult result;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    char buffer[65536];
    using Clock = std::chrono::steady_clock;
    Clock::time_point interruptedAt;
    bool interrupted = false;
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (options.interruptWhen && !interrupted && options.interruptWhen()) {
            ::kill(pid, SIGINT);
            interrupted = true;
            interruptedAt = Clock::now();
        }
        if (interrupted && Clock::now() - interruptedAt > std::chrono::seconds(5)) {
            ::kill(pid, SIGKILL);
        }
        const bool polling = options.interruptWhen != nullptr;
        const int ready = poll(fds, 2, polling ? 10 : -1);
        if (ready < 0) {
            check(errno == EINTR, "poll");
            continue;
        }
        if (ready == 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t got = read(fds[i].fd, buffer, sizeof(buffer));
            if (got < 0 && errno == EINTR) continue;
            if (got > 0) sinks[i]->append(buffer, static_cast<size_t>(got));
            const bool enough = i == 0 && result.out.size() >= options.closeStdoutAfter;
            if (got <= 0 || enough) {
                close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
    }

    int status = 0;
    while (waitpid(pid, &status, 0) < 0) check(errno == EINTR, "waitpid");
    if (interrupted) {
        result.secondsAfterInterrupt =
            std::chrono::duration<double>(Clock::now() - interruptedAt).count();
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/zovozudo-cli-XXXXXX";
    check(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string& name, const std::string& bytes) const {
    const std::string file = path_ + "/" + name;
    std::ofstream(file, std::ios::binary) << bytes;
    return file;
}

std::string TempDir::read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace cli_testing
