// The H.264 SPS and AAC AudioSpecificConfig readers: picture sizes with cropping in every chroma
// format, scaling lists, frame rates from VUI timing, sample rates in every form, and records
// cut short or damaged (run under ASan: every record sits in a buffer of exactly its size).
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "flv/CodecConfiguration.h"
#include "support/FlvWriter.h"

using testing_support::avcConfigurationRecord;
using testing_support::BitWriter;

namespace {

template <typename Config, typename Reader>
bool readExact(Reader read, const std::string& bytes, Config* out) {
    const std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), copy.get());
    return read(bytes.empty() ? nullptr : copy.get(), bytes.size(), out);
}

TEST(CodecConfigurationTest, AvcPictureSizeAndRate) {
    const struct {
        const char* fields;
        bool ok;
        uint32_t width, height;
        double frameRate;
    } cases[] = {
        {"", true, 640, 368, 0},
        {"crop=0,0,0,4 tick=1 scale=60", true, 640, 360, 30},  // 4:2:0 crops pairs of lines
        {"tick=1001 scale=60000", true, 640, 368, 60000 / 2002.0},
        {"profile=100 lists width=120 height=68 crop=0,0,0,4 tick=1 scale=50", true, 1920, 1080,
         25},
        {"profile=244 chroma=3 lists crop=1,2,3,4", true, 637, 361, 0},  // 4:4:4 crops single
        {"profile=244 chroma=3 planes crop=1,0,0,1", true, 639, 367, 0},
        {"profile=122 chroma=2 crop=1,1,1,1", true, 636, 366, 0},   // columns in pairs
        {"profile=100 chroma=0 crop=1,1,1,1", true, 638, 366, 0},   // monochrome
        {"interlaced height=34 crop=0,0,0,2", true, 640, 1080, 0},  // map units: field pairs
        {"poc=1", true, 640, 368, 0},
        {"poc=2", true, 640, 368, 0},
        {"poc=3", false, 0, 0, 0},
        {"profile=100 chroma=4", false, 0, 0, 0},
        {"crop=160,160,0,0", false, 0, 0, 0},  // nothing left
        {"crop=160,159,0,0", true, 2, 368, 0},
        {"width=4096", true, 65536, 368, 0},
        {"width=4097", false, 0, 0, 0}};
    for (const auto& c : cases) {
        flv::VideoConfiguration video;
        video.width = 7;
        SCOPED_TRACE(c.fields);
        EXPECT_EQ(c.ok,
                  readExact(flv::readAvcConfiguration, avcConfigurationRecord(c.fields), &video));
        EXPECT_EQ(c.ok ? c.width : 7, video.width);
        EXPECT_EQ(c.height, video.height);
        EXPECT_DOUBLE_EQ(c.frameRate, video.frameRate);
    }
}

// Cut anywhere before the SPS's last bit, damaged anywhere: no read outside the record, and
// a cut record gives no size.
TEST(CodecConfigurationTest, AvcRecordCutOrDamaged) {
    // The timing's 00 00 00 01 needs emulation prevention.
    const std::string record =
        avcConfigurationRecord("profile=100 lists crop=0,0,0,4 tick=1 scale=60");
    const size_t spsEnd = 8 + ((uint8_t(record[6]) << 8) | uint8_t(record[7]));
    flv::VideoConfiguration video;
    for (size_t cut = 0; cut < record.size(); ++cut) {
        EXPECT_EQ(cut >= spsEnd,
                  readExact(flv::readAvcConfiguration, record.substr(0, cut), &video))
            << cut;
        for (uint8_t value : {0x00, 0x03, 0x1F, 0x80, 0xFF}) {
            std::string damaged = record;
            damaged[cut] = static_cast<char>(value);
            readExact(flv::readAvcConfiguration, damaged, &video);
        }
    }
    for (const std::string& hostile :
         {std::string("\x01\x64\x00\x1F\xFF\xE0", 6) + record.substr(6),  // no SPS
          record.substr(0, 6) + "\xFF\xFF" + record.substr(8),            // length past the end
          "\x02" + record.substr(1),                                      // version 2
          record.substr(0, 8) + "\x68" + record.substr(9)}) {             // a PPS, not an SPS
        EXPECT_FALSE(readExact(flv::readAvcConfiguration, hostile, &video));
    }
}

TEST(CodecConfigurationTest, AudioSpecificConfig) {
    const struct {
        const char* what;
        BitWriter bits;
        bool ok;
        uint32_t sampleRate, channels;
    } cases[] = {
        {"AAC-LC 44.1 kHz stereo", BitWriter().u(5, 2).u(4, 4).u(4, 2), true, 44100, 2},
        {"48 kHz mono", BitWriter().u(5, 2).u(4, 3).u(4, 1), true, 48000, 1},
        {"7350 Hz, 5.1", BitWriter().u(5, 2).u(4, 12).u(4, 6), true, 7350, 6},
        {"explicit frequency", BitWriter().u(5, 2).u(4, 15).u(24, 44056).u(4, 2), true, 44056, 2},
        {"HE-AAC: the SBR rate", BitWriter().u(5, 5).u(4, 6).u(4, 2).u(4, 3).u(5, 2), true, 48000,
         2},
        {"HE-AACv2, explicit SBR rate",
         BitWriter().u(5, 29).u(4, 8).u(4, 1).u(4, 15).u(24, 32000).u(5, 2), true, 32000, 1},
        {"escaped object type", BitWriter().u(5, 31).u(6, 10).u(4, 7).u(4, 7), true, 22050, 8},
        {"channels from a program element", BitWriter().u(5, 2).u(4, 4).u(4, 0), true, 44100, 0},
        {"reserved channel configuration", BitWriter().u(5, 2).u(4, 4).u(4, 9), true, 44100, 0},
        {"reserved frequency index", BitWriter().u(5, 2).u(4, 13).u(4, 2), false, 0, 0},
        {"explicit frequency 0", BitWriter().u(5, 2).u(4, 15).u(24, 0).u(4, 2), false, 0, 0},
        {"cut inside the explicit frequency", BitWriter().u(5, 2).u(4, 15).u(10, 1), false, 0, 0},
        {"cut inside the channels", BitWriter().u(5, 2).u(4, 4).u(2, 0), true, 44100, 0},
        {"cut inside the SBR rate", BitWriter().u(5, 5).u(4, 6).u(4, 2).u(2, 0), false, 0, 0},
        {"empty", BitWriter(), false, 0, 0}};
    for (const auto& c : cases) {
        flv::AudioConfiguration audio;
        audio.channels = 9;
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.ok, readExact(flv::readAudioSpecificConfig, c.bits.bytes(), &audio));
        EXPECT_EQ(c.sampleRate, audio.sampleRate);
        EXPECT_EQ(c.ok ? c.channels : 9, audio.channels);
    }
}

}  // namespace
