// Points the log and the registry at folders of one test, inside a TempDir:
// $ZOVOZUDO_APPDATA_DIR (not created, so a test can tell whether the log created it) and
// $ZOVOZUDO_REGISTRY_DIR. The destructor unsets both. One at a time per process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/TempDir.h"

class LogTestEnvironment {
  public:
    LogTestEnvironment();
    ~LogTestEnvironment();

    LogTestEnvironment(const LogTestEnvironment&) = delete;
    LogTestEnvironment& operator=(const LogTestEnvironment&) = delete;

    const TempDir& dir() const { return dir_; }
    std::string appData() const { return dir_.file("appdata"); }
    std::string registry() const { return dir_.file("registry"); }
    std::string logFile(const std::string& name) const {
        return appData() + "/Dessaro/Logs/" + name;
    }

    // Stores "LogLevel"; fails the test when it cannot.
    void setLogLevel(uint32_t level) const;
    // Creates the log folder, as an earlier run of the log would have.
    void makeLogFolder() const;

  private:
    TempDir dir_;
};

// The lines of a file, without their "\n".
std::vector<std::string> LogFileLines(const std::string& path);
