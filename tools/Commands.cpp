#include "tools/Commands.h"

#include <zlib.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "tools/Output.h"
#include "tools/PluginLoader.h"
#include "tools/PluginLog.h"
#include "tools/PluginSession.h"
#include "tools/ProbeReport.h"
#include "tools/Progress.h"
#include "tools/Signals.h"

namespace cli {

namespace {

constexpr char kProgramName[] = "zovozudo";
constexpr char kCsvHeader[] = "type,timestamp_us,duration_ms,key,size,crc32\n";

// A loaded library and one opened medium. The session is declared last so that the plug-in
// object is destroyed before its library is closed.
struct Player {
    std::unique_ptr<PluginLibrary> library;
    std::unique_ptr<PluginSession> session;
};

void complain(const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", kProgramName, text.c_str());
}

// The plug-in sets code 2 without a message when the medium cannot be examined.
constexpr char kNothingToPlay[] =
    "the medium holds no FLV header, or no audio or video tag in what the plug-in examined";

// Says on stderr why the medium did not open: the code and message the plug-in set, and what
// its log says about this open, which for a network source is where the reason is.
void reportOpenFailure(const PlayOptions& options, const std::optional<int>& code,
                       const std::optional<std::string>& message, const PluginLogExcerpt& excerpt) {
    const bool unexplained = !code || (*code == 2 && !message);
    if (!code) {
        std::fprintf(stderr, "error: the plug-in could not open %s and set no error code\n",
                     options.medium.location.c_str());
    } else if (unexplained) {
        std::fprintf(stderr, "error 2: %s\n", kNothingToPlay);
    } else {
        std::fprintf(stderr, "error %d: %s\n", *code, message ? message->c_str() : "(no message)");
    }
    const std::vector<std::string> lines = excerpt.errorLines();
    if (!lines.empty()) {
        std::fprintf(stderr, "the plug-in's log (%s) says:\n", pluginLogPath().c_str());
        for (const std::string& line : lines) std::fprintf(stderr, "  %s\n", line.c_str());
    } else if (unexplained) {
        std::fprintf(stderr,
                     "the plug-in's log may tell more: %s ('zovozudo log-level 4' makes it "
                     "log everything)\n",
                     pluginLogPath().c_str());
    }
}

// Loads the plug-in and opens the medium; on failure says why on stderr and returns false.
bool openMedium(const PlayOptions& options, Player* player) {
    std::string failure;
    const std::string path = options.pluginPath.empty() ? defaultPluginPath() : options.pluginPath;
    player->library = PluginLibrary::load(path, &failure);
    if (!player->library) {
        complain(failure);
        return false;
    }
    PluginObject plugin = player->library->create();
    if (!plugin) {
        complain("InputPluginFactory of " + path + " returned no object");
        return false;
    }
    const PluginLogExcerpt excerpt;
    player->session = std::make_unique<PluginSession>(std::move(plugin), options.medium);
    if (player->session->open()) return true;

    const std::optional<int> code = player->session->error().code;
    const std::optional<std::string> message = player->session->error().message;
    // Destroying the object writes out every line of its log.
    player->session.reset();
    if (interruptRequested()) {
        complain("interrupted while opening " + options.medium.location);
    } else {
        reportOpenFailure(options, code, message, excerpt);
    }
    return false;
}

// The status of a command whose medium did not open.
int openFailed() {
    return interruptRequested() ? kExitInterrupted : kExitFailure;
}

// The end of a command that wrote results to |output|. A reader that stopped reading early
// is no failure: it has all it wanted.
int finishOutput(Output* output) {
    if (output->flush() || output->readerGone()) return kExitOk;
    complain(std::string("cannot write output: ") + std::strerror(output->failure()));
    return kExitFailure;
}

std::string frameLine(const Frame& frame) {
    const uLong crc = crc32(0L, frame.data, frame.size);
    char line[128];
    const int length = std::snprintf(
        line, sizeof(line), "%s,%" PRIu64 ",%" PRIu64 ",%d,%u,%08lx\n",
        frame.type == vanto::streamer::PACKET_AUDIO ? "audio" : "video", frame.timestampUs,
        frame.durationMs, frame.keyFrame ? 1 : 0, frame.size, static_cast<unsigned long>(crc));
    return std::string(line, static_cast<size_t>(length));
}

// Pulls every frame, hands each to |emit| (which returns false to stop), shows progress on a
// terminal and returns the counts. |interrupted| tells whether Ctrl-C ended the read.
template <class Emit>
ReadStats pullFrames(PluginSession* session, Clock::time_point start, bool* interrupted,
                     Emit emit) {
    ReadStats stats;
    Progress progress(stderr, start);
    session->readFrames([&](const Frame& frame) {
        stats.add(frame);
        progress.update(stats);
        return emit(frame) && !interruptRequested();
    });
    *interrupted = interruptRequested();
    return stats;
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int probeCommand(const PlayOptions& options, bool json) {
    Player player;
    if (!openMedium(options, &player)) return openFailed();
    const PluginSession& session = *player.session;
    Output output(stdout);
    if (json) {
        output.write(host::describeAsJson(session.medium(), session.stream()) + "\n");
    } else {
        output.write(describeReadably(options.medium, session.medium(), session.stream()));
    }
    return finishOutput(&output);
}

int framesCommand(const PlayOptions& options) {
    const Clock::time_point start = Clock::now();
    Player player;
    if (!openMedium(options, &player)) return openFailed();
    Output output(stdout);
    output.write(kCsvHeader);
    bool interrupted = false;
    const ReadStats stats =
        pullFrames(player.session.get(), start, &interrupted,
                   [&](const Frame& frame) { return output.write(frameLine(frame)); });
    const int status = finishOutput(&output);
    player.session.reset();
    const double wallSeconds = secondsSince(start);
    std::fprintf(stderr, "%s\n", formatSummary(stats, wallSeconds).c_str());
    return interrupted ? kExitInterrupted : status;
}

int readCommand(const PlayOptions& options) {
    const Clock::time_point start = Clock::now();
    Player player;
    if (!openMedium(options, &player)) return openFailed();
    bool interrupted = false;
    const ReadStats stats =
        pullFrames(player.session.get(), start, &interrupted, [](const Frame&) { return true; });
    // Stopping, closing and destroying the object is part of reading the medium.
    player.session.reset();
    const double wallSeconds = secondsSince(start);
    Output output(stdout);
    output.write(formatSummary(stats, wallSeconds) + "\n");
    const int status = finishOutput(&output);
    return interrupted ? kExitInterrupted : status;
}

}  // namespace cli
