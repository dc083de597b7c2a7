// The H.264 SPS and AAC AudioSpecificConfig readers, on records in buffers of exactly their size
// (ASan sees any read past them), well-formed, cut short or damaged.
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "flv/CodecConfiguration.h"
#include "support/FlvWriter.h"

using testing_support::avcConfigurationRecord;

namespace {

template <typename Config, typename Reader>
bool readExact(Reader read, const std::string& bytes, Config* out) {
    const std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), copy.get());
    return read(bytes.empty() ? nullptr : copy.get(), bytes.size(), out);
}

// "width height rate" from an AVC record made of |fields|, "rate channels" from the bits of
// |fields| when they are "bits:value ..."; "" when refused, "written" when refused but changed.
std::string read(const std::string& fields) {
    std::ostringstream out;
    out.precision(10);
    if (fields.find(':') == std::string::npos) {
        flv::VideoConfiguration video;
        video.width = 7;
        if (readExact(flv::readAvcConfiguration, avcConfigurationRecord(fields), &video))
            out << video.width << " " << video.height << " " << video.frameRate;
        else if (video.width != 7 || video.height != 0 || video.frameRate != 0)
            out << "written";
        return out.str();
    }
    testing_support::BitWriter bits;
    std::istringstream in(fields);
    for (unsigned width, value; in >> width && in.ignore() >> value;) bits.u(width, value);
    flv::AudioConfiguration audio;
    audio.channels = 9;
    if (readExact(flv::readAudioSpecificConfig, bits.bytes(), &audio))
        out << audio.sampleRate << " " << audio.channels;
    else if (audio.sampleRate != 0 || audio.channels != 9)
        out << "written";
    return out.str();
}

// AVC rows: 4:2:0 crops pairs of lines and 4:2:2 pairs of columns, 4:4:4 and monochrome single
// ones; interlaced map units are field pairs. AAC rows: object type 5 and 29 (HE-AAC) give the
// SBR rate, 31 escapes to six more bits; channel configuration 0 and reserved ones are 0.
TEST(CodecConfigurationTest, SizeRateAndChannels) {
    std::istringstream rows(
        " | 640 368 0; crop=0,0,0,4 tick=1 scale=60 | 640 360 30; "
        "tick=1001 scale=60000 | 640 368 29.97002997; "
        "profile=100 lists width=120 height=68 crop=0,0,0,4 tick=1 scale=50 | 1920 1080 25; "
        "profile=244 chroma=3 lists crop=1,2,3,4 | 637 361 0; "
        "profile=244 chroma=3 planes crop=1,0,0,1 | 639 367 0; "
        "profile=122 chroma=2 crop=1,1,1,1 | 636 366 0; profile=100 chroma=0 crop=1,1,1,1 | 638 "
        "366 0; interlaced height=34 crop=0,0,0,2 | 640 1080 0; poc=1 | 640 368 0; "
        "poc=2 | 640 368 0; poc=3 | ; profile=100 chroma=4 | ; crop=160,160,0,0 | ; "
        "crop=160,159,0,0 | 2 368 0; width=4096 | 65536 368 0; width=4097 | ; "
        "5:2 4:4 4:2 | 44100 2; 5:2 4:3 4:1 | 48000 1; 5:2 4:12 4:6 | 7350 6; "
        "5:2 4:15 24:44056 4:2 | 44056 2; 5:5 4:6 4:2 4:3 5:2 | 48000 2; "
        "5:29 4:8 4:1 4:15 24:32000 5:2 | 32000 1; 5:31 6:10 4:7 4:7 | 22050 8; "
        "5:2 4:4 4:0 | 44100 0; 5:2 4:4 4:9 | 44100 0; 5:2 4:13 4:2 | ; 5:2 4:15 24:0 4:2 | ; "
        "5:2 4:15 10:1 | ; 5:2 4:4 2:0 | 44100 0; 5:5 4:6 4:2 2:0 | ; 0:0 | ");
    for (std::string row; std::getline(rows >> std::ws, row, ';');) {
        const size_t bar = row.find('|');
        EXPECT_EQ(row.substr(std::min(row.size(), bar + 2)), read(row.substr(0, bar))) << row;
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

}  // namespace
