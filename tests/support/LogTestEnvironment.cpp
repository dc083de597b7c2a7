#include "support/LogTestEnvironment.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "common/LogSettings.h"

namespace {

bool saveVariable(const char* name, std::string* value) {
    const char* current = getenv(name);
    if (current == nullptr) return false;
    *value = current;
    return true;
}

void restoreVariable(const char* name, bool had, const std::string& value) {
    if (had) {
        setenv(name, value.c_str(), 1);
    } else {
        unsetenv(name);
    }
}

}  // namespace

LogTestEnvironment::LogTestEnvironment()
    : appData_(dir_.file("appdata")), registry_(dir_.file("registry")) {
    hadAppData_ = saveVariable("ZOVOZUDO_APPDATA_DIR", &oldAppData_);
    hadRegistry_ = saveVariable("ZOVOZUDO_REGISTRY_DIR", &oldRegistry_);
    setenv("ZOVOZUDO_APPDATA_DIR", appData_.c_str(), 1);
    setenv("ZOVOZUDO_REGISTRY_DIR", registry_.c_str(), 1);
}

LogTestEnvironment::~LogTestEnvironment() {
    restoreVariable("ZOVOZUDO_APPDATA_DIR", hadAppData_, oldAppData_);
    restoreVariable("ZOVOZUDO_REGISTRY_DIR", hadRegistry_, oldRegistry_);
}

void LogTestEnvironment::setLogLevel(uint32_t level) const {
    ASSERT_TRUE(WriteLogLevelSetting(level));
}

void LogTestEnvironment::makeLogFolder() const {
    mkdir(appData_.c_str(), 0755);
    mkdir((appData_ + "/Dessaro").c_str(), 0755);
    mkdir(logFolder().c_str(), 0755);
}

std::vector<std::string> LogFileLines(const std::string& path) {
    const std::string contents = ReadTempFile(path);
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < contents.size()) {
        size_t end = contents.find('\n', start);
        if (end == std::string::npos) end = contents.size();
        lines.push_back(contents.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}
