// zovozudo on the real plug-in: real FLV files made by ffmpeg, checked against the files
// themselves (the tags are parsed here independently of the plug-in's reader), and the errors,
// Ctrl-C and log level as a user meets them.
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "support/FlvWriter.h"
#include "support/ScriptedHttpServer.h"
#include "support/TestMedia.h"
#include "tools/CliRunner.h"

namespace cli_testing {
namespace {

using testing_support::FlvWriter;
using testing_support::TestMedia;

uint32_t bigEndian(const std::string& bytes, size_t at, size_t count) {
    uint32_t value = 0;
    for (size_t i = 0; i < count; ++i) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
    return value;
}

// The `frames` CSV of a file ffmpeg wrote: its only script tag comes first and no tag is empty.
// The payload is what follows the header bytes (two for video codec 4 and for the ids outside 2
// to 7, which the reader maps to 4; else one); video lasts 1000 / frame rate ms, audio 10 ms.
std::vector<std::string> expectedFrames(const std::string& file, double frameRate) {
    std::vector<std::string> lines = {"type,timestamp_us,duration_ms,key,size,crc32"};
    EXPECT_EQ(file.compare(0, 3, "FLV"), 0);
    size_t at = bigEndian(file, 5, 4) + 4;  // behind the header and the first back-pointer
    for (bool first = true; at + 11 <= file.size(); first = false) {
        const uint32_t size = bigEndian(file, at + 1, 3);
        const uint64_t ms = bigEndian(file, at + 4, 3) | bigEndian(file, at + 7, 1) << 24;
        const std::string data = file.substr(at + 11, size);
        const bool video = file[at] == 9;
        EXPECT_EQ(file[at] == 18, first);
        EXPECT_FALSE(data.empty());
        at += 11 + size + 4;
        if (first || data.empty()) continue;
        const unsigned codec = static_cast<uint8_t>(data[0]) & 15;
        const std::string payload =
            data.substr(video && (codec == 4 || codec < 2 || codec > 7) ? 2 : 1);
        char line[128];
        std::snprintf(line, sizeof(line), "%s,%llu,%d,%d,%zu,%08lx", video ? "video" : "audio",
                      static_cast<unsigned long long>(ms * 1000),
                      video && frameRate != 0 ? static_cast<int>(1000 / frameRate) : 10,
                      !video || static_cast<uint8_t>(data[0]) >> 4 == 1, payload.size(),
                      crc32(0L, reinterpret_cast<const Bytef*>(payload.data()), payload.size()));
        lines.push_back(line);
    }
    return lines;
}

class CliEndToEndTest : public ::testing::TestWithParam<TestMedia::Kind> {};

// How the metadata is read is checked in flv_tests and how it is described in plugin_tests;
// here the description of a real file reaches the output, for a path and for a file:// URL.
TEST_P(CliEndToEndTest, FramesListsEveryTagOnceInOrderAndProbeDescribesTheFile) {
    const std::string path = TestMedia::file(GetParam());
    if (path.empty()) GTEST_SKIP() << TestMedia::missingReason(GetParam());
    const TestMedia::Description& asked = TestMedia::describe(GetParam());
    const std::vector<std::string> expected = expectedFrames(ReadTempFile(path), asked.frameRate);
    const CliResult frames = runCli({"frames", path});
    ASSERT_EQ(frames.status, 0) << frames.err;
    EXPECT_EQ(splitLines(frames.out), expected);
    EXPECT_EQ(frames.err.rfind(std::to_string(expected.size() - 1) + " frames", 0), 0u);

    const CliResult plain = runCli({"probe", "--json", path});
    ASSERT_EQ(plain.status, 0) << plain.err;
    std::vector<std::string> fields = {"\"sample_rate\": " + std::to_string(asked.sampleRate)};
    if (asked.hasVideo) {
        fields.push_back("\"width\": " + std::to_string(asked.width));
        fields.push_back("\"height\": " + std::to_string(asked.height));
    }
    for (const std::string& field : fields)
        EXPECT_NE(plain.out.find(field), std::string::npos) << field << " in " << plain.out;
    EXPECT_EQ(plain.out.find("\"video\"") != std::string::npos, asked.hasVideo) << plain.out;
    EXPECT_EQ(runCli({"probe", "--json", "file://" + path}).out, plain.out);
}

INSTANTIATE_TEST_SUITE_P(FfmpegFiles, CliEndToEndTest, ::testing::ValuesIn(TestMedia::allKinds()),
                         [](const ::testing::TestParamInfo<TestMedia::Kind>& kind) {
                             return TestMedia::describe(kind.param).name;
                         });

// The real plug-in with its settings and log in a folder of the test's own.
class CliFailureTest : public ::testing::Test {
  protected:
    CliResult run(const std::vector<std::string>& args, CliOptions options = {}) {
        options.environment = {"ZOVOZUDO_REGISTRY_DIR=" + registry(),
                               "ZOVOZUDO_APPDATA_DIR=" + dir_.file("appdata")};
        return runCli(args, options);
    }
    std::string registry() const { return dir_.file("registry"); }
    std::string log() const { return dir_.file("appdata/Dessaro/Logs/ZOVOzudo.log"); }

    TempDir dir_;
};

TEST_F(CliFailureTest, AMediumThatCannotBeOpenedGivesThePluginsErrorAndStatusOne) {
    const std::string nothingToPlay =
        "error 2: the medium holds no FLV header, or no audio or video tag in what the plug-in "
        "examined\nthe plug-in's log may tell more: " +
        log() + " ('zovozudo log-level 4' makes it log everything)\n";
    const struct {
        const char* name;
        std::string bytes;  // empty: no file at all
        std::string printed;
    } cases[] = {
        {"missing.flv", "", "error 404: File could not be found.\n"},
        {"header-only.flv", FlvWriter().header().bytes(), nothingToPlay},
        {"text.flv", "just some text\n", nothingToPlay},
        {"script-only.flv",
         FlvWriter()
             .header()
             .tag(18, testing_support::onMetaData({{"duration", 1}}))
             .trailer()
             .bytes(),
         nothingToPlay},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.bytes.empty()) WriteTempFile(dir_.file(c.name), c.bytes);
        for (const char* command : {"probe", "frames", "read"}) {
            const CliResult result = run({command, dir_.file(c.name)});
            EXPECT_EQ(result.status, 1) << command;
            EXPECT_EQ(result.err, c.printed) << command;
            EXPECT_EQ(result.out, "") << command;
        }
    }
}

// The plug-in tells the host only "Server error."; the reason is in its log, and shown.
TEST_F(CliFailureTest, AnHttpFailureShowsTheReasonFromThePluginsLog) {
    const std::pair<const char*, const char*> cases[] = {
        {"HTTP/1.1 503 Service Unavailable\r\n", "HTTPClient::open"},
        {"HTTP/1.1 403 Forbidden\r\n", "HTTPClient::open"},
        {"HTTP/1.1 302 Found\r\nLocation: file:///etc/passwd\r\n",
         "redirect to file:///etc/passwd refused"},
    };
    for (const auto& [head, reason] : cases) {
        SCOPED_TRACE(head);
        testing_support::ScriptedHttpServer server(
            [&](const testing_support::HttpRequest&, testing_support::HttpConnection& connection) {
                connection.send(std::string(head) +
                                "Content-Length: 0\r\nConnection: close\r\n\r\n");
            });
        const CliResult result = run({"probe", server.url("/a.flv")});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err.rfind("error 404: HTTP input: Server error.\nthe plug-in's log (" +
                                       log() + ") says:\n  ",
                                   0),
                  0u)
            << result.err;
        EXPECT_NE(result.err.find(reason), std::string::npos) << result.err;
    }
}

// Ctrl-C while the plug-in waits for a server that sends nothing more, in the open and in the
// read: the play ends within the bound, through the plug-in's own close.
TEST_F(CliFailureTest, CtrlCEndsAStalledPlayWithinASecond) {
    ASSERT_EQ(run({"log-level", "3"}).status, 0);  // INFO, for the close
    const std::string start = FlvWriter()
                                  .header()
                                  .tag(9, std::string("\x17\x01\0\0\0\x01", 6))
                                  .tag(8, std::string("\xaf\x01\x01", 3))
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
        CliOptions options;
        options.interruptWhen = [&](const std::string&) {
            return server.requests().size() == (stallInOpen ? 1u : 2u);
        };
        const CliResult result = run({"read", server.url("/a.flv")}, options);
        EXPECT_EQ(result.status, 130) << result.err;
        EXPECT_LT(result.secondsAfterInterrupt, 1.0) << result.err;
        EXPECT_EQ(result.err.find("did not return"), std::string::npos) << result.err;
        EXPECT_NE(ReadTempFile(log()).rfind("HTTPClient::close"), std::string::npos);
    }
}

TEST_F(CliFailureTest, LogLevelSetsTheLevelThePluginLogsAtOrTellsWhyAStoredOneIsNotUsed) {
    const std::string file = TestMedia::file(TestMedia::Kind::kH264Aac);
    if (file.empty()) GTEST_SKIP() << TestMedia::missingReason(TestMedia::Kind::kH264Aac);
    const std::string vanto = registry() + "/software/dessaro/vanto";
    const std::string stored = vanto + "/loglevel.value";
    const std::string unset = ": the plug-in logs at 1 (ERROR)\n";

    EXPECT_EQ(run({"log-level"}).out, "LogLevel is not set" + unset);
    ASSERT_EQ(run({"probe", file}).status, 0);
    EXPECT_EQ(ReadTempFile(log()), "");
    const CliResult set = run({"log-level", "3"});
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.out, "LogLevel set to 3 (INFO) in " + stored + "\n");
    EXPECT_EQ(run({"log-level"}).out, "LogLevel is 3 (INFO)\n");
    ASSERT_EQ(run({"probe", file}).status, 0);
    EXPECT_NE(ReadTempFile(log()).find("[INFO ] - "), std::string::npos) << ReadTempFile(log());
    EXPECT_EQ(run({"log-level", "--unset"}).out, "LogLevel removed from " + stored + unset);
    EXPECT_EQ(run({"log-level", "--unset"}).out, "LogLevel was not set" + unset);

    const std::string head = "name=LogLevel\ntype=REG_DWORD\n";
    const std::string notANumber =
        "\" is not a number from 0 to 4294967295 (decimal, or 0x and hex digits)";
    const std::string capitals = registry() + "/Software/Dessaro/Vanto";
    const struct {
        std::string folder;  // made with every parent
        std::string contents;
        std::string found;
        std::string reason;
    } cases[] = {
        {vanto, head + "data= 4\n", stored, "REG_DWORD data \" 4" + notANumber},
        {vanto, head + "data=-1\n", stored, "REG_DWORD data \"-1" + notANumber},
        {vanto, head + "data=4\n\n", stored,
         "something follows the data= line (a blank line?): a value file holds exactly three "
         "lines"},
        {vanto, "LogLevel=4\n", stored, "its first line does not begin with \"name=\""},
        {vanto, "name=LogLevel\ntype=REG_SZ\ndata=four\n", stored,
         "it holds 10 bytes, and LogLevel is read as the 4 bytes of a REG_DWORD"},
        {capitals, head + "data=4\n", capitals + "/loglevel.value",
         "names are looked up in lower case, so the store reads " + stored +
             ", which does not exist"},
        {stored, "", stored, "Is a directory"},
        // Root reads every folder.
        {geteuid() == 0 ? "" : vanto, "", vanto,
         "the folder cannot be searched: Permission denied"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.found + ": " + c.reason);
        if (c.folder.empty()) continue;
        std::filesystem::remove_all(registry());
        std::filesystem::create_directories(c.folder);
        if (!c.contents.empty()) WriteTempFile(c.folder + "/loglevel.value", c.contents);
        if (c.reason.find("Permission") != std::string::npos) chmod(vanto.c_str(), 0);
        const CliResult result = run({"log-level"});
        chmod(vanto.c_str(), 0755);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, "LogLevel is not set" + unset + c.found +
                                  " is there but not used: " + c.reason + "\n");
    }
}

}  // namespace
}  // namespace cli_testing
