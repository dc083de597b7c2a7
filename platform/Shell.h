// What the plug-in asks of the operating system's shell and process services: the common
// application-data folder, the host executable, the process id and the local time.
//
// Thin stand-ins for the Windows calls (SHGetFolderPathW with CSIDL_COMMON_APPDATA and
// CSIDL_FLAG_CREATE, GetModuleFileNameW, GetCurrentProcessId, GetLocalTime). All functions are
// safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Joins the parts of a path.
constexpr wchar_t kPathSeparator = L'/';
// The longest path, in characters, that the plug-in builds (MAX_PATH where it came from).
constexpr size_t kMaxPath = 4096;

// The folder where application data shared by all users live: $ZOVOZUDO_APPDATA_DIR when it is
// set and not empty, else kDefaultAppDataFolder. Created, with its parents, when missing.
// Returns false when it is not a folder afterwards.
bool GetCommonAppDataFolder(std::wstring* folder);
extern const char kDefaultAppDataFolder[];

// The full path of the host process's executable, or empty when it cannot be told.
std::wstring GetExecutablePath();

// The file-name part of |executablePath|, cut at its first ".": "/usr/bin/host.exe" gives
// "host".
std::wstring ProcessNameFromPath(const std::wstring& executablePath);

uint32_t GetCurrentProcessId();

struct LocalTime {
    int year;    // e.g. 2024
    int month;   // 1..12
    int day;     // 1..31
    int hour;    // 0..23
    int minute;  // 0..59
    int second;  // 0..60
    int millisecond;
};

// The wall-clock time in the local time zone.
LocalTime GetLocalTime();

}  // namespace platform
