// Where the log's level lives: the DWORD "LogLevel" of the key "Software\Dessaro\Vanto" below
// HKEY_LOCAL_MACHINE. A line of level L is written when L <= the level; 0 FATAL ... 4 DEBUG.
// Safe to call from any thread and from other programs (such as an administration command).
#pragma once

#include <cstdint>

extern const wchar_t kLogSettingsKey[];     // L"Software\\Dessaro\\Vanto"
extern const wchar_t kLogLevelValueName[];  // L"LogLevel"

// The level that the log uses when none is stored: ERROR and FATAL only.
constexpr int kDefaultLogLevel = 1;

// True, with the stored value, when "LogLevel" exists (as a 4-byte value).
bool ReadLogLevelSetting(uint32_t* level);

// Stores "LogLevel", creating the key when missing. A running log reads it once, on its first
// line: a changed level takes effect in plug-in objects created afterwards. (A stored 4294967295
// is read as -1, which writes nothing and makes the log read the setting again on every call.)
bool WriteLogLevelSetting(uint32_t level);

// The threshold that a log takes from the settings: the stored value as a signed number, or
// kDefaultLogLevel when none is stored.
int ReadLogThreshold();
