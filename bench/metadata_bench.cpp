// The cost of reading an onMetaData tag as large as a tag can be (16 MiB, about 1.4 million
// numeric entries with one-letter keys) on the thread that examines a medium, at the default
// log level (ERROR) and with DEBUG on. Goal: under 0.2 s per tag at the default level.
#include <cstdint>
#include <vector>

#include <benchmark/benchmark.h>

#include "BenchLog.h"
#include "flv/FLVFormat.h"
#include "flv/FLVMetadataPacket.h"
#include "flv/FLVPacket.h"

namespace {

// "onMetaData", then an ECMA array filled with entries {key "a".."z", number} up to the largest
// data size a tag can carry.
std::vector<uint8_t> hugeMetadata() {
    std::vector<uint8_t> data = {2,   0,   10,  'o', 'n', 'M', 'e', 't', 'a',
                                 'D', 'a', 't', 'a', 8,   0,   0,   0,   0};
    constexpr size_t kEntrySize = 12;
    for (uint32_t i = 0; data.size() + kEntrySize <= 0xFFFFFF; ++i) {
        const uint8_t entry[kEntrySize] = {0, 1, uint8_t('a' + i % 26), 0, 0x40, 0x59};
        data.insert(data.end(), entry, entry + kEntrySize);
    }
    return data;
}

void parseHugeMetadata(benchmark::State& state, uint32_t level) {
    BenchLog log(level);
    const std::vector<uint8_t> data = hugeMetadata();
    for (auto _ : state) {
        FLVPacket packet;
        packet.tagType = flv::kTagScript;
        packet.dataSize = static_cast<uint32_t>(data.size());
        packet.setData(new uint8_t[data.size()]);
        std::copy(data.begin(), data.end(), packet.data);
        FLVMetadataPacket metadata;
        metadata.parse(&packet);
        benchmark::DoNotOptimize(metadata.width);
    }
    state.counters["entries"] = static_cast<double>((data.size() - 18) / 12);
}

void BM_HugeMetadataAtDefaultLevel(benchmark::State& state) {
    parseHugeMetadata(state, 1);
}
BENCHMARK(BM_HugeMetadataAtDefaultLevel)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
