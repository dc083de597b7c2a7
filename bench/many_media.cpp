// Many media in one host process: loads the plug-in with dlopen as the command-line host does,
// opens N media at once, each pulled by a thread of its own as a streaming host pulls them, and
// measures what each open medium costs.
//
//   many_media [--plugin PATH] [--warmup S] [--seconds S] N LOCATION...
//
// Medium i plays LOCATION[i % count]. Local files are pulled at the pace of their timestamps, as
// a host streams them; network media are pulled as fast as they come. Once every medium is open
// the program waits --warmup seconds (default 3), then measures for --seconds (default 15): CPU
// time of the whole process, resident memory, threads and descriptors, all against what the
// process held before the first plug-in object. Frames are counted over the whole play: a frame
// is lost where the timestamps of one stream jump by more than one and a half times the stream's
// usual step (the median of its first steps), so "sent" is "delivered" plus the frames in the
// jumps. The last line is one "RESULT key=value ..." line for scripts.
//
// Exit status: 0 when every medium opened and played to the end of the window, 1 otherwise,
// 2 for bad arguments or a plug-in that cannot be loaded.
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/MediumLocation.h"
#include "tools/PluginLoader.h"
#include "tools/PluginSession.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// What one stream (audio or video) of one medium showed. Fixed size, so that counting frames
// adds nothing to the memory that is being measured.
struct StreamCount {
    static constexpr int kFirstSteps = 32;
    uint64_t frames = 0;
    uint64_t lost = 0;
    uint64_t lastMs = 0;
    uint32_t firstSteps[kFirstSteps] = {};
    int stepCount = 0;
    double step = 0;  // the usual step in ms once kFirstSteps steps are known

    void add(uint64_t ms) {
        if (frames++ > 0 && ms > lastMs) addStep(static_cast<uint32_t>(ms - lastMs));
        lastMs = ms;
    }

    void addStep(uint32_t delta) {
        if (step == 0) {
            firstSteps[stepCount++] = delta;
            if (stepCount == kFirstSteps) settle();
            return;
        }
        lost += missing(delta);
    }

    // Decides the usual step from the first ones and counts the gaps among them.
    void settle() {
        if (stepCount == 0) return;
        uint32_t sorted[kFirstSteps];
        std::copy(firstSteps, firstSteps + stepCount, sorted);
        std::nth_element(sorted, sorted + stepCount / 2, sorted + stepCount);
        step = std::max<uint32_t>(sorted[stepCount / 2], 1);
        for (int i = 0; i < stepCount; ++i) lost += missing(firstSteps[i]);
    }

    uint64_t missing(uint32_t delta) const {
        if (delta <= step * 1.5) return 0;
        return static_cast<uint64_t>(std::llround(delta / step)) - 1;
    }
};

struct MediumRun {
    std::string location;
    std::atomic<int> state{0};  // 0 opening, 1 open, 2 failed
    std::string error;
    double openedAt = 0;  // seconds after the launch
    bool endedEarly = false;
    StreamCount streams[2];  // audio, video
};

struct Shared {
    const cli::PluginLibrary* library = nullptr;
    Clock::time_point launch;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable changed;  // an open finished
};

void playMedium(Shared& shared, MediumRun& run) {
    const cli::MediumLocation where = cli::parseMediumLocation(run.location);
    cli::PluginObject object = shared.library->create();
    if (!object) {
        run.error = "the factory returned no object";
        run.state = 2;
        shared.changed.notify_all();
        return;
    }
    cli::PluginSession session(std::move(object), where);
    const bool opened = session.open();
    {
        std::lock_guard<std::mutex> guard(shared.mutex);
        run.openedAt = secondsSince(shared.launch);
        if (!opened) {
            const host::RecordingError& error = session.error();
            run.error = std::to_string(error.code.value_or(0)) + " " +
                        error.message.value_or(std::string("(no message)"));
        }
        run.state = opened ? 1 : 2;
    }
    shared.changed.notify_all();
    if (!opened) return;

    const bool paced = where.protocol == "file";
    const Clock::time_point start = Clock::now();
    uint64_t firstUs = UINT64_MAX;
    const bool ranOut = session.readFrames([&](const cli::Frame& frame) {
        if (shared.stop.load(std::memory_order_relaxed)) return false;
        const int kind = frame.type == vanto::streamer::PACKET_VIDEO ? 1 : 0;
        run.streams[kind].add(frame.timestampUs / 1000);
        if (paced) {
            if (firstUs == UINT64_MAX) firstUs = frame.timestampUs;
            const uint64_t ahead = frame.timestampUs >= firstUs ? frame.timestampUs - firstUs : 0;
            std::this_thread::sleep_until(start + std::chrono::microseconds(ahead));
        }
        return true;
    });
    run.endedEarly = ranOut && !shared.stop.load();
}

struct Sample {
    double residentMiB = 0;
    int threads = 0;
    int descriptors = 0;
};

Sample sampleProcess() {
    Sample sample;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, 6, "VmRSS:") == 0) {
            sample.residentMiB = std::strtod(line.c_str() + 6, nullptr) / 1024.0;
        } else if (line.compare(0, 8, "Threads:") == 0) {
            sample.threads = std::atoi(line.c_str() + 8);
        }
    }
    if (DIR* folder = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(folder))
            sample.descriptors += entry->d_name[0] != '.';
        ::closedir(folder);
        --sample.descriptors;  // the folder's own
    }
    return sample;
}

// "name xCOUNT" for each distinct name that |nameOf| gives the entries of |folder|.
template <typename NameOf>
std::string tally(const char* folder, NameOf nameOf) {
    std::vector<std::pair<std::string, int>> counts;
    if (DIR* dir = ::opendir(folder)) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            const std::string name = nameOf(std::string(folder) + "/" + entry->d_name);
            auto found = std::find_if(counts.begin(), counts.end(),
                                      [&](const auto& c) { return c.first == name; });
            if (found == counts.end()) {
                counts.emplace_back(name, 1);
            } else {
                ++found->second;
            }
        }
        ::closedir(dir);
    }
    std::string out;
    for (const auto& c : counts) out += " " + c.first + " x" + std::to_string(c.second);
    return out;
}

// The threads by name and the descriptors by kind, to tell what holds them.
std::string describeThreads() {
    return tally("/proc/self/task", [](const std::string& task) {
        std::ifstream comm(task + "/comm");
        std::string name;
        std::getline(comm, name);
        return name;
    });
}

std::string describeDescriptors() {
    return tally("/proc/self/fd", [](const std::string& fd) {
        char target[256] = {0};
        const ssize_t length = ::readlink(fd.c_str(), target, sizeof(target) - 1);
        std::string kind = length > 0 ? std::string(target, static_cast<size_t>(length)) : "?";
        // "socket:[123]" and "pipe:[456]" by kind, files by name.
        const size_t bracket = kind.find(":[");
        return bracket == std::string::npos ? kind : kind.substr(0, bracket);
    });
}

double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec / 1e6;
}

int usage() {
    std::fprintf(stderr,
                 "usage: many_media [--plugin PATH] [--warmup S] [--seconds S] N LOCATION...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string pluginPath = cli::defaultPluginPath();
    double warmup = 3;
    double window = 15;
    int count = 0;
    std::vector<std::string> locations;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--plugin" && i + 1 < argc) {
            pluginPath = argv[++i];
        } else if (arg == "--warmup" && i + 1 < argc) {
            warmup = std::atof(argv[++i]);
        } else if (arg == "--seconds" && i + 1 < argc) {
            window = std::atof(argv[++i]);
        } else if (count == 0) {
            count = std::atoi(arg.c_str());
            if (count <= 0) return usage();
        } else {
            locations.push_back(arg);
        }
    }
    if (count == 0 || locations.empty() || window <= 0 || warmup < 0) return usage();

    std::string why;
    const std::unique_ptr<cli::PluginLibrary> library = cli::PluginLibrary::load(pluginPath, &why);
    if (!library) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 2;
    }

    // Everything the measurement itself needs is made before the first sample.
    std::vector<std::unique_ptr<MediumRun>> runs;
    for (int i = 0; i < count; ++i) {
        runs.push_back(std::make_unique<MediumRun>());
        runs.back()->location = locations[static_cast<size_t>(i) % locations.size()];
    }
    std::vector<std::thread> threads;
    threads.reserve(static_cast<size_t>(count));
    Shared shared;
    shared.library = library.get();

    const Sample base = sampleProcess();
    shared.launch = Clock::now();
    for (int i = 0; i < count; ++i) {
        threads.emplace_back(playMedium, std::ref(shared), std::ref(*runs[static_cast<size_t>(i)]));
    }

    // Each open is bounded by the plug-in's own time-outs; this bound is for a plug-in that
    // would not keep them.
    int opened = 0, failed = 0;
    double openAll = 0;
    {
        std::unique_lock<std::mutex> lock(shared.mutex);
        shared.changed.wait_until(lock, shared.launch + std::chrono::seconds(120), [&] {
            opened = failed = 0;
            for (const auto& run : runs) {
                opened += run->state == 1;
                failed += run->state == 2;
            }
            return opened + failed == count;
        });
        for (const auto& run : runs) openAll = std::max(openAll, run->openedAt);
    }

    std::this_thread::sleep_for(std::chrono::duration<double>(warmup));
    const double cpuStart = cpuSeconds();
    const Clock::time_point windowStart = Clock::now();
    Sample peak = sampleProcess();
    const double residentAtStart = peak.residentMiB;
    std::string threadNames, descriptorKinds;
    while (secondsSince(windowStart) < window) {
        if (threadNames.empty() && secondsSince(windowStart) >= window / 2) {
            threadNames = describeThreads();
            descriptorKinds = describeDescriptors();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        const Sample now = sampleProcess();
        peak.residentMiB = std::max(peak.residentMiB, now.residentMiB);
        peak.threads = std::max(peak.threads, now.threads);
        peak.descriptors = std::max(peak.descriptors, now.descriptors);
    }
    const double cpu = cpuSeconds() - cpuStart;
    const double measured = secondsSince(windowStart);
    const double residentAtEnd = sampleProcess().residentMiB;

    const Clock::time_point stopping = Clock::now();
    shared.stop = true;
    for (std::thread& thread : threads) thread.join();
    const double stopAll = secondsSince(stopping);
    const Sample after = sampleProcess();

    uint64_t frames = 0, lost = 0;
    int lossy = 0, ended = 0;
    for (const auto& run : runs) {
        uint64_t runLost = 0;
        for (StreamCount& stream : run->streams) {
            if (stream.step == 0) stream.settle();
            frames += stream.frames;
            runLost += stream.lost;
        }
        lost += runLost;
        lossy += runLost > 0;
        ended += run->endedEarly;
        if (run->state == 2) {
            std::fprintf(stderr, "open failed: %s: %s\n", run->location.c_str(),
                         run->error.c_str());
        }
    }

    const double n = count;
    const double residentPer = (peak.residentMiB - base.residentMiB) / n;
    const double threadsPer = (peak.threads - base.threads) / n;
    const double descriptorsPer = (peak.descriptors - base.descriptors) / n;
    const double cpuPer = cpu / measured / n * 100.0;
    std::printf("media %d: %d opened, %d failed, all opened in %.2f s, stopped in %.2f s\n", count,
                opened, failed, openAll, stopAll);
    std::printf(
        "frames: %llu delivered, %llu sent, %llu lost (%d media lost frames, %d ended "
        "early)\n",
        static_cast<unsigned long long>(frames), static_cast<unsigned long long>(frames + lost),
        static_cast<unsigned long long>(lost), lossy, ended);
    std::printf("resident: %.1f MiB before, %.1f MiB peak while open: %.3f MiB per medium\n",
                base.residentMiB, peak.residentMiB, residentPer);
    std::printf("resident growth during the window: %.3f MiB per medium and minute\n",
                (residentAtEnd - residentAtStart) / n / measured * 60.0);
    std::printf(
        "threads: %d before, %d while open: %.2f per medium (the pulling thread "
        "included); %d after closing\n",
        base.threads, peak.threads, threadsPer, after.threads);
    std::printf("descriptors: %d before, %d while open: %.2f per medium; %d after closing\n",
                base.descriptors, peak.descriptors, descriptorsPer, after.descriptors);
    std::printf("threads while open:%s\n", threadNames.c_str());
    std::printf("descriptors while open:%s\n", descriptorKinds.c_str());
    std::printf("CPU: %.2f s in %.1f s: %.3f %% of a core per medium\n", cpu, measured, cpuPer);
    std::printf(
        "RESULT n=%d opened=%d failed=%d open_s=%.3f frames=%llu lost=%llu lossy=%d "
        "ended=%d rss_base_mib=%.2f rss_mib=%.2f threads_base=%d threads=%d "
        "threads_after=%d fds_base=%d fds=%d fds_after=%d cpu_s=%.3f window_s=%.2f "
        "rss_growth_mib=%.2f\n",
        count, opened, failed, openAll, static_cast<unsigned long long>(frames),
        static_cast<unsigned long long>(lost), lossy, ended, base.residentMiB, peak.residentMiB,
        base.threads, peak.threads, after.threads, base.descriptors, peak.descriptors,
        after.descriptors, cpu, measured, residentAtEnd - residentAtStart);
    return failed == 0 && ended == 0 ? 0 : 1;
}
