// Small real FLV files made with ffmpeg on first use, for tests that want what real muxers write
// rather than what FlvWriter is told to write; about one second and a few kB each, in a temp
// folder of this process. Where ffmpeg is missing file() is empty and the test skips. Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

class TestMedia {
  public:
    // kH264Aac has a key-frame index in onMetaData; kH264AacLive, 640x360 (cropped from 368)
    // at 30 fps and two seconds long, is what a live publisher sends.
    enum class Kind {
        kH264Aac,
        kFlv1Mp3,
        kScreenVideoSpeex,
        kNellymoser,
        kAdpcmStereo,
        kPcmS16le,
        kPcmU8,
        kH264AacLive
    };

    // What a file of a kind holds, as asked of ffmpeg: FLV codec ids as written, rates in hertz
    // and bits per second (0 when left to the encoder).
    struct Description {
        const char* name;
        bool hasVideo;
        uint32_t width, height;
        double frameRate;
        uint32_t videoCodecId, videoBitRate;
        bool hasAudio;
        uint32_t soundFormat, sampleRate, channels, audioBitRate;
        double seconds;
    };

    static std::vector<Kind> allKinds();
    static const Description& describe(Kind kind);

    // The file's path, made on first use; empty when it cannot be made.
    static std::string file(Kind kind);
    // Why file(kind) is empty ("needs ffmpeg", ...); empty when it is not.
    static std::string missingReason(Kind kind);

    // ffmpeg's path found through PATH, or empty.
    static std::string ffmpegPath();
    // This process's temp folder for media, made on first use.
    static std::string tempDir();
};

}  // namespace testing_support
