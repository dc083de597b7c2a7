// The commands of the command-line host. Each returns the process exit status.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tools/MediumLocation.h"

namespace cli {

enum ExitStatus {
    kExitOk = 0,
    kExitFailure = 1,  // the plug-in could not be loaded or the medium not opened
    kExitUsage = 2,
    kExitInterrupted = 130,  // as a shell reports a process ended by SIGINT
};

struct PlayOptions {
    std::string pluginPath;
    MediumLocation medium;
};

int probeCommand(const PlayOptions& options, bool json);
int framesCommand(const PlayOptions& options);
int readCommand(const PlayOptions& options);
// What `log-level` was asked: show the "LogLevel" setting, store |level| in it, or remove it.
struct LogLevelRequest {
    std::optional<uint32_t> level;
    bool unset = false;
};
int logLevelCommand(const LogLevelRequest& request);

}  // namespace cli
