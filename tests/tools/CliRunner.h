// Runs the built zovozudo binary as a user would and collects what it printed.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace cli_testing {

struct CliResult {
    int status = -1;  // the exit status, or 128 + the signal that ended the process
    std::string out, err;
    double secondsAfterInterrupt = -1;  // from the SIGINT to the end; -1 when none was sent
};

struct CliOptions {
    std::vector<std::string> environment;  // NAME=VALUE, added or replacing
    // Stop reading standard output and close it after this many bytes, as `| head -c` would.
    size_t closeStdoutAfter = static_cast<size_t>(-1);
    // Asked every 10 ms with the output so far; once true the program gets SIGINT, as from
    // Ctrl-C, and is killed if it has not ended 5 seconds later.
    std::function<bool(const std::string& out)> interruptWhen = nullptr;
};

// Runs zovozudo with |args| and stdin on /dev/null, and waits for it.
CliResult runCli(const std::vector<std::string>& args, const CliOptions& options = {});

// |text| cut at each |separator|; "''" stands for an empty field.
std::vector<std::string> split(const std::string& text, char separator = '\n');

}  // namespace cli_testing
