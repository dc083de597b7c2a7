// Small real FLV files made by ffmpeg on first use: what real muxers write rather than what
// FlvWriter is told to write. Without ffmpeg file() is empty and the test skips. Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

class TestMedia {
  public:
    // kH264Aac has a key-frame index; kH264AacLive is what a live publisher sends.
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

    // As asked of ffmpeg: FLV codec ids, rates in Hz and bit/s (0: left to the encoder).
    struct Description {
        const char* name;
        bool hasVideo;
        uint32_t width, height;
        double frameRate;
        uint32_t videoCodecId, videoBitRate;
        bool hasAudio;
        uint32_t soundFormat, sampleRate, channels, audioBitRate;
        double seconds;
        const char* encoderArgs;
    };

    static std::vector<Kind> allKinds();
    static const Description& describe(Kind kind);

    static std::string file(Kind kind);           // empty when it cannot be made
    static std::string missingReason(Kind kind);  // why file(kind) is empty
    static std::string tempDir();                 // this process's folder for media
};

}  // namespace testing_support
