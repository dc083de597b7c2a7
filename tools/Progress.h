// What a read of a medium has delivered so far, the progress line shown while it runs, and the
// summary printed when it ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "tools/PluginSession.h"

namespace cli {

using Clock = std::chrono::steady_clock;

struct ReadStats {
    void add(const Frame& frame);
    // From the earliest to the latest timestamp seen, so a stream that joins late counts only
    // what was read.
    double mediaSeconds() const;

    uint64_t frames = 0;
    uint64_t audioFrames = 0;
    uint64_t videoFrames = 0;
    uint64_t bytes = 0;
    uint64_t firstTimestampUs = UINT64_MAX;
    uint64_t lastTimestampUs = 0;
};

// One line: frames, bytes, media time, wall time and data rate (MB = 10^6 bytes).
std::string formatSummary(const ReadStats& stats, double wallSeconds);

// A line on a terminal, redrawn a few times a second, that says how far a read has come. Does
// nothing when |terminal| is not a terminal, so redirected output stays clean.
class Progress {
  public:
    Progress(std::FILE* terminal, Clock::time_point start);
    ~Progress() { clear(); }

    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Cheap enough to call for every frame.
    void update(const ReadStats& stats);
    // Removes the line; later updates draw it again.
    void clear();

  private:
    std::FILE* const terminal_;
    const bool enabled_;
    const Clock::time_point start_;
    Clock::time_point nextDraw_;
    bool shown_ = false;
};

}  // namespace cli
