#include "support/TestMedia.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>

extern char** environ;

namespace testing_support {

namespace {

using Kind = TestMedia::Kind;
constexpr Kind kKinds[] = {Kind::kH264Aac,     Kind::kFlv1Mp3,     Kind::kScreenVideoSpeex,
                           Kind::kNellymoser,  Kind::kAdpcmStereo, Kind::kPcmS16le,
                           Kind::kPcmU8,       Kind::kH264AacLive};

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

// The encoder arguments of each kind; the sources and output options are shared.
std::vector<std::string> codecArguments(TestMedia::Kind kind) {
    switch (kind) {
        case TestMedia::Kind::kH264Aac:
            // A key frame every 5 frames, so that the key-frame index has more than one entry.
            return {"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g", "5",
                    "-b:v", "50k", "-c:a", "aac", "-b:a", "32k", "-flvflags",
                    "add_keyframe_index"};
        case TestMedia::Kind::kH264AacLive:
            // A key frame every 1.5 s, so that a player joining a stream of it lands between two.
            return {"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g", "45",
                    "-b:v", "200k", "-c:a", "aac", "-b:a", "64k"};
        case TestMedia::Kind::kFlv1Mp3:
            return {"-c:v", "flv", "-b:v", "50k", "-c:a", "libmp3lame", "-b:a", "32k"};
        case TestMedia::Kind::kScreenVideoSpeex:
            return {"-c:v", "flashsv", "-c:a", "libspeex"};
        case TestMedia::Kind::kNellymoser:
            return {"-c:a", "nellymoser"};
        case TestMedia::Kind::kAdpcmStereo:
            return {"-c:a", "adpcm_swf"};
        case TestMedia::Kind::kPcmS16le:
            return {"-c:a", "pcm_s16le"};
        case TestMedia::Kind::kPcmU8:
            return {"-c:a", "pcm_u8"};
    }
    return {};
}

// Runs |arguments| with stdin, stdout and stderr on /dev/null; true when it exits with 0.
bool run(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return false;

    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct State {
    std::mutex mutex;
    std::string dir;                       // guarded by mutex
    std::map<Kind, std::string> made;      // guarded by mutex; "" when it could not be made
    std::map<Kind, std::string> reasons;   // guarded by mutex

    ~State() {
        if (dir.empty()) return;
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

State& state() {
    static State instance;
    return instance;
}

std::string tempDirLocked(State& s) {
    if (s.dir.empty()) {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != 0 ? base : "/tmp") +
                              "/zovozudo-media-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) s.dir = pattern;
    }
    return s.dir;
}

}  // namespace

std::vector<TestMedia::Kind> TestMedia::allKinds() {
    return std::vector<Kind>(std::begin(kKinds), std::end(kKinds));
}

const TestMedia::Description& TestMedia::describe(Kind kind) {
    return kDescriptions[static_cast<size_t>(kind)];
}

std::string TestMedia::ffmpegPath() {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t colon = dirs.find(':', start);
        if (colon == std::string::npos) colon = dirs.size();
        const std::string dir = dirs.substr(start, colon - start);
        const std::string candidate = (dir.empty() ? "." : dir) + "/ffmpeg";
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = colon + 1;
    }
    return "";
}

std::string TestMedia::tempDir() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return tempDirLocked(s);
}

std::string TestMedia::file(Kind kind) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const auto known = s.made.find(kind);
    if (known != s.made.end()) return known->second;

    std::string& made = s.made[kind];
    std::string& reason = s.reasons[kind];
    const std::string ffmpeg = ffmpegPath();
    if (ffmpeg.empty()) {
        reason = "needs ffmpeg";
        return made;
    }
    const std::string dir = tempDirLocked(s);
    if (dir.empty()) {
        reason = "cannot make a temp folder";
        return made;
    }

    const Description& d = describe(kind);
    const std::string out = dir + "/" + d.name + ".flv";
    const std::string seconds = std::to_string(d.seconds);
    std::vector<std::string> arguments = {ffmpeg, "-nostdin", "-hide_banner", "-loglevel",
                                          "error", "-y", "-threads", "1"};
    if (d.hasVideo) {
        arguments.insert(arguments.end(),
                         {"-f", "lavfi", "-i",
                          "testsrc=size=" + std::to_string(d.width) + "x" +
                              std::to_string(d.height) + ":rate=" +
                              std::to_string(static_cast<int>(d.frameRate)) +
                              ":duration=" + seconds});
    }
    if (d.hasAudio) {
        arguments.insert(arguments.end(),
                         {"-f", "lavfi", "-i",
                          "sine=frequency=440:sample_rate=" + std::to_string(d.sampleRate) +
                              ":duration=" + seconds,
                          "-ac", std::to_string(d.channels)});
    }
    const std::vector<std::string> codecs = codecArguments(kind);
    arguments.insert(arguments.end(), codecs.begin(), codecs.end());
    arguments.insert(arguments.end(), {"-f", "flv", out});

    std::error_code error;
    if (!run(arguments) || std::filesystem::file_size(out, error) == 0 || error) {
        reason = std::string("ffmpeg could not make ") + d.name;
        return made;
    }
    made = out;
    return made;
}

std::string TestMedia::missingReason(Kind kind) {
    file(kind);
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.reasons[kind];
}

}  // namespace testing_support
