// Points the log and the registry at folders of one test: $ZOVOZUDO_APPDATA_DIR (not created, so
// a test can tell whether the log created it) and $ZOVOZUDO_REGISTRY_DIR. One at a time.
#pragma once

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "common/LogSettings.h"
#include "support/TempDir.h"

class LogTestEnvironment {
  public:
    LogTestEnvironment() {
        setenv("ZOVOZUDO_APPDATA_DIR", appData().c_str(), 1);
        setenv("ZOVOZUDO_REGISTRY_DIR", registry().c_str(), 1);
    }
    ~LogTestEnvironment() { unsetenv("ZOVOZUDO_APPDATA_DIR"), unsetenv("ZOVOZUDO_REGISTRY_DIR"); }

    std::string appData() const { return dir_.file("appdata"); }
    std::string registry() const { return dir_.file("registry"); }
    std::string logFile(const std::string& name) const {
        return appData() + "/Dessaro/Logs/" + name;
    }
    void setLogLevel(uint32_t level) const { ASSERT_TRUE(WriteLogLevelSetting(level)); }

  private:
    TempDir dir_;
};

// The lines of a file, without their "\n".
inline std::vector<std::string> LogFileLines(const std::string& path) {
    std::istringstream in(ReadTempFile(path));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}
