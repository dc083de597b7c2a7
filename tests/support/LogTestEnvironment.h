// Points the log and the registry at folders of one test: $ZOVOZUDO_APPDATA_DIR (not created,
// so a test can tell whether the log created it) and $ZOVOZUDO_REGISTRY_DIR, both inside a
// TempDir. The previous values are restored by the destructor. Tests that use it must not run
// in parallel within one process.
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
    const std::string& appData() const { return appData_; }
    const std::string& registry() const { return registry_; }
    // appData()/Dessaro/Logs
    std::string logFolder() const { return appData_ + "/Dessaro/Logs"; }
    std::string logFile(const std::string& name) const { return logFolder() + "/" + name; }

    // Stores "LogLevel"; fails the test when it cannot.
    void setLogLevel(uint32_t level) const;
    // Creates the log folder, as a previous run of the log would have.
    void makeLogFolder() const;

private:
    TempDir dir_;
    std::string appData_;
    std::string registry_;
    bool hadAppData_;
    std::string oldAppData_;
    bool hadRegistry_;
    std::string oldRegistry_;
};

// The lines of a file, without their "\n"; a last line without one is kept too.
std::vector<std::string> LogFileLines(const std::string& path);
