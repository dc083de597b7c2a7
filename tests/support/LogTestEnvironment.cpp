#include "support/LogTestEnvironment.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "common/LogSettings.h"

LogTestEnvironment::LogTestEnvironment() {
    setenv("ZOVOZUDO_APPDATA_DIR", appData().c_str(), 1);
    setenv("ZOVOZUDO_REGISTRY_DIR", registry().c_str(), 1);
}

LogTestEnvironment::~LogTestEnvironment() {
    unsetenv("ZOVOZUDO_APPDATA_DIR");
    unsetenv("ZOVOZUDO_REGISTRY_DIR");
}

void LogTestEnvironment::setLogLevel(uint32_t level) const {
    ASSERT_TRUE(WriteLogLevelSetting(level));
}

void LogTestEnvironment::makeLogFolder() const {
    for (const std::string& folder :
         {appData(), appData() + "/Dessaro", appData() + "/Dessaro/Logs"}) {
        mkdir(folder.c_str(), 0755);
    }
}

std::vector<std::string> LogFileLines(const std::string& path) {
    const std::string contents = ReadTempFile(path);
    std::vector<std::string> lines;
    for (size_t start = 0; start < contents.size();) {
        size_t end = contents.find('\n', start);
        if (end == std::string::npos) end = contents.size();
        lines.push_back(contents.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}
