// What the codec configuration at the start of an H.264 or AAC stream says about the picture
// and the sound, for media whose metadata leaves it out (live servers, files without
// onMetaData).
//
// In FLV the configuration travels in the first video or audio tag of a stream:
//   video, codec 7: AVC packet type 0 (1 byte), composition time (3), then the AVC decoder
//     configuration record: version, profile, compatibility, level, length size (4 bytes),
//     SPS count (low 5 bits), each SPS as a 16-bit length and a NAL unit, then the PPSs.
//   audio, sound format 10: AAC packet type 0 (1 byte), then the AudioSpecificConfig.
//
// Both readers take untrusted bytes: they never read outside [data, data + size), and a record
// that is cut short or makes no sense gives false with |out| unchanged. Stateless; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace flv {

struct VideoConfiguration {
    uint32_t width = 0;    // pixels, after cropping
    uint32_t height = 0;   // pixels, after cropping
    double frameRate = 0;  // from the SPS's VUI timing; 0 when it has none
};

struct AudioConfiguration {
    uint32_t sampleRate = 0;  // hertz of the decoded sound (the SBR rate for HE-AAC)
    uint32_t channels = 0;    // 0 when the configuration leaves them to a program element
};

// Reads the first SPS of the AVC decoder configuration record in |data|. True when it gives a
// picture size.
bool readAvcConfiguration(const uint8_t* data, size_t size, VideoConfiguration* out);

// Reads the AudioSpecificConfig in |data|. True when it gives a sample rate.
bool readAudioSpecificConfig(const uint8_t* data, size_t size, AudioConfiguration* out);

}  // namespace flv
