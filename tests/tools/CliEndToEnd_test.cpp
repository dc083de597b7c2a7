// zovozudo on the real plug-in and real FLV files made by ffmpeg, checked against the files
// themselves: the tags are parsed here independently of the plug-in's reader.
#include <zlib.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>

#include "host/RecordingHost.h"
#include "support/FlvWriter.h"
#include "support/TestMedia.h"
#include "tools/CliRunner.h"

namespace cli_testing {
namespace {

using testing_support::TestMedia;

constexpr uint8_t kAudioTag = 8;
constexpr uint8_t kVideoTag = 9;
constexpr uint8_t kScriptTag = 18;

struct Tag {
    uint8_t type;
    uint32_t timestamp;  // milliseconds
    std::string data;    // audio/video header bytes included
};

uint32_t bigEndian(const std::string& bytes, size_t at, size_t count) {
    uint32_t value = 0;
    for (size_t i = 0; i < count; ++i) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
    return value;
}

std::vector<Tag> parseTags(const std::string& file) {
    std::vector<Tag> tags;
    EXPECT_EQ(file.compare(0, 3, "FLV"), 0);
    size_t at = bigEndian(file, 5, 4) + 4;  // behind the header and the first back-pointer
    while (at + 11 <= file.size()) {
        const uint32_t size = bigEndian(file, at + 1, 3);
        const uint32_t timestamp = bigEndian(file, at + 4, 3) | bigEndian(file, at + 7, 1) << 24;
        if (at + 11 + size > file.size()) break;
        tags.push_back({static_cast<uint8_t>(file[at]), timestamp, file.substr(at + 11, size)});
        at += 11 + size + 4;
    }
    return tags;
}

// The number entries of an onMetaData tag with their keys lowered, in order. The plug-in reads
// the entries only up to the first nested object or array, and so does this.
std::vector<std::pair<std::string, double>> metadataNumbers(const std::string& payload) {
    std::vector<std::pair<std::string, double>> numbers;
    size_t at = 0;
    if (payload.size() < 3 || payload[0] != 2) return numbers;
    at = 3 + bigEndian(payload, 1, 2);
    if (at + 5 > payload.size() || payload[at] != 8) return numbers;
    at += 5;
    while (at + 3 <= payload.size()) {
        const size_t keyLength = bigEndian(payload, at, 2);
        std::string key = payload.substr(at + 2, keyLength);
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        at += 2 + keyLength;
        if (at >= payload.size()) break;
        const uint8_t type = static_cast<uint8_t>(payload[at]);
        if (type == 0 && at + 9 <= payload.size()) {
            uint64_t bits = static_cast<uint64_t>(bigEndian(payload, at + 1, 4)) << 32 |
                            bigEndian(payload, at + 5, 4);
            double value;
            std::memcpy(&value, &bits, sizeof(value));
            numbers.emplace_back(key, value);
            at += 9;
        } else if (type == 1) {
            at += 2;
        } else if (type == 2) {
            at += 3 + bigEndian(payload, at + 1, 2);
        } else {
            break;
        }
    }
    return numbers;
}

// What the metadata and the first audio and video tags say about a medium, in the units the
// host is told.
struct Expected {
    uint32_t durationMs = 0, width = 0, height = 0, videoBitRate = 0, videoCodec = 0;
    double frameRate = 0;
    uint32_t audioBitRate = 0, audioCodec = 0, sampleRate = 0, channels = 0;
    const Tag* firstAudio = nullptr;
    const Tag* firstVideo = nullptr;
};

// The codec id after the reader's remapping: ids 2 to 7 stay, every other becomes 4.
unsigned videoCodecOf(const Tag& tag) {
    const unsigned id = static_cast<uint8_t>(tag.data[0]) & 15;
    return id >= 2 && id <= 7 ? id : 4;
}

// The sound format after the reader's remapping: 0, 1, 2, 5 and 6 stay, every other becomes 2.
unsigned soundFormatOf(const Tag& tag) {
    const unsigned format = static_cast<uint8_t>(tag.data[0]) >> 4;
    return format <= 2 || format == 5 || format == 6 ? format : 2;
}

// The audio or video header bytes in front of the payload: two for video codec 4, else one.
size_t headerBytesOf(const Tag& tag) {
    if (tag.type == kAudioTag) return 1;
    return videoCodecOf(tag) == 4 ? 2 : 1;
}

Expected expectationsFor(const std::vector<Tag>& tags) {
    Expected e;
    for (const Tag& tag : tags) {
        if (tag.type != kScriptTag) continue;
        for (const auto& [key, value] : metadataNumbers(tag.data)) {
            const auto whole = [&] { return static_cast<uint32_t>(value); };
            const auto thousandfold = [&] { return static_cast<uint32_t>(value * 1000); };
            if (key == "duration" || key == "totalduration") e.durationMs = thousandfold();
            if (key == "lasttimestamp" && e.durationMs == 0) e.durationMs = thousandfold();
            if (key == "width") e.width = whole();
            if (key == "height") e.height = whole();
            if (key == "videodatarate") e.videoBitRate = thousandfold();
            if (key == "videocodecid") e.videoCodec = whole();
            if (key == "framerate" || key == "videoframerate") e.frameRate = value;
            if (key == "audiodatarate") e.audioBitRate = thousandfold();
            if (key == "audiocodecid") e.audioCodec = whole();
            if (key == "audiosamplerate" || key == "samplerate") e.sampleRate = whole();
            if (key == "audiochannels" || key == "channels") e.channels = whole();
        }
    }
    for (const Tag& tag : tags) {
        // A tag whose payload behind its header bytes is a byte or less tells nothing.
        if (tag.data.size() <= headerBytesOf(tag) + 1) continue;
        if (tag.type == kAudioTag && e.firstAudio == nullptr) e.firstAudio = &tag;
        if (tag.type == kVideoTag && e.firstVideo == nullptr) e.firstVideo = &tag;
    }
    if (e.firstAudio != nullptr) {
        const uint8_t flags = static_cast<uint8_t>(e.firstAudio->data[0]);
        static const uint32_t kRates[] = {5500, 11025, 22050, 44100};
        if (e.sampleRate == 0) e.sampleRate = kRates[flags >> 2 & 3];
        if (e.audioCodec == 0) e.audioCodec = soundFormatOf(*e.firstAudio);
        if (e.channels == 0) e.channels = (flags & 1) != 0 ? 2 : 1;
    }
    if (e.firstVideo != nullptr && e.videoCodec == 0) e.videoCodec = videoCodecOf(*e.firstVideo);
    return e;
}

const char* videoCodecName(uint32_t id) {
    switch (id) {
        case 2:
            return "svq";
        case 4:
        case 5:
            return "vp6f";
        case 7:
            return "h264";
        default:
            return "flv";
    }
}

// The JSON that probe --json should print for the file.
std::string expectedJson(const Expected& e) {
    host::RecordingMedium medium("", "");
    host::RecordingStreamDescription stream;
    stream.setFormat("flv");
    medium.setDuration(e.durationMs);
    medium.setFirstFlag(0);
    medium.setSecondFlag(1);
    if (e.firstVideo != nullptr) {
        stream.video.setWidth(e.width);
        stream.video.setHeight(e.height);
        stream.video.setBitRate(e.videoBitRate);
        stream.video.setFrameRate(e.frameRate);
        stream.video.setCodec(videoCodecName(e.videoCodec));
    }
    if (e.firstAudio != nullptr) {
        stream.audio.setSampleRate(e.sampleRate);
        stream.audio.setChannels(e.channels);
        stream.audio.setBitRate(e.audioBitRate);
        if (e.audioCodec <= 1) {
            stream.audio.setCodec("raw");
            stream.audio.setRawVariant(static_cast<int>(e.audioCodec));
        } else if (e.audioCodec == 2) {
            stream.audio.setCodec("mp3");
        } else if (e.audioCodec == 5 || e.audioCodec == 6) {
            stream.audio.setCodec("nellymoser");
        }
        const bool sixteenBit = (static_cast<uint8_t>(e.firstAudio->data[0]) >> 1 & 1) != 0;
        stream.audio.setBitsPerSample(sixteenBit ? 16 : 8);
    }
    return host::describeAsJson(medium, stream) + "\n";
}

// The CSV line of `frames` for one audio or video tag: the payload behind the header bytes,
// video durations from the frame rate, 10 ms otherwise.
std::string expectedFrameLine(const Tag& tag, double frameRate) {
    const bool video = tag.type != kAudioTag;
    const std::string payload = tag.data.substr(std::min(headerBytesOf(tag), tag.data.size()));
    uint64_t duration = video && frameRate != 0 ? static_cast<uint64_t>(1000 / frameRate) : 0;
    if (duration == 0) duration = 10;
    const bool key = !video || static_cast<uint8_t>(tag.data[0]) >> 4 == 1;
    const uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(payload.data()),
                            static_cast<uInt>(payload.size()));
    char line[128];
    std::snprintf(line, sizeof(line), "%s,%llu,%llu,%d,%zu,%08lx", video ? "video" : "audio",
                  static_cast<unsigned long long>(tag.timestamp) * 1000,
                  static_cast<unsigned long long>(duration), key ? 1 : 0, payload.size(),
                  static_cast<unsigned long>(crc));
    return line;
}

class CliEndToEndTest : public ::testing::TestWithParam<TestMedia::Kind> {
  protected:
    void SetUp() override {
        path_ = TestMedia::file(GetParam());
        if (path_.empty()) GTEST_SKIP() << TestMedia::missingReason(GetParam());
        tags_ = parseTags(TempDir::read(path_));
        ASSERT_FALSE(tags_.empty());
        // The expectations below hold for files whose only script tag is the first tag and
        // that have no empty tag, as ffmpeg writes them.
        ASSERT_EQ(tags_.front().type, kScriptTag);
        for (size_t i = 1; i < tags_.size(); ++i) {
            ASSERT_NE(tags_[i].type, kScriptTag) << "tag " << i;
            ASSERT_FALSE(tags_[i].data.empty()) << "tag " << i;
        }
    }

    std::string path_;
    std::vector<Tag> tags_;
};

TEST_P(CliEndToEndTest, FramesListsEveryAudioAndVideoTagOnceInOrder) {
    const Expected e = expectationsFor(tags_);
    std::vector<std::string> expected = {"type,timestamp_us,duration_ms,key,size,crc32"};
    for (size_t i = 1; i < tags_.size(); ++i) {
        expected.push_back(expectedFrameLine(tags_[i], e.frameRate));
    }
    const CliResult result = runCli({"frames", path_});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(splitLines(result.out), expected);
    const std::string frameCount = std::to_string(tags_.size() - 1) + " frames";
    EXPECT_EQ(result.err.rfind(frameCount, 0), 0u) << result.err;
}

TEST_P(CliEndToEndTest, ProbeJsonSaysWhatTheMetadataSays) {
    const Expected e = expectationsFor(tags_);
    const TestMedia::Description& asked = TestMedia::describe(GetParam());
    ASSERT_EQ(e.firstVideo != nullptr, asked.hasVideo);
    ASSERT_EQ(e.firstAudio != nullptr, asked.hasAudio);
    if (asked.hasVideo) {
        EXPECT_EQ(e.width, asked.width);
        EXPECT_EQ(e.height, asked.height);
        EXPECT_EQ(e.frameRate, asked.frameRate);
    }
    if (asked.hasAudio) {
        EXPECT_EQ(e.sampleRate, asked.sampleRate);
    }

    const CliResult plain = runCli({"probe", "--json", path_});
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(plain.out, expectedJson(e));
    const CliResult url = runCli({"probe", "--json", "file://" + path_});
    EXPECT_EQ(url.out, plain.out);
}

std::string kindName(const ::testing::TestParamInfo<TestMedia::Kind>& kind) {
    return TestMedia::describe(kind.param).name;
}

INSTANTIATE_TEST_SUITE_P(FfmpegFiles, CliEndToEndTest, ::testing::ValuesIn(TestMedia::allKinds()),
                         kindName);

class CliFailureTest : public ::testing::Test {
  protected:
    TempDir dir_;
};

TEST_F(CliFailureTest, AMediumThatCannotBeOpenedGivesThePluginsErrorAndStatusOne) {
    using testing_support::FlvWriter;
    struct Case {
        const char* name;
        std::string bytes;  // empty: no file at all
        const char* printed;
    };
    const Case cases[] = {
        {"missing.flv", "", "error 404: File could not be found.\n"},
        {"header-only.flv", FlvWriter().header().bytes(), "error 2: (no message)\n"},
        {"script-only.flv",
         FlvWriter()
             .header()
             .tag(kScriptTag, testing_support::onMetaData({{"duration", 1}}))
             .trailer()
             .bytes(),
         "error 2: (no message)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path =
            c.bytes.empty() ? dir_.path() + "/" + c.name : dir_.write(c.name, c.bytes);
        for (const char* command : {"probe", "frames", "read"}) {
            const CliResult result = runCli({command, path});
            EXPECT_EQ(result.status, 1) << command;
            EXPECT_EQ(result.err, c.printed) << command;
            EXPECT_EQ(result.out, "") << command;
        }
    }
}

// The level set by log-level is the one the plug-in's log obeys: nothing is logged for a good
// file at the default level, and INFO lines (the opening of the file, for one) at level 3.
TEST_F(CliFailureTest, LogLevelSetsTheLevelThePluginLogsAt) {
    const std::string file = TestMedia::file(TestMedia::Kind::kH264Aac);
    if (file.empty()) GTEST_SKIP() << TestMedia::missingReason(TestMedia::Kind::kH264Aac);
    CliOptions sandbox;
    sandbox.environment = {"ZOVOZUDO_REGISTRY_DIR=" + dir_.path() + "/registry",
                           "ZOVOZUDO_APPDATA_DIR=" + dir_.path() + "/appdata"};
    const std::string log = dir_.path() + "/appdata/Dessaro/Logs/ZOVOzudo.log";

    EXPECT_EQ(runCli({"log-level"}, sandbox).out,
              "LogLevel is not set: the plug-in logs at 1 (ERROR)\n");
    ASSERT_EQ(runCli({"probe", file}, sandbox).status, 0);
    EXPECT_EQ(TempDir::read(log), "");

    const CliResult set = runCli({"log-level", "3"}, sandbox);
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.out, "LogLevel set to 3 (INFO)\n");
    EXPECT_EQ(runCli({"log-level"}, sandbox).out, "LogLevel is 3 (INFO)\n");
    ASSERT_EQ(runCli({"probe", file}, sandbox).status, 0);
    EXPECT_NE(TempDir::read(log).find("[INFO ] - "), std::string::npos) << TempDir::read(log);
}

}  // namespace
}  // namespace cli_testing
