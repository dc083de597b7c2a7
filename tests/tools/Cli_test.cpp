// zovozudo as a user meets it: against a stand-in plug-in that reports how it was driven, and
// against the real plug-in with ffmpeg's files (their tags parsed here, apart from the reader).
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "support/FlvWriter.h"
#include "support/ScriptedHttpServer.h"
#include "support/TestMedia.h"
#include "tools/CliRunner.h"
#include "tools/MediumLocation.h"

namespace cli_testing {
namespace {

using namespace testing_support;

const std::string kWithFrames = "open getStreamDescription getMediumDescription start stop close";

class CliTest : public ::testing::Test {
  protected:
    // Settings and logs in this test's folder; the stand-in reports there.
    CliResult run(const std::vector<std::string>& args, CliOptions options = {}) {
        options.environment.insert(
            options.environment.end(),
            {"ZOVOZUDO_REGISTRY_DIR=" + registry(), "ZOVOZUDO_APPDATA_DIR=" + dir_.file("appdata"),
             "ZOVOZUDO_FAKE_REPORT=" + dir_.file("report")});
        return runCli(args, options);
    }
    CliResult fake(const std::string& args, std::vector<std::string> settings = {},
                   size_t closeStdoutAfter = static_cast<size_t>(-1)) {
        std::vector<std::string> all = split(args, ' ');
        all.insert(all.begin(), {"--plugin", ZOVOZUDO_FAKE_PLUGIN_PATH});
        return run(all, {settings, closeStdoutAfter});
    }
    // What the stand-in wrote when destroyed: faults are frames not freed, freed twice or with
    // another pointer, and durations offered by the host.
    std::map<std::string, std::string> report() const {
        std::map<std::string, std::string> values;
        for (const std::string& line : split(ReadTempFile(dir_.file("report"))))
            values[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
        EXPECT_FALSE(values.empty()) << "the plug-in object was never destroyed";
        EXPECT_EQ(values["faults"], "0");
        return values;
    }
    std::string registry() const { return dir_.file("registry"); }
    std::string log() const { return dir_.file("appdata/Dessaro/Logs/ZOVOzudo.log"); }

    TempDir dir_;
};

TEST_F(CliTest, EachCommandDrivesTheObjectThroughItsLifeAndPrintsWhatItSet) {
    const std::string summary = "9 frames (4 video, 5 audio), 31 bytes, media time 0.160 s";
    const std::string text =
        "location   rtmp://h/app/s\nprotocol   rtmp\nformat     flv\n"
        "duration   12.345 s (12345 ms)\nflags      first 0, second 1\n"
        "video      h264, 320x240, 29.97 fps\naudio      raw (variant 1), 44100 Hz\n";
    const std::string json =
        "{\"format\": \"flv\", \"duration_ms\": 12345, \"first_flag\": 0, \"second_flag\": 1, "
        "\"video\": {\"codec\": \"h264\", \"width\": 320, \"height\": 240, \"frame_rate\": "
        "29.97}, \"audio\": {\"codec\": \"raw\", \"raw_variant\": 1, \"sample_rate\": 44100}}\n";
    const std::string without = "open getStreamDescription getMediumDescription close";
    // The frames' lines themselves are checked against ffmpeg's files below.
    const struct {
        const char* args;
        std::string out, err;  // their starts; no err: nothing on stderr
        size_t lines;
    } cases[] = {{"probe rtmp://h/app/s", text, "", 7},
                 {"probe --json a.flv", json, "", 1},
                 {"frames a.flv", "type,timestamp_us,", summary, 10},
                 {"read a.flv", summary, "", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const CliResult result = fake(c.args, {"ZOVOZUDO_FAKE_FRAMES=9"});
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out.substr(0, c.out.size()), c.out);
        EXPECT_EQ(c.err.empty() ? result.err : result.err.substr(0, c.err.size()), c.err);
        EXPECT_EQ(split(result.out).size(), c.lines) << result.out;
        const bool plays = c.args[0] != 'p';
        EXPECT_EQ(report().at("calls"), plays ? kWithFrames : without);
        EXPECT_EQ(report().at("handed"), plays ? "9" : "0");
    }
}

// Far more frames than a pipe holds or than can be read before the interrupt is seen.
TEST_F(CliTest, OutputClosedEarlyOrCtrlCEndTheReadAndStillDestroyTheObject) {
    EXPECT_EQ(fake("frames a.flv", {"ZOVOZUDO_FAKE_FRAMES=1000000"}, 100).status, 0);
    EXPECT_EQ(report().at("calls"), kWithFrames);
    EXPECT_LT(std::stoull(report().at("handed")), 1000000u);
    for (const char* command : {"frames", "read"}) {
        SCOPED_TRACE(command);
        const std::vector<std::string> settings = {"ZOVOZUDO_FAKE_FRAMES=1000000000",
                                                   "ZOVOZUDO_FAKE_INTERRUPT_AT=5"};
        EXPECT_EQ(fake(command + std::string(" a.flv"), settings).status, 130);
        EXPECT_EQ(report().at("calls"), kWithFrames);
        EXPECT_LT(std::stoull(report().at("handed")), 1000000000u);
    }
}

// The plug-in tells "file" from "FILE" itself; text before "://" that is no scheme is a path.
TEST_F(CliTest, TheMediumGoesOverAsTypedOrAsOverridden) {
    // Typed, the location ("=": as typed) and the protocol the plug-in gets.
    for (const std::string row :
         {"/m/a b.flv|=|file", "file:///m/a.flv|/m/a.flv|file", "file://|''|file",
          "svn+ssh.1-x://h/x|=|svn+ssh.1-x", "FILE:///m/a.flv|=|FILE", "/tmp/a://b.flv|=|file",
          "://h/a.flv|=|file", "1rtmp://h/app|=|file", "rt mp://h/app|=|file", "rtmp:/h/app|=|file",
          "http://h/r?to=file:///x|=|http"}) {
        const std::vector<std::string> f = split(row, '|');
        const cli::MediumLocation medium = cli::parseMediumLocation(f[0]);
        EXPECT_EQ(medium.location + "|" + medium.protocol,
                  (f[1] == "=" ? f[0] : f[1]) + "|" + f[2]);
    }
    for (const std::string row :
         {"--protocol=rtmpe file:///m/a.flv|/m/a.flv|rtmpe", "--protocol '' /m/a.flv|/m/a.flv|''",
          "-- --protocol=|--protocol=|file"}) {
        SCOPED_TRACE(row);
        const std::vector<std::string> f = split(row, '|');
        EXPECT_EQ(fake("probe " + f[0]).status, 0);
        EXPECT_EQ(report().at("location") + "|" + report().at("protocol"), f[1] + "|" + f[2]);
    }
}

TEST_F(CliTest, UsageErrorsExitWithTwoAndHelpWithZero) {
    for (const std::string row :
         {"|no command given", "play a.flv|unknown command 'play'", "probe|probe needs a LOCATION",
          "frames a.flv b.flv|frames takes one LOCATION", "read ''|LOCATION is empty",
          "frames --json a.flv|--json", "probe a.flv --protocol|--protocol",
          "log-level --plugin x|--plugin and --protocol do not apply",
          "log-level 5|'5' is not a log level: the levels are 0 FATAL, 1 ERROR",
          "log-level -1|'-1' is not a log level",
          "log-level --unset 1|log-level takes a level or --unset, not both",
          "read --unset a.flv|--unset"}) {
        const std::vector<std::string> f = split(row, '|');
        SCOPED_TRACE(row);
        const CliResult result = runCli(split(f[0], ' '));
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.err.rfind("zovozudo: ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find(f[1]), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("usage: zovozudo"), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
    }
    const char* const shown[] = {"/r/software/dessaro/vanto/loglevel.value",
                                 "/a/Dessaro/Logs/ZOVOzudo.log", "ZOVOZUDO_REGISTRY_DIR",
                                 "ZOVOZUDO_APPDATA_DIR", "ZOVOZUDO_RTMP_RECEIVE_TIMEOUT_MS"};
    // With "+": the help also shows where the settings and logs are. After "|": the command
    // whose usage comes first.
    for (const std::string row : {"--help +|COMMAND", "-h +|COMMAND", "help frames|frames",
                                  "log-level --help +|log-level", "frames a.flv --help|frames"}) {
        SCOPED_TRACE(row);
        const std::string help = row.substr(0, row.find('|')), shows = row.substr(row.find('|'));
        const CliResult result = runCli(split(help.substr(0, help.find(" +")), ' '),
                                        {{"ZOVOZUDO_REGISTRY_DIR=/r", "ZOVOZUDO_APPDATA_DIR=/a"}});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out.rfind("usage: zovozudo", 0), 0u) << result.out;
        EXPECT_NE(result.out.substr(0, result.out.find('\n')).find(" " + shows.substr(1) + " "),
                  std::string::npos);
        for (const char* file : shown)
            EXPECT_TRUE(help.back() != '+' || result.out.find(file) != std::string::npos) << file;
    }
}

TEST_F(CliTest, ALibraryThatIsNoPluginIsRefused) {
    Dl_info zlib = {};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&crc32), &zlib), 0);
    const std::pair<std::string, const char*> cases[] = {
        {dir_.file("absent.so"), "cannot load plug-in"},
        {zlib.dli_fname, "does not export InputPluginFactory"}};
    for (const auto& [library, complaint] : cases) {
        const CliResult result = runCli({"probe", "--plugin", library, "a.flv"});
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.err.find(complaint), std::string::npos) << result.err;
    }
}

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

TEST_P(CliEndToEndTest, FramesListsEveryTagOnceInOrderAndProbeDescribesTheFile) {
    const std::string path = TestMedia::file(GetParam());
    if (path.empty()) GTEST_SKIP() << TestMedia::missingReason(GetParam());
    const TestMedia::Description& asked = TestMedia::describe(GetParam());
    const CliResult frames = runCli({"frames", path});
    EXPECT_EQ(split(frames.out), expectedFrames(ReadTempFile(path), asked.frameRate)) << frames.err;

    const CliResult probed = runCli({"probe", "--json", path});
    const std::string size = "\"width\": " + std::to_string(asked.width) +
                             ", \"height\": " + std::to_string(asked.height);
    EXPECT_NE(probed.out.find("\"sample_rate\": " + std::to_string(asked.sampleRate)),
              std::string::npos)
        << probed.out << probed.err;
    EXPECT_EQ(probed.out.find(size) != std::string::npos, asked.hasVideo) << probed.out;
    EXPECT_EQ(probed.out.find("\"video\"") != std::string::npos, asked.hasVideo) << probed.out;
}

INSTANTIATE_TEST_SUITE_P(FfmpegFiles, CliEndToEndTest, ::testing::ValuesIn(TestMedia::allKinds()),
                         [](const ::testing::TestParamInfo<TestMedia::Kind>& kind) {
                             return TestMedia::describe(kind.param).name;
                         });

// The real plug-in's errors for files and for HTTP (it tells the host only "Server error." and
// the reason is in its log, shown too); the stand-in's for a code with a message and for none.
TEST_F(CliTest, AMediumThatCannotBeOpenedGivesThePluginsErrorAndStatusOne) {
    ScriptedHttpServer server([](const HttpRequest& request, HttpConnection& connection) {
        connection.send((request.target == "/503"
                             ? "HTTP/1.1 503 Service Unavailable\r\n"
                             : "HTTP/1.1 302 Found\r\nLocation: file:///etc/passwd\r\n") +
                        std::string("Content-Length: 0\r\nConnection: close\r\n\r\n"));
    });
    const std::string tellMore = "the plug-in's log may tell more: " + log() +
                                 " ('zovozudo log-level 4' makes it log everything)\n",
                      nothingToPlay =
                          "error 2: the medium holds no FLV header, or no audio or video tag in "
                          "what the plug-in examined\n" +
                          tellMore,
                      serverError = "error 404: HTTP input: Server error.\nthe plug-in's log (" +
                                    log() + ") says:\n  ";
    WriteTempFile(dir_.file("header-only.flv"), FlvWriter().header().bytes());
    WriteTempFile(dir_.file("text.flv"), "just some text\n");
    WriteTempFile(dir_.file("script-only.flv"),
                  FlvWriter().header().tag(18, onMetaData({{"duration", 1}})).trailer().bytes());
    const struct {
        const char* command;
        std::string file;
        const char* fakeError;  // null: the real plug-in
        std::string printed;
        const char* reason = "";  // in the log lines shown after |printed|
    } cases[] = {
        {"probe", dir_.file("missing.flv"), nullptr, "error 404: File could not be found.\n"},
        {"frames", dir_.file("header-only.flv"), nullptr, nothingToPlay},
        {"read", dir_.file("text.flv"), nullptr, nothingToPlay},
        {"probe", dir_.file("script-only.flv"), nullptr, nothingToPlay},
        {"probe", server.url("/503"), nullptr, serverError, "HTTPClient::open"},
        {"probe", server.url("/302"), nullptr, serverError,
         "redirect to file:///etc/passwd refused"},
        {"frames", "a.flv", "2:RTMP input: Failed to parse metadata.",
         "error 2: RTMP input: Failed to parse metadata.\n"},
        {"read", "a.flv", "-",
         "error: the plug-in could not open a.flv and set no error code\n" + tellMore}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const CliResult result =
            c.fakeError ? fake(c.command + (" " + c.file),
                               {"ZOVOZUDO_FAKE_OPEN_ERROR=" + std::string(c.fakeError)})
                        : run({c.command, c.file});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(*c.reason ? result.err.substr(0, c.printed.size()) : result.err, c.printed);
        EXPECT_NE(result.err.find(c.reason), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
        EXPECT_TRUE(!c.fakeError || report().at("calls") == "open close");
    }
}

// Ctrl-C while the plug-in waits for a silent server, in the open and in the read: the play ends
// within the bound, through the plug-in's own close.
TEST_F(CliTest, CtrlCEndsAStalledPlayWithinASecond) {
    ASSERT_EQ(run({"log-level", "3"}).status, 0);  // INFO, for the close
    FlvWriter start;  // an AVC and an AAC tag: the open ends, the read waits for more
    start.header().tag(9, std::string("\x17\x01\0\0\0\x01", 6)).tag(8, "\xaf\x01\x01");
    for (const bool stallInOpen : {true, false}) {
        SCOPED_TRACE(stallInOpen ? "open" : "read");
        ScriptedHttpServer server([&](const HttpRequest& request, HttpConnection& connection) {
            const std::string head = ScriptedHttpServer::responseHead(200, 1 << 30);
            if (request.method == "HEAD" && stallInOpen) return connection.holdOpen();
            if (request.method == "HEAD") return static_cast<void>(connection.send(head));
            connection.send(head + start.bytes());
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

TEST_F(CliTest, LogLevelSetsTheLevelThePluginLogsAtOrTellsWhyAStoredOneIsNotUsed) {
    const std::string file = TestMedia::file(TestMedia::Kind::kH264Aac);
    if (file.empty()) GTEST_SKIP() << TestMedia::missingReason(TestMedia::Kind::kH264Aac);
    const std::string vanto = registry() + "/software/dessaro/vanto",
                      stored = vanto + "/loglevel.value",
                      unset = ": the plug-in logs at 1 (ERROR)\n";

    EXPECT_EQ(run({"log-level"}).out, "LogLevel is not set" + unset);
    ASSERT_EQ(run({"probe", file}).status, 0);
    EXPECT_EQ(ReadTempFile(log()), "");
    EXPECT_EQ(run({"log-level", "3"}).out, "LogLevel set to 3 (INFO) in " + stored + "\n");
    EXPECT_EQ(run({"log-level"}).out, "LogLevel is 3 (INFO)\n");
    ASSERT_EQ(run({"probe", file}).status, 0);
    EXPECT_NE(ReadTempFile(log()).find("[INFO ] - "), std::string::npos) << ReadTempFile(log());
    EXPECT_EQ(run({"log-level", "--unset"}).out, "LogLevel removed from " + stored + unset);
    EXPECT_EQ(run({"log-level", "--unset"}).out, "LogLevel was not set" + unset);

    const std::string head = "name=LogLevel\ntype=REG_DWORD\n",
                      capitals = registry() + "/Software/Dessaro/Vanto",
                      notANumber =
                          "\" is not a number from 0 to 4294967295 (decimal, or 0x and hex digits)";
    const struct {
        std::string folder, contents, reason;  // the folder made with every parent
        std::string found = "";                // where not |stored|
    } cases[] = {
        {vanto, head + "data= 4\n", "REG_DWORD data \" 4" + notANumber},
        {vanto, head + "data=-1\n", "REG_DWORD data \"-1" + notANumber},
        {vanto, head + "data=4\n\n",
         "something follows the data= line (a blank line?): a value file holds exactly three "
         "lines"},
        {vanto, "LogLevel=4\n", "its first line does not begin with \"name=\""},
        {vanto, "name=LogLevel\ntype=REG_SZ\ndata=four\n",
         "it holds 10 bytes, and LogLevel is read as the 4 bytes of a REG_DWORD"},
        {capitals, head + "data=4\n",
         "names are looked up in lower case, so the store reads " + stored +
             ", which does not exist",
         capitals + "/loglevel.value"},
        {stored, "", "Is a directory"},
        // Root reads every folder.
        {geteuid() == 0 ? "" : vanto, "", "the folder cannot be searched: Permission denied",
         vanto},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        if (c.folder.empty()) continue;
        std::filesystem::remove_all(registry());
        std::filesystem::create_directories(c.folder);
        if (!c.contents.empty()) WriteTempFile(c.folder + "/loglevel.value", c.contents);
        if (c.reason.find("Permission") != std::string::npos) chmod(vanto.c_str(), 0);
        const CliResult result = run({"log-level"});
        chmod(vanto.c_str(), 0755);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, "LogLevel is not set" + unset + (c.found.empty() ? stored : c.found) +
                                  " is there but not used: " + c.reason + "\n");
    }
}

}  // namespace
}  // namespace cli_testing
