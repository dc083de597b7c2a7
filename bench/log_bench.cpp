// The cost of a log call to the thread that makes it: below the threshold (a weak-reference
// lock and one comparison, no formatting, no queue lock) and above it (formatting and queueing;
// the writer thread appends to a file in a temporary folder).
#include <benchmark/benchmark.h>

#include "BenchLog.h"
#include "common/Log.h"

namespace {

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
