#include <cstdint>
#include <cstdio>
#include <string>

#include "common/Log.h"
#include "common/LogSettings.h"
#include "platform/RegistryStore.h"
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

std::string defaultLevel() {
    return std::to_string(kDefaultLogLevel) + " (" + LogLevelName(kDefaultLogLevel) + ")";
}

// Why a "LogLevel" that the log cannot read is not used, when something of it was found.
bool explainUnusable(std::string* file, std::string* reason) {
    if (platform::RegistryExplainValue(kLogSettingsKey, kLogLevelValueName, file, reason)) {
        return true;
    }
    // The store reads it, but not as the 4 bytes of a DWORD.
    platform::RegistryValue value;
    if (!platform::RegistryQueryValue(kLogSettingsKey, kLogLevelValueName, &value)) return false;
    *file = platform::RegistryValueFile(kLogSettingsKey, kLogLevelValueName);
    *reason = "it holds " + std::to_string(value.data.size()) +
              " bytes, and LogLevel is read as the 4 bytes of a REG_DWORD";
    return true;
}

}  // namespace

int logLevelCommand(const LogLevelRequest& request) {
    const std::string file = platform::RegistryValueFile(kLogSettingsKey, kLogLevelValueName);
    if (request.unset) {
        uint32_t stored = 0;
        const bool wasSet = ReadLogLevelSetting(&stored);
        if (!platform::RegistryDeleteValue(kLogSettingsKey, kLogLevelValueName)) {
            std::fprintf(stderr, "zovozudo: cannot remove %s\n", file.c_str());
            return kExitFailure;
        }
        std::printf("LogLevel %s: the plug-in logs at %s\n",
                    wasSet ? ("removed from " + file).c_str() : "was not set",
                    defaultLevel().c_str());
        return kExitOk;
    }
    if (request.level) {
        if (!WriteLogLevelSetting(*request.level)) {
            std::fprintf(stderr, "zovozudo: cannot store LogLevel in %s\n", file.c_str());
            return kExitFailure;
        }
        std::printf("LogLevel set to %u (%s) in %s\n", *request.level,
                    meaning(*request.level).c_str(), file.c_str());
        return kExitOk;
    }
    uint32_t stored = 0;
    if (ReadLogLevelSetting(&stored)) {
        std::printf("LogLevel is %u (%s)\n", stored, meaning(stored).c_str());
        return kExitOk;
    }
    std::printf("LogLevel is not set: the plug-in logs at %s\n", defaultLevel().c_str());
    std::string found;
    std::string reason;
    if (explainUnusable(&found, &reason)) {
        std::printf("%s is there but not used: %s\n", found.c_str(), reason.c_str());
    }
    return kExitOk;
}

}  // namespace cli
