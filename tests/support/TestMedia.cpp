#include "support/TestMedia.h"

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

#include "support/ServerProcess.h"

namespace testing_support {

namespace {

using Kind = TestMedia::Kind;

const TestMedia::Description kDescriptions[] = {
    {"h264_aac", true, 64, 48, 10, 7, 50000, true, 10, 22050, 1, 32000, 1},
    {"flv1_mp3", true, 64, 48, 10, 2, 50000, true, 2, 22050, 1, 32000, 1},
    {"screen_speex", true, 64, 48, 10, 3, 0, true, 11, 16000, 1, 0, 1},
    {"nellymoser", false, 0, 0, 0, 0, 0, true, 6, 22050, 1, 0, 1},
    {"adpcm_stereo", false, 0, 0, 0, 0, 0, true, 1, 44100, 2, 0, 1},
    {"pcm_s16le", false, 0, 0, 0, 0, 0, true, 3, 11025, 1, 0, 1},
    {"pcm_u8", false, 0, 0, 0, 0, 0, true, 0, 11025, 1, 0, 1},
    {"h264_aac_live", true, 640, 360, 30, 7, 200000, true, 10, 44100, 2, 64000, 2},
};

// The encoder arguments of each kind, in the order of Kind.
const std::vector<std::string> kCodecs[] = {
    // A key frame every 5 frames, so that the key-frame index has more than one entry.
    {"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g", "5", "-b:v", "50k",
     "-c:a", "aac", "-b:a", "32k", "-flvflags", "add_keyframe_index"},
    {"-c:v", "flv", "-b:v", "50k", "-c:a", "libmp3lame", "-b:a", "32k"},
    {"-c:v", "flashsv", "-c:a", "libspeex"},
    {"-c:a", "nellymoser"},
    {"-c:a", "adpcm_swf"},
    {"-c:a", "pcm_s16le"},
    {"-c:a", "pcm_u8"},
    // A key frame every 1.5 s, so that a player joining a stream of it lands between two.
    {"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g", "45", "-b:v", "200k",
     "-c:a", "aac", "-b:a", "64k"},
};

struct State {
    std::mutex mutex;
    std::unique_ptr<TempDir> dir;                              // guarded by mutex
    std::map<Kind, std::pair<std::string, std::string>> made;  // path or "", and why not
};

State& state() {
    static State instance;
    return instance;
}

std::string tempDirLocked(State& s) {
    if (!s.dir) s.dir = std::make_unique<TempDir>();
    const std::string dir = s.dir->file("");
    return dir.substr(0, dir.size() - 1);
}

}  // namespace

std::vector<Kind> TestMedia::allKinds() {
    std::vector<Kind> kinds;
    for (size_t i = 0; i < std::size(kDescriptions); ++i) kinds.push_back(static_cast<Kind>(i));
    return kinds;
}

const TestMedia::Description& TestMedia::describe(Kind kind) {
    return kDescriptions[static_cast<size_t>(kind)];
}

std::string TestMedia::ffmpegPath() {
    return findExecutable("ffmpeg");
}

std::string TestMedia::tempDir() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return tempDirLocked(state());
}

std::string TestMedia::file(Kind kind) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.made.count(kind) != 0) return s.made[kind].first;
    auto& [made, reason] = s.made[kind];
    const std::string ffmpeg = ffmpegPath();
    if (ffmpeg.empty()) {
        reason = "needs ffmpeg";
        return made;
    }
    const Description& d = describe(kind);
    const std::string out = tempDirLocked(s) + "/" + d.name + ".flv";
    const std::string seconds = ":duration=" + std::to_string(d.seconds);
    std::vector<std::string> args = {ffmpeg,  "-nostdin", "-hide_banner", "-loglevel",
                                     "error", "-y",       "-threads",     "1"};
    if (d.hasVideo) {
        args.insert(args.end(),
                    {"-f", "lavfi", "-i",
                     "testsrc=size=" + std::to_string(d.width) + "x" + std::to_string(d.height) +
                         ":rate=" + std::to_string(static_cast<int>(d.frameRate)) + seconds});
    }
    args.insert(args.end(),
                {"-f", "lavfi", "-i",
                 "sine=frequency=440:sample_rate=" + std::to_string(d.sampleRate) + seconds, "-ac",
                 std::to_string(d.channels)});
    const std::vector<std::string>& codecs = kCodecs[static_cast<size_t>(kind)];
    args.insert(args.end(), codecs.begin(), codecs.end());
    args.insert(args.end(), {"-f", "flv", out});
    std::error_code error;
    if (!waitChild(spawnChild(args)) || std::filesystem::file_size(out, error) == 0 || error) {
        reason = std::string("ffmpeg could not make ") + d.name;
    } else {
        made = out;
    }
    return made;
}

std::string TestMedia::missingReason(Kind kind) {
    file(kind);
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().made[kind].second;
}

}  // namespace testing_support
