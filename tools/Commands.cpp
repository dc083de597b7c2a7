#include "tools/Commands.h"

#include <zlib.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

#include "tools/Output.h"
#include "tools/PluginLoader.h"
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
    player->session = std::make_unique<PluginSession>(std::move(plugin), options.medium);
    if (player->session->open()) return true;

    const host::RecordingError& error = player->session->error();
    if (!error.code) {
        std::fprintf(stderr, "error: the plug-in could not open %s and set no error code\n",
                     options.medium.location.c_str());
    } else {
        std::fprintf(stderr, "error %d: %s\n", *error.code,
                     error.message ? error.message->c_str() : "(no message)");
    }
    return false;
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
    if (!openMedium(options, &player)) return kExitFailure;
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
    if (!openMedium(options, &player)) return kExitFailure;
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
    if (!openMedium(options, &player)) return kExitFailure;
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
