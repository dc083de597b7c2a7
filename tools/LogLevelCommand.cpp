#include <cstdint>
#include <cstdio>
#include <string>

#include "common/Log.h"
#include "common/LogSettings.h"
#include "tools/Commands.h"

namespace cli {

namespace {

// The log takes the stored DWORD as a signed threshold and writes the lines at or below it.
std::string meaning(uint32_t stored) {
    const int threshold = static_cast<int32_t>(stored);
    if (threshold >= LOG_LEVEL_FATAL && threshold <= LOG_LEVEL_DEBUG) {
        return LogLevelName(threshold);
    }
    if (threshold < 0) return "below every level: nothing is written";
    return "above every level: everything is written";
}

}  // namespace

int logLevelCommand(const std::optional<uint32_t>& level) {
    if (level) {
        if (!WriteLogLevelSetting(*level)) {
            std::fprintf(stderr, "zovozudo: cannot store LogLevel\n");
            return kExitFailure;
        }
        std::printf("LogLevel set to %u (%s)\n", *level, meaning(*level).c_str());
        return kExitOk;
    }
    uint32_t stored = 0;
    if (ReadLogLevelSetting(&stored)) {
        std::printf("LogLevel is %u (%s)\n", stored, meaning(stored).c_str());
    } else {
        std::printf("LogLevel is not set: the plug-in logs at %d (%s)\n", kDefaultLogLevel,
                    LogLevelName(kDefaultLogLevel));
    }
    return kExitOk;
}

}  // namespace cli
