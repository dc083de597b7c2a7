// zovozudo on the real plug-in and real FLV files made by ffmpeg, checked against the files
// themselves: the tags are parsed here independently of the plug-in's reader.
#include <zlib.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "support/FlvWriter.h"
#include "support/ScriptedHttpServer.h"
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

// The real plug-in with its settings and log in a folder of the test's own.
class CliFailureTest : public ::testing::Test {
  protected:
    CliFailureTest() {
        sandbox_.environment = {"ZOVOZUDO_REGISTRY_DIR=" + registry(),
                                "ZOVOZUDO_APPDATA_DIR=" + dir_.path() + "/appdata"};
    }
    CliResult run(const std::vector<std::string>& args) { return runCli(args, sandbox_); }
    std::string registry() const { return dir_.path() + "/registry"; }
    std::string log() const { return dir_.path() + "/appdata/Dessaro/Logs/ZOVOzudo.log"; }
    std::string logSays() const { return "the plug-in's log (" + log() + ") says:\n  "; }

    TempDir dir_;
    CliOptions sandbox_;
};

TEST_F(CliFailureTest, AMediumThatCannotBeOpenedGivesThePluginsErrorAndStatusOne) {
    using testing_support::FlvWriter;
    const std::string nothingToPlay =
        "error 2: the medium holds no FLV header, or no audio or video tag in what the plug-in "
        "examined\nthe plug-in's log may tell more: " +
        log() + " ('zovozudo log-level 4' makes it log everything)\n";
    struct Case {
        const char* name;
        std::string bytes;  // empty: no file at all
        std::string printed;
    };
    const Case cases[] = {
        {"missing.flv", "", "error 404: File could not be found.\n"},
        {"header-only.flv", FlvWriter().header().bytes(), nothingToPlay},
        {"text.flv", "just some text\n", nothingToPlay},
        {"script-only.flv",
         FlvWriter()
             .header()
             .tag(kScriptTag, testing_support::onMetaData({{"duration", 1}}))
             .trailer()
             .bytes(),
         nothingToPlay},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path =
            c.bytes.empty() ? dir_.path() + "/" + c.name : dir_.write(c.name, c.bytes);
        for (const char* command : {"probe", "frames", "read"}) {
            const CliResult result = run({command, path});
            EXPECT_EQ(result.status, 1) << command;
            EXPECT_EQ(result.err, c.printed) << command;
            EXPECT_EQ(result.out, "") << command;
        }
    }
}

// The plug-in tells the host only "Server error."; the reason is in its log, and shown.
TEST_F(CliFailureTest, AnHttpFailureShowsTheReasonFromThePluginsLog) {
    const struct {
        const char* head;
        const char* reason;
    } cases[] = {
        {"HTTP/1.1 503 Service Unavailable\r\n", "HTTPClient::open"},
        {"HTTP/1.1 403 Forbidden\r\n", "HTTPClient::open"},
        {"HTTP/1.1 302 Found\r\nLocation: file:///etc/passwd\r\n",
         "redirect to file:///etc/passwd refused"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.head);
        testing_support::ScriptedHttpServer server(
            [&](const testing_support::HttpRequest&, testing_support::HttpConnection& connection) {
                connection.send(std::string(c.head) +
                                "Content-Length: 0\r\nConnection: close\r\n\r\n");
            });
        const CliResult result = run({"probe", server.url("/a.flv")});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err.rfind("error 404: HTTP input: Server error.\n" + logSays(), 0), 0u)
            << result.err;
        EXPECT_NE(result.err.find(c.reason), std::string::npos) << result.err;
    }
}

// Ctrl-C while the plug-in waits for a server that sends nothing more, in the open and in the
// read: the play ends within the bound, through the plug-in's own close.
TEST_F(CliFailureTest, CtrlCEndsAStalledPlayWithinASecond) {
    using testing_support::FlvWriter;
    ASSERT_EQ(run({"log-level", "3"}).status, 0);  // INFO, for the close
    const std::string start = FlvWriter()
                                  .header()
                                  .tag(9, std::string("\x17\x01\0\0\0\x01", 6))
                                  .tag(kAudioTag, std::string("\xaf\x01\x01", 3))
                                  .bytes();
    for (const bool stallInOpen : {true, false}) {
        SCOPED_TRACE(stallInOpen ? "open" : "read");
        testing_support::ScriptedHttpServer server(
            [&](const testing_support::HttpRequest& request,
                testing_support::HttpConnection& connection) {
                const std::string head =
                    testing_support::ScriptedHttpServer::responseHead(200, 1 << 30);
                if (request.method == "HEAD" && stallInOpen) return connection.holdOpen();
                if (request.method == "HEAD") return static_cast<void>(connection.send(head));
                connection.send(head + start);
                connection.holdOpen();
            });
        CliOptions options = sandbox_;
        const size_t requests = stallInOpen ? 1 : 2;
        options.interruptWhen = [&] { return server.requests().size() == requests; };
        const CliResult result = runCli({"read", server.url("/a.flv")}, options);
        EXPECT_EQ(result.status, 130) << result.err;
        EXPECT_LT(result.secondsAfterInterrupt, 1.0) << result.err;
        EXPECT_EQ(result.err.find("did not return"), std::string::npos) << result.err;
        const std::string written = TempDir::read(log());
        EXPECT_NE(written.rfind("HTTPClient::close"), std::string::npos) << written;
    }
}

TEST_F(CliFailureTest, LogLevelSetsTheLevelThePluginLogsAt) {
    const std::string file = TestMedia::file(TestMedia::Kind::kH264Aac);
    if (file.empty()) GTEST_SKIP() << TestMedia::missingReason(TestMedia::Kind::kH264Aac);
    const std::string stored = registry() + "/software/dessaro/vanto/loglevel.value";

    EXPECT_EQ(run({"log-level"}).out, "LogLevel is not set: the plug-in logs at 1 (ERROR)\n");
    ASSERT_EQ(run({"probe", file}).status, 0);
    EXPECT_EQ(TempDir::read(log()), "");

    const CliResult set = run({"log-level", "3"});
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.out, "LogLevel set to 3 (INFO) in " + stored + "\n");
    EXPECT_EQ(run({"log-level"}).out, "LogLevel is 3 (INFO)\n");
    ASSERT_EQ(run({"probe", file}).status, 0);
    EXPECT_NE(TempDir::read(log()).find("[INFO ] - "), std::string::npos) << TempDir::read(log());

    const std::string unset = ": the plug-in logs at 1 (ERROR)\n";
    EXPECT_EQ(run({"log-level", "--unset"}).out, "LogLevel removed from " + stored + unset);
    EXPECT_EQ(run({"log-level", "--unset"}).out, "LogLevel was not set" + unset);
    EXPECT_EQ(run({"log-level"}).out, "LogLevel is not set" + unset);
}

// A value file that the log cannot use is named, with the reason.
TEST_F(CliFailureTest, LogLevelTellsWhyAStoredValueIsNotUsed) {
    const std::string vanto = registry() + "/software/dessaro/vanto";
    const std::string valueFile = vanto + "/loglevel.value";
    const std::string head = "name=LogLevel\ntype=REG_DWORD\n";
    const struct {
        const char* name;
        std::string folder;  // made with every parent
        std::string contents;
        std::string found;
        std::string reason;
    } cases[] = {
        {"space", vanto, head + "data= 4\n", valueFile,
         "REG_DWORD data \" 4\" is not a number from 0 to 4294967295 (decimal, or 0x and hex "
         "digits)"},
        {"minus one", vanto, head + "data=-1\n", valueFile,
         "REG_DWORD data \"-1\" is not a number from 0 to 4294967295 (decimal, or 0x and hex "
         "digits)"},
        {"blank line", vanto, head + "data=4\n\n", valueFile,
         "something follows the data= line (a blank line?): a value file holds exactly three "
         "lines"},
        {"garbage", vanto, "LogLevel=4\n", valueFile,
         "its first line does not begin with \"name=\""},
        {"string", vanto, "name=LogLevel\ntype=REG_SZ\ndata=four\n", valueFile,
         "it holds 10 bytes, and LogLevel is read as the 4 bytes of a REG_DWORD"},
        {"capitals", registry() + "/Software/Dessaro/Vanto", head + "data=4\n",
         registry() + "/Software/Dessaro/Vanto/loglevel.value",
         "names are looked up in lower case, so the store reads " + valueFile +
             ", which does not exist"},
        {"folder", valueFile, "", valueFile, "Is a directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(registry());
        std::filesystem::create_directories(c.folder);
        if (!c.contents.empty()) std::ofstream(c.folder + "/loglevel.value") << c.contents;
        const CliResult result = run({"log-level"});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, "LogLevel is not set: the plug-in logs at 1 (ERROR)\n" + c.found +
                                  " is there but not used: " + c.reason + "\n");
    }
    if (geteuid() != 0) {  // root reads every folder
        std::filesystem::remove_all(registry());
        std::filesystem::create_directories(vanto);
        chmod(vanto.c_str(), 0);
        EXPECT_EQ(run({"log-level"}).out,
                  "LogLevel is not set: the plug-in logs at 1 (ERROR)\n" + vanto +
                      " is there but not used: the folder cannot be searched: Permission denied\n");
        chmod(vanto.c_str(), 0755);
    }
}

}  // namespace
}  // namespace cli_testing
