#include "common/LogSettings.h"

#include "common/Registry.h"

const wchar_t kLogSettingsKey[] = L"Software\\Dessaro\\Vanto";
const wchar_t kLogLevelValueName[] = L"LogLevel";

bool ReadLogLevelSetting(uint32_t* level) {
    uint32_t stored = 0;
    if (!GetRegistry()->GetDWORD(kLogSettingsKey, kLogLevelValueName, stored)) return false;
    *level = stored;
    return true;
}

bool WriteLogLevelSetting(uint32_t level) {
    return GetRegistry()->SetDWORD(kLogSettingsKey, kLogLevelValueName, level);
}

int ReadLogThreshold() {
    uint32_t stored = 0;
    return ReadLogLevelSetting(&stored) ? static_cast<int>(static_cast<int32_t>(stored))
                                        : kDefaultLogLevel;
}
