#include "tools/PluginLog.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "platform/Shell.h"

namespace cli {

namespace {

// A log file is moved aside at 512 KiB; more than that since the open is not this open's.
constexpr uint64_t kMaxExcerptBytes = 1 << 20;
// "2024/01/31 12:34:56.789 [ERROR] - ": the level field starts at 24, the message at 34.
constexpr size_t kLevelAt = 24;
constexpr size_t kMessageAt = 34;

bool statFile(const std::string& path, struct stat* info) {
    return stat(path.c_str(), info) == 0 && S_ISREG(info->st_mode);
}

// Appends the messages of the ERROR and FATAL lines of |path| from |offset| on.
void collect(const std::string& path, uint64_t offset, std::vector<std::string>* lines) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return;
    in.seekg(0, std::ios::end);
    const uint64_t size = static_cast<uint64_t>(in.tellg());
    if (size < offset) offset = 0;  // emptied since: all of it is new
    if (size - offset > kMaxExcerptBytes) offset = size - kMaxExcerptBytes;
    in.seekg(static_cast<std::streamoff>(offset));
    for (std::string line; std::getline(in, line);) {
        if (line.size() < kMessageAt) continue;
        const std::string level = line.substr(kLevelAt, kMessageAt - kLevelAt);
        if (level != "[ERROR] - " && level != "[FATAL] - ") continue;
        if (lines->size() == PluginLogExcerpt::kMaxLines) lines->erase(lines->begin());
        lines->push_back(line.substr(kMessageAt));
    }
}

}  // namespace

std::string pluginLogPath() {
    const char* configured = std::getenv("ZOVOZUDO_APPDATA_DIR");
    const std::string folder = configured != nullptr && configured[0] != '\0'
                                   ? configured
                                   : platform::kDefaultAppDataFolder;
    return folder + "/Dessaro/Logs/ZOVOzudo.log";
}

PluginLogExcerpt::PluginLogExcerpt() : path_(pluginLogPath()) {
    struct stat info;
    if (!statFile(path_, &info)) return;
    existed_ = true;
    device_ = info.st_dev;
    inode_ = info.st_ino;
    offset_ = static_cast<uint64_t>(info.st_size);
}

std::vector<std::string> PluginLogExcerpt::errorLines() const {
    std::vector<std::string> lines;
    struct stat info;
    const bool same =
        existed_ && statFile(path_, &info) && info.st_dev == device_ && info.st_ino == inode_;
    if (same) {
        collect(path_, offset_, &lines);
        return lines;
    }
    // Moved aside during the open: the start of this open's lines is in ".back".
    const std::string backup = path_ + ".back";
    if (existed_ && statFile(backup, &info) && info.st_dev == device_ && info.st_ino == inode_) {
        collect(backup, offset_, &lines);
    }
    collect(path_, 0, &lines);
    return lines;
}

}  // namespace cli
