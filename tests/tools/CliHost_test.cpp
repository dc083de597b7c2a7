// The host's side of the contract, checked with a stand-in plug-in that reports how it was
// driven (tests/tools/FakePlugin.cpp): call order, every frame freed, the object destroyed on
// every path, the medium handed over, the output formats.
#include <dlfcn.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <map>

#include "host/RecordingHost.h"
#include "tools/CliRunner.h"

namespace cli_testing {
namespace {

constexpr char kLifecycleWithFrames[] =
    "open getStreamDescription getMediumDescription start stop close";
constexpr char kLifecycleWithoutFrames[] = "open getStreamDescription getMediumDescription close";

class CliHostTest : public ::testing::Test {
  protected:
    // Runs zovozudo on the stand-in plug-in; |settings| are its ZOVOZUDO_FAKE_* variables.
    CliResult run(std::vector<std::string> args, std::vector<std::string> settings = {},
                  size_t closeStdoutAfter = static_cast<size_t>(-1)) {
        args.insert(args.begin(), {"--plugin", fakePluginPath()});
        CliOptions options;
        options.environment = std::move(settings);
        options.environment.push_back("ZOVOZUDO_FAKE_REPORT=" + reportPath());
        options.closeStdoutAfter = closeStdoutAfter;
        return runCli(args, options);
    }

    // What the stand-in wrote when it was destroyed; empty when it never was.
    std::map<std::string, std::string> report() const {
        std::map<std::string, std::string> values;
        for (const std::string& line : splitLines(TempDir::read(reportPath()))) {
            const size_t equals = line.find('=');
            values[line.substr(0, equals)] = line.substr(equals + 1);
        }
        return values;
    }

    // The object was destroyed and every frame it handed out came back once.
    void expectAllFramesFreed() const {
        const auto values = report();
        ASSERT_FALSE(values.empty()) << "the plug-in object was never destroyed";
        EXPECT_EQ(values.at("freed"), values.at("handed"));
        EXPECT_EQ(values.at("outstanding"), "0");
        EXPECT_EQ(values.at("bad_frees"), "0");
    }

    std::string reportPath() const { return dir_.path() + "/report"; }

    TempDir dir_;
};

TEST_F(CliHostTest, EachCommandDrivesTheObjectThroughItsWholeLife) {
    struct Case {
        std::vector<std::string> args;
        const char* calls;
        const char* handed;
    };
    const Case cases[] = {
        {{"probe", "a.flv"}, kLifecycleWithoutFrames, "0"},
        {{"probe", "--json", "a.flv"}, kLifecycleWithoutFrames, "0"},
        {{"frames", "a.flv"}, kLifecycleWithFrames, "10"},
        {{"read", "a.flv"}, kLifecycleWithFrames, "10"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        const CliResult result = run(c.args);
        EXPECT_EQ(result.status, 0) << result.err;
        expectAllFramesFreed();
        const auto values = report();
        EXPECT_EQ(values.at("calls"), c.calls);
        EXPECT_EQ(values.at("handed"), c.handed);
        EXPECT_EQ(values.at("nonzero_durations"), "0") << "the host offers no duration of its own";
    }
}

TEST_F(CliHostTest, FailedOpenPrintsThePluginsErrorAndStillClosesTheObject) {
    const std::string appData = dir_.path() + "/appdata";
    const std::string moreInTheLog = "the plug-in's log may tell more: " + appData +
                                     "/Dessaro/Logs/ZOVOzudo.log ('zovozudo log-level 4' makes "
                                     "it log everything)\n";
    struct Case {
        const char* failure;
        std::string printed;
    };
    const Case cases[] = {
        {"404:File could not be found.", "error 404: File could not be found.\n"},
        {"2:RTMP input: Failed to parse metadata.",
         "error 2: RTMP input: Failed to parse metadata.\n"},
        {"2",
         "error 2: the medium holds no FLV header, or no audio or video tag in what the plug-in "
         "examined\n" +
             moreInTheLog},
        {"-", "error: the plug-in could not open a.flv and set no error code\n" + moreInTheLog},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failure);
        const CliResult result =
            run({"frames", "a.flv"}, {std::string("ZOVOZUDO_FAKE_OPEN_ERROR=") + c.failure,
                                      "ZOVOZUDO_APPDATA_DIR=" + appData});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, c.printed);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(report().at("calls"), "open close");
    }
}

TEST_F(CliHostTest, OutputClosedEarlyEndsCleanly) {
    // Far more than a pipe holds, so the host is still writing when its reader goes.
    const CliResult result = run({"frames", "a.flv"}, {"ZOVOZUDO_FAKE_FRAMES=1000000"}, 100);
    EXPECT_EQ(result.status, 0) << result.err;
    expectAllFramesFreed();
    const auto values = report();
    EXPECT_EQ(values.at("calls"), kLifecycleWithFrames);
    EXPECT_LT(std::stoull(values.at("handed")), 1000000u);
}

TEST_F(CliHostTest, InterruptEndsTheReadAndStillDestroysTheObject) {
    for (const char* command : {"frames", "read"}) {
        SCOPED_TRACE(command);
        // Far more frames than can be read before the interrupt is seen.
        const CliResult result = run({command, "a.flv"}, {"ZOVOZUDO_FAKE_FRAMES=1000000000",
                                                          "ZOVOZUDO_FAKE_INTERRUPT_AT=5"});
        EXPECT_EQ(result.status, 130);
        expectAllFramesFreed();
        EXPECT_EQ(report().at("calls"), kLifecycleWithFrames);
        EXPECT_LT(std::stoull(report().at("handed")), 1000000000u);
    }
}

// The stand-in's frame i: audio when i is even, i % 7 + 1 bytes of value i, timestamp i * 20 ms,
// duration 10 (audio) or 40 (video), key frame when i is a multiple of 3.
std::string fakeFrameLine(unsigned i) {
    const std::string bytes(i % 7 + 1, static_cast<char>(i));
    const uLong crc =
        crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size()));
    char line[128];
    std::snprintf(line, sizeof(line), "%s,%u,%u,%d,%zu,%08lx", i % 2 == 0 ? "audio" : "video",
                  i * 20000, i % 2 == 0 ? 10 : 40, i % 3 == 0 ? 1 : 0, bytes.size(),
                  static_cast<unsigned long>(crc));
    return line;
}

// frames prints the CSV and the summary on stderr, read only the summary on stdout.
TEST_F(CliHostTest, FramesPrintsOneCsvLinePerFrameReadOnlyTheSummary) {
    const std::string summary = "9 frames (4 video, 5 audio), 31 bytes, media time 0.160 s";
    const CliResult frames = run({"frames", "a.flv"}, {"ZOVOZUDO_FAKE_FRAMES=9"});
    ASSERT_EQ(frames.status, 0) << frames.err;
    std::vector<std::string> expected = {"type,timestamp_us,duration_ms,key,size,crc32"};
    for (unsigned i = 0; i < 9; ++i) expected.push_back(fakeFrameLine(i));
    EXPECT_EQ(splitLines(frames.out), expected);
    EXPECT_NE(frames.err.find(summary), std::string::npos) << frames.err;

    const CliResult read = run({"read", "a.flv"}, {"ZOVOZUDO_FAKE_FRAMES=9"});
    ASSERT_EQ(read.status, 0) << read.err;
    EXPECT_EQ(splitLines(read.out).size(), 1u) << read.out;
    EXPECT_EQ(read.out.rfind(summary, 0), 0u) << read.out;
    EXPECT_EQ(read.err, "");
}

TEST_F(CliHostTest, TheMediumGoesOverAsTypedOrAsOverridden) {
    struct Case {
        std::vector<std::string> args;
        const char* location;
        const char* protocol;
    };
    const Case cases[] = {
        {{"/m/a.flv"}, "/m/a.flv", "file"},
        {{"file:///m/a.flv"}, "/m/a.flv", "file"},
        {{"rtmp://h/app/s"}, "rtmp://h/app/s", "rtmp"},
        {{"--protocol=rtmpe", "file:///m/a.flv"}, "/m/a.flv", "rtmpe"},
        {{"--protocol", "", "/m/a.flv"}, "/m/a.flv", ""},
        {{"--", "-odd name.flv"}, "-odd name.flv", "file"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"probe"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(args.back());
        const CliResult result = run(args);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(report().at("location"), c.location);
        EXPECT_EQ(report().at("protocol"), c.protocol);
    }
}

TEST_F(CliHostTest, ProbeJsonHoldsExactlyWhatThePluginSet) {
    host::RecordingMedium medium("", "");
    medium.setDuration(12345);
    medium.setFirstFlag(0);
    medium.setSecondFlag(1);
    host::RecordingStreamDescription stream;
    stream.setFormat("flv");
    stream.video.setWidth(320);
    stream.video.setHeight(240);
    stream.video.setFrameRate(29.97);
    stream.video.setCodec("h264");
    stream.audio.setSampleRate(44100);
    stream.audio.setCodec("raw");
    stream.audio.setRawVariant(1);

    const CliResult result = run({"probe", "--json", "a.flv"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, host::describeAsJson(medium, stream) + "\n");
}

TEST_F(CliHostTest, ProbeTellsAPersonWhatThePluginSet) {
    const CliResult result = run({"probe", "rtmp://h/app/s"});
    ASSERT_EQ(result.status, 0) << result.err;
    const std::vector<std::string> expected = {
        "location   rtmp://h/app/s",
        "protocol   rtmp",
        "format     flv",
        "duration   12.345 s (12345 ms)",
        "flags      first 0, second 1",
        "video      h264, 320x240, 29.97 fps",
        "audio      raw (variant 1), 44100 Hz",
    };
    EXPECT_EQ(splitLines(result.out), expected);
}

TEST_F(CliHostTest, UsageErrorsExitWithTwo) {
    const std::string notALevel =
        "' is not a log level: the levels are 0 FATAL, 1 ERROR, 2 WARN, 3 INFO and 4 DEBUG "
        "('log-level --unset' returns to the default)";
    const struct {
        std::vector<std::string> args;
        std::string problem;
    } cases[] = {
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
    for (const auto& c : cases) {
        std::string shown;
        for (const std::string& arg : c.args) shown += "'" + arg + "' ";
        SCOPED_TRACE(shown);
        const CliResult result = runCli(c.args);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.err.rfind("zovozudo: ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find(c.problem), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("usage: zovozudo"), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
    }
}

TEST_F(CliHostTest, EveryCommandHasHelp) {
    const std::vector<std::vector<std::string>> cases = {
        {"--help"},
        {"-h"},
        {"help", "frames"},
        {"log-level", "--help"},
        {"frames", "a.flv", "--help"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args.back());
        const CliResult result = runCli(args);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out.rfind("usage: zovozudo", 0), 0u) << result.out;
    }
    // The settings and the log as this environment places them.
    CliOptions folders;
    folders.environment = {"ZOVOZUDO_REGISTRY_DIR=/r", "ZOVOZUDO_APPDATA_DIR=/a"};
    for (const auto& args : {cases[0], cases[3]}) {
        const CliResult result = runCli(args, folders);
        for (const char* shown : {"/r/software/dessaro/vanto/loglevel.value",
                                  "/a/Dessaro/Logs/ZOVOzudo.log", "ZOVOZUDO_REGISTRY_DIR",
                                  "ZOVOZUDO_APPDATA_DIR", "ZOVOZUDO_RTMP_RECEIVE_TIMEOUT_MS"}) {
            EXPECT_NE(result.out.find(shown), std::string::npos) << args[0] << ": " << shown;
        }
    }
}

TEST_F(CliHostTest, ALibraryThatIsNoPluginIsRefused) {
    Dl_info zlib = {};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&crc32), &zlib), 0);
    struct Case {
        std::string library;
        const char* complaint;
    };
    const Case cases[] = {
        {dir_.path() + "/absent.so", "cannot load plug-in"},
        {dir_.write("text.so", "not a library"), "cannot load plug-in"},
        {zlib.dli_fname, "does not export InputPluginFactory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.library);
        const CliResult result = runCli({"probe", "--plugin", c.library, "a.flv"});
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.err.find(c.complaint), std::string::npos) << result.err;
    }
}

}  // namespace
}  // namespace cli_testing
