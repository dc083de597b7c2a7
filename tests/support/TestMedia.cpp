#include "support/TestMedia.h"

#include <map>
#include <mutex>
#include <sstream>

#include "support/NginxServer.h"

namespace testing_support {

namespace {

using Kind = TestMedia::Kind;

const char* const kH264 = "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac";
// kH264Aac: a key frame every 5 frames, so that the key-frame index has more than one entry;
// kH264AacLive: every 1.5 s, so that a player joining a stream of it lands between two.
const TestMedia::Description kDescriptions[] = {
    {"h264_aac", true, 64, 48, 10, 7, 50000, true, 10, 22050, 1, 32000, 1,
     "-g 5 -b:v 50k -b:a 32k -flvflags add_keyframe_index"},
    {"flv1_mp3", true, 64, 48, 10, 2, 50000, true, 2, 22050, 1, 32000, 1,
     "-c:v flv -b:v 50k -c:a libmp3lame -b:a 32k"},
    {"screen_speex", true, 64, 48, 10, 3, 0, true, 11, 16000, 1, 0, 1,
     "-c:v flashsv -c:a libspeex"},
    {"nellymoser", false, 0, 0, 0, 0, 0, true, 6, 22050, 1, 0, 1, "-c:a nellymoser"},
    {"adpcm_stereo", false, 0, 0, 0, 0, 0, true, 1, 44100, 2, 0, 1, "-c:a adpcm_swf"},
    {"pcm_s16le", false, 0, 0, 0, 0, 0, true, 3, 11025, 1, 0, 1, "-c:a pcm_s16le"},
    {"pcm_u8", false, 0, 0, 0, 0, 0, true, 0, 11025, 1, 0, 1, "-c:a pcm_u8"},
    {"h264_aac_live", true, 640, 360, 30, 7, 200000, true, 10, 44100, 2, 64000, 2,
     "-g 45 -b:v 200k -b:a 64k"},
};

std::mutex mutex;
std::map<Kind, std::pair<std::string, std::string>> made;  // path or "", and why not

}  // namespace

std::vector<Kind> TestMedia::allKinds() {
    std::vector<Kind> kinds;
    for (size_t i = 0; i < std::size(kDescriptions); ++i) kinds.push_back(static_cast<Kind>(i));
    return kinds;
}

const TestMedia::Description& TestMedia::describe(Kind kind) {
    return kDescriptions[static_cast<size_t>(kind)];
}

std::string TestMedia::tempDir() {
    static TempDir dir;
    return dir.file("").substr(0, dir.file("").size() - 1);
}

std::string TestMedia::file(Kind kind) {
    std::lock_guard<std::mutex> lock(mutex);
    if (made.count(kind) != 0) return made[kind].first;
    auto& [path, reason] = made[kind];
    const Description& d = describe(kind);
    const std::string out = tempDir() + "/" + d.name + ".flv", seconds = std::to_string(d.seconds);
    std::ostringstream command;
    command << "-nostdin -loglevel error -threads 1 ";
    if (d.hasVideo)
        command << "-f lavfi -i testsrc=size=" << d.width << "x" << d.height
                << ":rate=" << d.frameRate << ":duration=" << seconds;
    command << " -f lavfi -i sine=sample_rate=" << d.sampleRate << ":duration=" << seconds
            << " -ac " << d.channels << " " << (d.videoCodecId == 7 ? kH264 : "") << " "
            << d.encoderArgs;
    std::vector<std::string> args = {findExecutable("ffmpeg")};
    std::istringstream split(command.str());
    for (std::string arg; split >> arg;) args.push_back(arg);
    args.insert(args.end(), {"-f", "flv", out});
    if (!args[0].empty() && waitChild(spawnChild(args))) return path = out;
    reason = args[0].empty() ? "needs ffmpeg" : std::string("ffmpeg could not make ") + d.name;
    return path;
}

std::string TestMedia::missingReason(Kind kind) {
    file(kind);
    std::lock_guard<std::mutex> lock(mutex);
    return made[kind].second;
}

}  // namespace testing_support
