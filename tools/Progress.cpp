#include "tools/Progress.h"

#include <unistd.h>

namespace cli {

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(250);
constexpr double kMegabyte = 1e6;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double megabytesPerSecond(uint64_t bytes, double seconds) {
    return seconds > 0 ? static_cast<double>(bytes) / kMegabyte / seconds : 0.0;
}

}  // namespace

void ReadStats::add(const Frame& frame) {
    ++frames;
    if (frame.type == vanto::streamer::PACKET_AUDIO) {
        ++audioFrames;
    } else {
        ++videoFrames;
    }
    bytes += frame.size;
    if (frame.timestampUs < firstTimestampUs) firstTimestampUs = frame.timestampUs;
    if (frame.timestampUs > lastTimestampUs) lastTimestampUs = frame.timestampUs;
}

double ReadStats::mediaSeconds() const {
    if (frames == 0) return 0.0;
    return static_cast<double>(lastTimestampUs - firstTimestampUs) / 1e6;
}

std::string formatSummary(const ReadStats& stats, double wallSeconds) {
    char line[256];
    std::snprintf(line, sizeof(line),
                  "%llu frames (%llu video, %llu audio), %llu bytes, media time %.3f s, "
                  "wall time %.3f s, %.1f MB/s",
                  static_cast<unsigned long long>(stats.frames),
                  static_cast<unsigned long long>(stats.videoFrames),
                  static_cast<unsigned long long>(stats.audioFrames),
                  static_cast<unsigned long long>(stats.bytes), stats.mediaSeconds(), wallSeconds,
                  megabytesPerSecond(stats.bytes, wallSeconds));
    return line;
}

Progress::Progress(std::FILE* terminal, Clock::time_point start)
    : terminal_(terminal),
      enabled_(isatty(fileno(terminal)) == 1),
      start_(start),
      nextDraw_(start + kRedrawInterval) {}

void Progress::update(const ReadStats& stats) {
    if (!enabled_) return;
    const Clock::time_point now = Clock::now();
    if (now < nextDraw_) return;
    nextDraw_ = now + kRedrawInterval;
    const double seconds = secondsSince(start_);
    std::fprintf(terminal_, "\r\033[K%llu frames, %.1f MB, media time %.1f s, %.1f MB/s",
                 static_cast<unsigned long long>(stats.frames),
                 static_cast<double>(stats.bytes) / kMegabyte, stats.mediaSeconds(),
                 megabytesPerSecond(stats.bytes, seconds));
    std::fflush(terminal_);
    shown_ = true;
}

void Progress::clear() {
    if (!shown_) return;
    std::fputs("\r\033[K", terminal_);
    std::fflush(terminal_);
    shown_ = false;
}

}  // namespace cli
