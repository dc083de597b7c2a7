// The cost of a log call to the thread that makes it: below the threshold (a weak-reference
// lock and one comparison, no formatting, no queue lock) and above it (formatting and queueing;
// the writer thread appends to a file in a temporary folder).
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include <benchmark/benchmark.h>
#include <boost/shared_ptr.hpp>

#include "common/CBBLog.h"
#include "common/Log.h"
#include "common/LogSettings.h"

namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    return remove(path);
}

// A log published as the process-wide one, with its folders in a temporary folder.
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

  private:
    std::string folder_;
    boost::shared_ptr<CBBLog> log_;
};

void BM_BelowThreshold(benchmark::State& state) {
    BenchLog log(1);
    int i = 0;
    for (auto _ : state) LogDebug(L"frame %d of %ls", ++i, L"stream");
}
BENCHMARK(BM_BelowThreshold);

void BM_BelowThresholdWformat(benchmark::State& state) {
    BenchLog log(1);
    // The caller's boost::wformat is built before the call; only the call is measured here.
    const boost::wformat message = boost::wformat(L"frame %1%") % 1;
    for (auto _ : state) LogDebug(message);
}
BENCHMARK(BM_BelowThresholdWformat);

void BM_AboveThreshold(benchmark::State& state) {
    BenchLog log(4);
    int i = 0;
    for (auto _ : state) LogDebug(L"frame %d of %ls", ++i, L"stream");
}
BENCHMARK(BM_AboveThreshold);

void BM_AboveThresholdFourThreads(benchmark::State& state) {
    static BenchLog* log = nullptr;
    if (state.thread_index() == 0) log = new BenchLog(4);
    int i = 0;
    for (auto _ : state) LogDebug(L"frame %d of %ls", ++i, L"stream");
    if (state.thread_index() == 0) {
        delete log;
        log = nullptr;
    }
}
BENCHMARK(BM_AboveThresholdFourThreads)->Threads(4)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
