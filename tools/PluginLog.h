// The plug-in's log as the command-line host sees it from outside: where it is, and what the
// plug-in wrote to it while the host opened one medium, so that the reason for a failure can
// be shown beside the error code.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

// The plug-in's log file: <application data>/Dessaro/Logs/ZOVOzudo.log, the application-data
// folder being $ZOVOZUDO_APPDATA_DIR when set and not empty.
std::string pluginLogPath();

// Notes where the log ends when it is made; errorLines then returns what was added after.
class PluginLogExcerpt {
  public:
    PluginLogExcerpt();

    // The messages of the ERROR and FATAL lines written since construction, oldest first, at
    // most kMaxLines of them. The plug-in's log writes its lines on a thread of its own: call
    // this once the plug-in object is destroyed, when every line is in the file. Lines of other
    // processes that share the log may be among them.
    std::vector<std::string> errorLines() const;

    static constexpr size_t kMaxLines = 20;

  private:
    std::string path_;
    bool existed_ = false;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    uint64_t offset_ = 0;
};

}  // namespace cli
