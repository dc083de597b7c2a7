// Runs the built zovozudo binary as a user would and collects what it printed.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace cli_testing {

// The command-line host and the stand-in plug-in of tests/tools/FakePlugin.cpp.
const char* cliPath();
const char* fakePluginPath();

struct CliResult {
    int status = -1;  // the exit status, or 128 + the signal that ended the process
    std::string out;
    std::string err;
    double secondsAfterInterrupt = -1;  // from the SIGINT to the end; -1 when none was sent
};

struct CliOptions {
    // NAME=VALUE entries added to (or replacing those of) this process's environment.
    std::vector<std::string> environment;
    // Stop reading standard output and close it after this many bytes, as `| head -c` would.
    size_t closeStdoutAfter = static_cast<size_t>(-1);
    // Asked every 10 ms with the standard output so far; once it returns true the program gets
    // SIGINT, as from Ctrl-C, and is killed if it has not ended 5 seconds later.
    std::function<bool(const std::string& out)> interruptWhen = nullptr;
};

// Runs zovozudo with |args| (the program name not included), stdin on /dev/null, and waits for it.
CliResult runCli(const std::vector<std::string>& args, const CliOptions& options = {});

// The lines of |text|, without their "\n".
std::vector<std::string> splitLines(const std::string& text);

}  // namespace cli_testing
