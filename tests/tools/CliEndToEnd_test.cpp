// zovozudo on the real plug-in and real FLV files made by ffmpeg, checked against the files
// themselves: the tags are parsed here independently of the plug-in's reader.
#include <zlib.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "support/FlvWriter.h"
#include "support/TestMedia.h"
#include "tools/CliRunner.h"

namespace cli_testing {
namespace {

using testing_support::TestMedia;

constexpr uint8_t kAudioTag = 8;
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

// The codec id after the reader's remapping: ids 2 to 7 stay, every other becomes 4.
unsigned videoCodecOf(const Tag& tag) {
    const unsigned id = static_cast<uint8_t>(tag.data[0]) & 15;
    return id >= 2 && id <= 7 ? id : 4;
}

// The audio or video header bytes in front of the payload: two for video codec 4, else one.
size_t headerBytesOf(const Tag& tag) {
    if (tag.type == kAudioTag) return 1;
    return videoCodecOf(tag) == 4 ? 2 : 1;
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
    const double frameRate = TestMedia::describe(GetParam()).frameRate;
    std::vector<std::string> expected = {"type,timestamp_us,duration_ms,key,size,crc32"};
    for (size_t i = 1; i < tags_.size(); ++i) {
        expected.push_back(expectedFrameLine(tags_[i], frameRate));
    }
    const CliResult result = runCli({"frames", path_});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(splitLines(result.out), expected);
    const std::string frameCount = std::to_string(tags_.size() - 1) + " frames";
    EXPECT_EQ(result.err.rfind(frameCount, 0), 0u) << result.err;
}

// How the metadata is read is checked in flv_tests and how it is described in plugin_tests;
// here the description of a real file reaches the output, for a path and for a file:// URL.
TEST_P(CliEndToEndTest, ProbeJsonDescribesTheMedium) {
    const TestMedia::Description& asked = TestMedia::describe(GetParam());
    const CliResult plain = runCli({"probe", "--json", path_});
    ASSERT_EQ(plain.status, 0) << plain.err;
    std::vector<std::string> fields = {"\"sample_rate\": " + std::to_string(asked.sampleRate)};
    if (asked.hasVideo) {
        fields.push_back("\"width\": " + std::to_string(asked.width));
        fields.push_back("\"height\": " + std::to_string(asked.height));
    }
    for (const std::string& field : fields) {
        EXPECT_NE(plain.out.find(field), std::string::npos) << field << " in " << plain.out;
    }
    EXPECT_EQ(plain.out.find("\"video\"") != std::string::npos, asked.hasVideo) << plain.out;
    EXPECT_EQ(runCli({"probe", "--json", "file://" + path_}).out, plain.out);
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
