#include <cstdint>
#include <cstdio>
#include <string>

#include "common/Log.h"
#include "common/Registry.h"
#include "tools/Commands.h"

namespace cli {

namespace {

constexpr wchar_t kKey[] = L"Software\\Dessaro\\Vanto";
constexpr wchar_t kValueName[] = L"LogLevel";
// What the log uses when no level is stored.
constexpr int kDefaultLevel = LOG_LEVEL_ERROR;

// The log takes the stored DWORD as a signed threshold and writes the lines at or below it.
std::string meaning(uint32_t stored) {
    const int threshold = static_cast<int>(stored);
    if (threshold >= LOG_LEVEL_FATAL && threshold <= LOG_LEVEL_DEBUG) {
        return LogLevelName(threshold);
    }
    if (threshold < 0) return "below every level: nothing is written";
    return "above every level: everything is written";
}

}  // namespace

int logLevelCommand(const std::optional<uint32_t>& level) {
    boost::shared_ptr<CRegistry> registry = GetRegistry();
    if (level) {
        if (!registry->SetDWORD(kKey, kValueName, *level)) {
            std::fprintf(stderr, "zovozudo: cannot store LogLevel\n");
            return kExitFailure;
        }
        std::printf("LogLevel set to %u (%s)\n", *level, meaning(*level).c_str());
        return kExitOk;
    }
    uint32_t stored = 0;
    if (registry->GetDWORD(kKey, kValueName, stored)) {
        std::printf("LogLevel is %u (%s)\n", stored, meaning(stored).c_str());
    } else {
        std::printf("LogLevel is not set: the plug-in logs at %d (%s)\n", kDefaultLevel,
                    LogLevelName(kDefaultLevel));
    }
    return kExitOk;
}

}  // namespace cli
