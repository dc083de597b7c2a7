// A log published as the process-wide one at a chosen level, with its settings and files in a
// temporary folder that goes away with it.
#pragma once

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include <boost/shared_ptr.hpp>

#include "common/CBBLog.h"
#include "common/Log.h"
#include "common/LogSettings.h"

class BenchLog {
  public:
    explicit BenchLog(uint32_t level) {
        char pattern[] = "/tmp/zovozudo-bench-XXXXXX";
        if (mkdtemp(pattern) != nullptr) folder_ = pattern;
        setenv("ZOVOZUDO_APPDATA_DIR", (folder_ + "/appdata").c_str(), 1);
        setenv("ZOVOZUDO_REGISTRY_DIR", (folder_ + "/registry").c_str(), 1);
        WriteLogLevelSetting(level);
        log_.reset(new CBBLog(L"ZOVOzudo.log"));
        SetGlobalLog(log_);
        LogFatal(L"reads the threshold");
    }
    ~BenchLog() {
        SetGlobalLog(boost::shared_ptr<CBBLog>());
        log_.reset();
        if (!folder_.empty()) nftw(folder_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    }

    BenchLog(const BenchLog&) = delete;
    BenchLog& operator=(const BenchLog&) = delete;

  private:
    static int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
        return remove(path);
    }

    std::string folder_;
    boost::shared_ptr<CBBLog> log_;
};
