#include "platform/Shell.h"

#include <errno.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/NativePath.h"

namespace platform {

const char kDefaultAppDataFolder[] = "/var/lib/zovozudo";

namespace {

bool isFolder(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// mkdir -p: as the shell's CSIDL_FLAG_CREATE, the whole chain is made when missing.
bool createFolderChain(const std::string& path) {
    if (path.empty()) return false;
    if (isFolder(path)) return true;
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string parent = path.substr(0, slash);
        if (mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return false;
    return isFolder(path);
}

}  // namespace

bool GetCommonAppDataFolder(std::wstring* folder) {
    const char* configured = std::getenv("ZOVOZUDO_APPDATA_DIR");
    std::string path =
        configured != nullptr && configured[0] != '\0' ? configured : kDefaultAppDataFolder;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (!createFolderChain(path)) return false;
    *folder = FromNativePath(path);
    return true;
}

std::wstring GetExecutablePath() {
    char buffer[kMaxPath];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (length <= 0) return std::wstring();
    std::string path(buffer, static_cast<size_t>(length));
    // The kernel marks an executable that was replaced while it ran; the name is still the one
    // it was started as.
    static const std::string kDeleted = " (deleted)";
    if (path.size() > kDeleted.size() &&
        path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
        path.resize(path.size() - kDeleted.size());
    }
    return FromNativePath(path);
}

std::wstring ProcessNameFromPath(const std::wstring& executablePath) {
    const size_t separator = executablePath.rfind(kPathSeparator);
    std::wstring name =
        separator == std::wstring::npos ? executablePath : executablePath.substr(separator + 1);
    const size_t dot = name.find(L'.');
    if (dot != std::wstring::npos) name.resize(dot);
    return name;
}

uint32_t GetCurrentProcessId() {
    return static_cast<uint32_t>(getpid());
}

LocalTime GetLocalTime() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm parts;
    if (localtime_r(&now.tv_sec, &parts) == nullptr) {
        return LocalTime{1970, 1, 1, 0, 0, 0, 0};
    }
    return LocalTime{parts.tm_year + 1900,
                     parts.tm_mon + 1,
                     parts.tm_mday,
                     parts.tm_hour,
                     parts.tm_min,
                     parts.tm_sec,
                     static_cast<int>(now.tv_nsec / 1000000)};
}

}  // namespace platform
