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
    enum class Kind {
        kH264Aac,           // H.264 (7) + AAC (10), with a key-frame index in onMetaData
        kFlv1Mp3,           // Sorenson Spark (2) + MP3 (2)
        kScreenVideoSpeex,  // Screen video (3) + Speex (11)
        kNellymoser,        // audio only, Nellymoser (6)
        kAdpcmStereo,       // audio only, ADPCM (1), stereo 44.1 kHz
        kPcmS16le,          // audio only, PCM little-endian (3), 16-bit
        kPcmU8,             // audio only, PCM platform-endian (0), 8-bit
        kH264AacLive,       // H.264 640x360 (cropped from 368) 30 fps + AAC 44.1 kHz stereo,
                            // what a live publisher sends; two seconds
    };

    // What a file of a kind holds, as asked of ffmpeg.
    struct Description {
        const char* name;
        bool hasVideo;
        uint32_t width, height;
        double frameRate;
        uint32_t videoCodecId;  // FLV codec id as written
        uint32_t videoBitRate;  // bits per second asked for, 0 when left to the encoder
        bool hasAudio;
        uint32_t soundFormat;  // FLV sound format as written
        uint32_t sampleRate;   // hertz
        uint32_t channels;
        uint32_t audioBitRate;  // bits per second asked for, 0 when left to the encoder
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
