// The host's side of the contract, checked with a stand-in plug-in that reports how it was
// driven (tests/tools/FakePlugin.cpp): call order, every frame freed, the object destroyed on
// every path, the medium handed over as typed, the output formats, the usage errors.
#include <dlfcn.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <map>

#include "tools/CliRunner.h"

namespace cli_testing {
namespace {

const std::string kWithFrames = "open getStreamDescription getMediumDescription start stop close";
const std::string kWithoutFrames = "open getStreamDescription getMediumDescription close";

class CliHostTest : public ::testing::Test {
  protected:
    // Runs zovozudo on the stand-in plug-in; |settings| are its ZOVOZUDO_FAKE_* variables.
    CliResult run(std::vector<std::string> args, std::vector<std::string> settings = {},
                  size_t closeStdoutAfter = static_cast<size_t>(-1)) {
        args.insert(args.begin(), {"--plugin", fakePluginPath()});
        settings.push_back("ZOVOZUDO_FAKE_REPORT=" + dir_.file("report"));
        return runCli(args, {settings, closeStdoutAfter});
    }

    // What the stand-in wrote when it was destroyed, after checking that every frame it handed
    // out came back once; empty when it never was destroyed.
    std::map<std::string, std::string> report() const {
        std::map<std::string, std::string> values;
        for (const std::string& line : splitLines(ReadTempFile(dir_.file("report"))))
            values[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
        EXPECT_FALSE(values.empty()) << "the plug-in object was never destroyed";
        EXPECT_EQ(values["freed"], values["handed"]);
        EXPECT_EQ(values["outstanding"] + values["bad_frees"], "00");
        EXPECT_EQ(values["nonzero_durations"], "0") << "the host offers no duration of its own";
        return values;
    }

    TempDir dir_;
};

// The stand-in's frame i: audio when i is even, i % 7 + 1 bytes of value i, timestamp i * 20 ms,
// duration 10 (audio) or 40 (video), key frame when i is a multiple of 3.
std::string fakeFrameLine(unsigned i) {
    const std::string bytes(i % 7 + 1, static_cast<char>(i));
    char line[128];
    std::snprintf(line, sizeof(line), "%s,%u,%u,%d,%zu,%08lx", i % 2 == 0 ? "audio" : "video",
                  i * 20000, i % 2 == 0 ? 10 : 40, i % 3 == 0 ? 1 : 0, bytes.size(),
                  crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
    return line;
}

TEST_F(CliHostTest, EachCommandDrivesTheObjectThroughItsLifeAndPrintsWhatItSet) {
    std::string csv = "type,timestamp_us,duration_ms,key,size,crc32\n";
    for (unsigned i = 0; i < 9; ++i) csv += fakeFrameLine(i) + "\n";
    const std::string summary = "9 frames (4 video, 5 audio), 31 bytes, media time 0.160 s";
    const struct {
        std::vector<std::string> args;
        const std::string& calls;
        const char* handed;
        std::string out;  // the start of standard output
        std::string err;  // the start of standard error
    } cases[] = {
        {{"probe", "rtmp://h/app/s"},
         kWithoutFrames,
         "0",
         "location   rtmp://h/app/s\nprotocol   rtmp\nformat     flv\n"
         "duration   12.345 s (12345 ms)\nflags      first 0, second 1\n"
         "video      h264, 320x240, 29.97 fps\naudio      raw (variant 1), 44100 Hz\n",
         ""},
        {{"probe", "--json", "a.flv"},
         kWithoutFrames,
         "0",
         "{\"format\": \"flv\", \"duration_ms\": 12345, \"first_flag\": 0, \"second_flag\": 1, "
         "\"video\": {\"codec\": \"h264\", \"width\": 320, \"height\": 240, \"frame_rate\": "
         "29.97}, \"audio\": {\"codec\": \"raw\", \"raw_variant\": 1, \"sample_rate\": 44100}}\n",
         ""},
        {{"frames", "a.flv"}, kWithFrames, "9", csv, summary},
        {{"read", "a.flv"}, kWithFrames, "9", summary, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        const CliResult result = run(c.args, {"ZOVOZUDO_FAKE_FRAMES=9"});
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out.substr(0, c.out.size()), c.out);
        EXPECT_EQ(result.err.substr(0, c.err.size()), c.err);
        // Only the summary line, and the whole text for probe.
        EXPECT_EQ(splitLines(result.out).size(), splitLines(c.out).size()) << result.out;
        if (c.err.empty()) {
            EXPECT_EQ(result.err, "");
        }
        const auto values = report();
        EXPECT_EQ(values.at("calls"), c.calls);
        EXPECT_EQ(values.at("handed"), c.handed);
    }
}

TEST_F(CliHostTest, FailedOpenPrintsThePluginsErrorAndStillClosesTheObject) {
    const std::string appData = dir_.file("appdata");
    const std::string moreInTheLog = "the plug-in's log may tell more: " + appData +
                                     "/Dessaro/Logs/ZOVOzudo.log ('zovozudo log-level 4' makes "
                                     "it log everything)\n";
    const std::pair<const char*, std::string> cases[] = {
        {"404:File could not be found.", "error 404: File could not be found.\n"},
        {"2:RTMP input: Failed to parse metadata.",
         "error 2: RTMP input: Failed to parse metadata.\n"},
        {"2",
         "error 2: the medium holds no FLV header, or no audio or video tag in what the "
         "plug-in examined\n" +
             moreInTheLog},
        {"-", "error: the plug-in could not open a.flv and set no error code\n" + moreInTheLog},
    };
    for (const auto& [failure, printed] : cases) {
        SCOPED_TRACE(failure);
        const CliResult result =
            run({"frames", "a.flv"}, {"ZOVOZUDO_FAKE_OPEN_ERROR=" + std::string(failure),
                                      "ZOVOZUDO_APPDATA_DIR=" + appData});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, printed);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(report().at("calls"), "open close");
    }
}

// Far more frames than a pipe holds or than can be read before the interrupt is seen.
TEST_F(CliHostTest, OutputClosedEarlyOrCtrlCEndTheReadAndStillDestroyTheObject) {
    EXPECT_EQ(run({"frames", "a.flv"}, {"ZOVOZUDO_FAKE_FRAMES=1000000"}, 100).status, 0);
    EXPECT_EQ(report().at("calls"), kWithFrames);
    EXPECT_LT(std::stoull(report().at("handed")), 1000000u);
    for (const char* command : {"frames", "read"}) {
        SCOPED_TRACE(command);
        EXPECT_EQ(run({command, "a.flv"},
                      {"ZOVOZUDO_FAKE_FRAMES=1000000000", "ZOVOZUDO_FAKE_INTERRUPT_AT=5"})
                      .status,
                  130);
        EXPECT_EQ(report().at("calls"), kWithFrames);
        EXPECT_LT(std::stoull(report().at("handed")), 1000000000u);
    }
}

// The scheme goes over as written: the plug-in tells "file" from "FILE" itself. Text before
// "://" that is no scheme leaves a plain path; only the first "://" counts.
TEST_F(CliHostTest, TheMediumGoesOverAsTypedOrAsOverridden) {
    const struct {
        std::vector<std::string> args;
        const char* location;
        const char* protocol;
    } cases[] = {
        {{"/m/a b.flv"}, "/m/a b.flv", "file"},
        {{"file:///m/a.flv"}, "/m/a.flv", "file"},
        {{"file://"}, "", "file"},
        {{"svn+ssh.1-x://h/x"}, "svn+ssh.1-x://h/x", "svn+ssh.1-x"},
        {{"FILE:///m/a.flv"}, "FILE:///m/a.flv", "FILE"},
        {{"/tmp/a://b.flv"}, "/tmp/a://b.flv", "file"},
        {{"://h/a.flv"}, "://h/a.flv", "file"},
        {{"1rtmp://h/app"}, "1rtmp://h/app", "file"},
        {{"rt mp://h/app"}, "rt mp://h/app", "file"},
        {{"rtmp:/h/app"}, "rtmp:/h/app", "file"},
        {{"http://h/r?to=file:///x"}, "http://h/r?to=file:///x", "http"},
        {{"--protocol=rtmpe", "file:///m/a.flv"}, "/m/a.flv", "rtmpe"},
        {{"--protocol", "", "/m/a.flv"}, "/m/a.flv", ""},
        {{"--", "-odd name.flv"}, "-odd name.flv", "file"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"probe"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(args.back());
        EXPECT_EQ(run(args).status, 0);
        EXPECT_EQ(report().at("location"), c.location);
        EXPECT_EQ(report().at("protocol"), c.protocol);
    }
}

TEST_F(CliHostTest, UsageErrorsExitWithTwoAndHelpWithZero) {
    const std::string notALevel =
        "' is not a log level: the levels are 0 FATAL, 1 ERROR, 2 WARN, 3 INFO and 4 DEBUG "
        "('log-level --unset' returns to the default)";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "no command given"},
        {{"play", "a.flv"}, "unknown command 'play'"},
        {{"probe"}, "probe needs a LOCATION"},
        {{"frames", "a.flv", "b.flv"}, "frames takes one LOCATION"},
        {{"read", ""}, "LOCATION is empty"},
        {{"frames", "--json", "a.flv"}, "--json"},
        {{"probe", "a.flv", "--protocol"}, "--protocol"},
        {{"log-level", "--plugin", "x"}, "--plugin and --protocol do not apply"},
        {{"log-level", "5"}, "'5" + notALevel},
        {{"log-level", "-1"}, "'-1" + notALevel},
        {{"log-level", "--unset", "1"}, "log-level takes a level or --unset, not both"},
        {{"read", "--unset", "a.flv"}, "--unset"},
    };
    for (const auto& [args, problem] : cases) {
        SCOPED_TRACE(problem);
        const CliResult result = runCli(args);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.err.rfind("zovozudo: ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find(problem), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("usage: zovozudo"), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
    }
    // Help shows the settings and the log as this environment places them.
    const std::vector<std::string> shown = {
        "/r/software/dessaro/vanto/loglevel.value", "/a/Dessaro/Logs/ZOVOzudo.log",
        "ZOVOZUDO_REGISTRY_DIR", "ZOVOZUDO_APPDATA_DIR", "ZOVOZUDO_RTMP_RECEIVE_TIMEOUT_MS"};
    const std::pair<std::vector<std::string>, size_t> helps[] = {
        {{"--help"}, shown.size()},
        {{"-h"}, 0},
        {{"help", "frames"}, 0},
        {{"log-level", "--help"}, shown.size()},
        {{"frames", "a.flv", "--help"}, 0}};
    for (const auto& [args, shows] : helps) {
        SCOPED_TRACE(args.back());
        const CliResult result =
            runCli(args, {{"ZOVOZUDO_REGISTRY_DIR=/r", "ZOVOZUDO_APPDATA_DIR=/a"}});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out.rfind("usage: zovozudo", 0), 0u) << result.out;
        for (size_t i = 0; i < shows; ++i)
            EXPECT_NE(result.out.find(shown[i]), std::string::npos) << shown[i];
    }
}

TEST_F(CliHostTest, ALibraryThatIsNoPluginIsRefused) {
    Dl_info zlib = {};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&crc32), &zlib), 0);
    WriteTempFile(dir_.file("text.so"), "not a library");
    const std::pair<std::string, const char*> cases[] = {
        {dir_.file("absent.so"), "cannot load plug-in"},
        {dir_.file("text.so"), "cannot load plug-in"},
        {zlib.dli_fname, "does not export InputPluginFactory"},
    };
    for (const auto& [library, complaint] : cases) {
        SCOPED_TRACE(library);
        const CliResult result = runCli({"probe", "--plugin", library, "a.flv"});
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.err.find(complaint), std::string::npos) << result.err;
    }
}

}  // namespace
}  // namespace cli_testing
