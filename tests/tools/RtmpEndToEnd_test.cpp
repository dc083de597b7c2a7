// RTMP streams through the command-line host, against nginx with its RTMP module and against
// node-media-server: a file played on demand gives exactly the frames of the file, a missing one
// is refused at once, a live stream that ffmpeg publishes plays with rising timestamps and ends
// when the publisher goes away, and a player that joins a live stream is told what the publisher
// sends. ffmpeg as a one-client server and node-media-server relay a live stream whose frames are
// the file's, to the last one, play after play.
//
// nginx sends no script tags in on-demand play and drops a tag whenever its output queue fills at
// full speed, so the equality is checked on a small file only.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CliRunner.h"
#include "support/NginxServer.h"
#include "support/NodeMediaServer.h"
#include "support/ServerProcess.h"
#include "support/TestMedia.h"

extern char** environ;

namespace {

using cli_testing::runCli;
using cli_testing::splitLines;
using testing_support::NginxServer;
using testing_support::NodeMediaServer;
using testing_support::TestMedia;

// A silent server ends the medium after this long instead of the production 30 s.
const cli_testing::CliOptions kShortTimeouts = {
    {"ZOVOZUDO_RTMP_RECEIVE_TIMEOUT_MS=4000", "ZOVOZUDO_RTMP_CONNECT_TIMEOUT_MS=4000"}};

struct CsvFrame {
    std::string type;
    uint64_t timestamp;
    uint64_t duration;
    bool key;
    std::string sizeAndCrc;
};

std::vector<CsvFrame> parseFrames(const std::string& csv) {
    std::vector<CsvFrame> frames;
    const std::vector<std::string> lines = splitLines(csv);
    for (size_t i = 1; i < lines.size(); ++i) {
        std::vector<std::string> fields;
        std::stringstream line(lines[i]);
        for (std::string field; std::getline(line, field, ',');) fields.push_back(field);
        if (fields.size() != 6) continue;  // a line cut by closing the output early
        frames.push_back(
            {fields[0], std::stoull(fields[1]), std::stoull(fields[2]), fields[3] == "1",
             fields[4] + "," + fields[5]});
    }
    return frames;
}

// Type, timestamp, key flag, size and CRC: all but the duration, which depends on metadata
// that on-demand RTMP play does not carry.
std::vector<std::string> withoutDurations(const std::vector<CsvFrame>& frames) {
    std::vector<std::string> out;
    for (const CsvFrame& f : frames) {
        out.push_back(f.type + "," + std::to_string(f.timestamp) + "," + (f.key ? "1" : "0") + "," +
                      f.sizeAndCrc);
    }
    return out;
}

// Each type's frames in order: a live relay may interleave the two types differently.
std::map<std::string, std::vector<std::string>> framesByType(const std::vector<CsvFrame>& frames) {
    std::map<std::string, std::vector<std::string>> byType;
    for (const std::string& frame : withoutDurations(frames)) {
        byType[frame.substr(0, frame.find(','))].push_back(frame);
    }
    return byType;
}

pid_t spawnFfmpeg(const std::vector<std::string>& args) {
    const std::string ffmpeg = TestMedia::ffmpegPath();
    std::vector<const char*> argv = {ffmpeg.c_str(), "-loglevel", "error", "-nostdin"};
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, ffmpeg.c_str(), nullptr, nullptr, const_cast<char* const*>(argv.data()),
                    environ) != 0) {
        return 0;
    }
    return pid;
}

// Polls |ready| in 5 ms steps for at most 10 s, while |pid| (if given) runs.
bool waitUntil(const std::function<bool()>& ready, pid_t pid = 0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int status = 0;
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        if (pid > 0 && ::waitpid(pid, &status, WNOHANG) == pid) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Whether 127.0.0.1:|port| is listening, read from the kernel's table: a test connection would
// take the one client that ffmpeg's server accepts.
bool listensOnLoopback(uint16_t port) {
    char local[32];
    std::snprintf(local, sizeof(local), "0100007F:%04X", port);
    std::stringstream table(testing_support::readWholeFile("/proc/net/tcp"));
    for (std::string line; std::getline(table, line);) {
        std::stringstream fields(line);
        std::string slot, address, remote, state;
        fields >> slot >> address >> remote >> state;
        if (address == local && state == "0A") return true;
    }
    return false;
}

class RtmpEndToEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        clip_ = TestMedia::file(TestMedia::Kind::kH264Aac);
        if (clip_.empty()) GTEST_SKIP() << TestMedia::missingReason(TestMedia::Kind::kH264Aac);
        if (NginxServer::binary().empty() || !std::filesystem::exists(NginxServer::rtmpModule())) {
            GTEST_SKIP() << "needs nginx with its RTMP module";
        }
        media_ = TestMedia::tempDir() + "/rtmp-e2e";
        std::filesystem::create_directories(media_);
        std::filesystem::copy_file(clip_, media_ + "/clip.flv",
                                   std::filesystem::copy_options::overwrite_existing);
    }

    void startNginx(const std::string& chunkSize) {
        nginx_.reset();
        nginx_ = std::make_unique<NginxServer>(NginxServer::rtmpConfig(media_, chunkSize));
        ASSERT_TRUE(nginx_->running()) << nginx_->why();
    }

    std::string url(const std::string& path) const {
        return "rtmp://127.0.0.1:" + std::to_string(nginx_->port()) + path;
    }

    std::string clip_;
    std::string media_;
    std::unique_ptr<NginxServer> nginx_;
};

TEST_F(RtmpEndToEndTest, OnDemandPlayGivesTheFramesOfTheFile) {
    const cli_testing::CliResult local = runCli({"frames", clip_});
    ASSERT_EQ(0, local.status) << local.err;
    const std::vector<std::string> expected = withoutDurations(parseFrames(local.out));
    ASSERT_GT(expected.size(), 20u);

    for (const std::string chunkSize : {"", "    chunk_size 4096;\n", "    chunk_size 128;\n"}) {
        SCOPED_TRACE(chunkSize);
        startNginx(chunkSize);
        const cli_testing::CliResult remote =
            runCli({"frames", url("/vod/clip.flv")}, kShortTimeouts);
        EXPECT_EQ(0, remote.status) << remote.err;
        EXPECT_EQ(expected, withoutDurations(parseFrames(remote.out)));
    }
}

TEST_F(RtmpEndToEndTest, LiveStreamPlaysUntilThePublisherLeaves) {
    startNginx("");
    // The player goes first and waits for the stream; the publisher then sends the clip three
    // times at its own pace and leaves, after which the silent stream ends the medium.
    cli_testing::CliResult played;
    std::thread player([&] { played = runCli({"frames", url("/live/cam")}, kShortTimeouts); });
    const std::string ffmpeg = TestMedia::ffmpegPath();
    const std::string target = url("/live/cam");
    const char* argv[] = {ffmpeg.c_str(), "-loglevel", "error", "-nostdin",     "-re",
                          "-stream_loop", "2",         "-i",    clip_.c_str(),  "-c",
                          "copy",         "-f",        "flv",   target.c_str(), nullptr};
    pid_t publisher = 0;
    ASSERT_EQ(0, posix_spawn(&publisher, ffmpeg.c_str(), nullptr, nullptr,
                             const_cast<char* const*>(argv), environ));
    int status = 0;
    ::waitpid(publisher, &status, 0);
    player.join();

    EXPECT_EQ(0, played.status) << played.err;
    const std::vector<CsvFrame> frames = parseFrames(played.out);
    ASSERT_GT(frames.size(), 40u) << played.err;
    std::map<std::string, uint64_t> last;
    bool keyVideo = false;
    for (const CsvFrame& frame : frames) {
        EXPECT_GE(frame.timestamp, last[frame.type]) << frame.type;
        last[frame.type] = frame.timestamp;
        keyVideo = keyVideo || (frame.type == "video" && frame.key);
    }
    EXPECT_TRUE(keyVideo);
    // Three plays of a one-second clip.
    EXPECT_GT(last["video"], 2000000u);
}

// A live stream relayed by a real server, joined while it runs (so between two key frames, as
// every player of a running stream joins): it is described as the published file is, whichever
// form the server gives the metadata in (nginx: an object without audio rate and channels;
// node-media-server: "@setDataFrame" and an array), and video frames last what the file's do.
enum class LiveServer { kNginx, kNodeMediaServer };

class LiveRtmpTest : public ::testing::TestWithParam<LiveServer> {
protected:
    void SetUp() override {
        clip_ = TestMedia::file(TestMedia::Kind::kH264AacLive);
        if (clip_.empty()) GTEST_SKIP() << TestMedia::missingReason(TestMedia::Kind::kH264AacLive);
        if (GetParam() == LiveServer::kNginx) {
            if (NginxServer::binary().empty() ||
                !std::filesystem::exists(NginxServer::rtmpModule())) {
                GTEST_SKIP() << "needs nginx with its RTMP module";
            }
            nginx_ = std::make_unique<NginxServer>(NginxServer::rtmpConfig(TestMedia::tempDir()));
            ASSERT_TRUE(nginx_->running()) << nginx_->why();
            target_ = "rtmp://127.0.0.1:" + std::to_string(nginx_->port()) + "/live/cam";
        } else {
            nms_ = std::make_unique<NodeMediaServer>();
            if (!nms_->running()) GTEST_SKIP() << nms_->why();
            target_ = nms_->url("/live/cam");
        }
        const std::string ffmpeg = TestMedia::ffmpegPath();
        const char* argv[] = {ffmpeg.c_str(), "-loglevel", "error", "-nostdin", "-re",
                              "-stream_loop", "-1", "-i", clip_.c_str(), "-c", "copy",
                              "-f", "flv", target_.c_str(), nullptr};
        ASSERT_EQ(0, posix_spawn(&publisher_, ffmpeg.c_str(), nullptr, nullptr,
                                 const_cast<char* const*>(argv), environ));
    }
    void TearDown() override {
        if (publisher_ <= 0) return;
        ::kill(publisher_, SIGTERM);
        int status = 0;
        ::waitpid(publisher_, &status, 0);
    }

    std::string clip_;
    std::string target_;
    pid_t publisher_ = 0;
    std::unique_ptr<NginxServer> nginx_;
    std::unique_ptr<NodeMediaServer> nms_;
};

// The text of a number in `zovozudo probe --json` output, e.g. "640" for "width".
std::string jsonNumber(const std::string& json, const std::string& section,
                       const std::string& key) {
    const size_t in = json.find("\"" + section + "\": {");
    const size_t at = json.find("\"" + key + "\": ", in);
    if (in == std::string::npos || at == std::string::npos) return "missing";
    const size_t begin = at + key.size() + 4;
    return json.substr(begin, json.find_first_of(",}", begin) - begin);
}

TEST_F(RtmpEndToEndTest, MissingStreamIsRefusedAtOnce) {
    startNginx("");
    // nginx keeps the connection open after its refusal: waiting would end in the time-out.
    const cli_testing::CliResult probed =
        runCli({"probe", url("/vod/missing.flv")}, kShortTimeouts);
    EXPECT_NE(0, probed.status);
    EXPECT_NE(std::string::npos,
              probed.err.find("error 404: RTMP input: The server reported an error: "
                              "NetStream.Play.StreamNotFound"))
        << probed.err;
}

// ffmpeg closes once it has sent the file; node-media-server never tells its players that the
// publisher has gone, so they end after the receive time-out.
TEST(RtmpLiveServersTest, EveryFrameOfTheFileArrivesPlayAfterPlay) {
    const std::string clip = TestMedia::file(TestMedia::Kind::kH264Aac);
    if (clip.empty()) GTEST_SKIP() << TestMedia::missingReason(TestMedia::Kind::kH264Aac);
    const cli_testing::CliResult local = runCli({"frames", clip});
    ASSERT_EQ(0, local.status) << local.err;
    const auto expected = framesByType(parseFrames(local.out));

    for (int play = 0; play < 20; ++play) {
        SCOPED_TRACE("ffmpeg -listen, play " + std::to_string(play));
        pid_t server = 0;
        std::string url;
        for (int attempt = 0; attempt < 5 && server == 0; ++attempt) {
            const uint16_t port = testing_support::freeLoopbackPort();
            url = "rtmp://127.0.0.1:" + std::to_string(port) + "/live/s";
            server = spawnFfmpeg({"-i", clip, "-c", "copy", "-f", "flv", "-listen", "1", url});
            // A port taken in the meantime makes ffmpeg give up; another one is tried.
            if (server != 0 && !waitUntil([port] { return listensOnLoopback(port); }, server)) {
                testing_support::stopChild(server, std::chrono::seconds(5));
                server = 0;
            }
        }
        ASSERT_NE(0, server);
        const cli_testing::CliResult played = runCli({"frames", url}, kShortTimeouts);
        testing_support::stopChild(server, std::chrono::seconds(5));
        ASSERT_EQ(0, played.status) << played.err;
        ASSERT_EQ(expected, framesByType(parseFrames(played.out)));
    }

    NodeMediaServer relay;
    if (!relay.running()) GTEST_SKIP() << relay.why();
    const cli_testing::CliOptions shortTimeouts = {{"ZOVOZUDO_RTMP_RECEIVE_TIMEOUT_MS=2000"}};
    for (int play = 0; play < 20; ++play) {
        SCOPED_TRACE("node-media-server, play " + std::to_string(play));
        // A fresh stream each time: the server takes a publisher back within 30 s as the same
        // stream, with its clock running on.
        const std::string path = "/live/s" + std::to_string(play);
        cli_testing::CliResult played;
        std::thread player([&] { played = runCli({"frames", relay.url(path)}, shortTimeouts); });
        // The player is in before the publisher starts, so it misses nothing.
        const bool joined = waitUntil([&] {
            return testing_support::readWholeFile(relay.dir() + "/output.log")
                       .find("start play " + path + "\n") != std::string::npos;
        });
        if (joined) {
            const pid_t publisher =
                spawnFfmpeg({"-i", clip, "-c", "copy", "-f", "flv", relay.url(path)});
            int status = 0;
            if (publisher != 0) ::waitpid(publisher, &status, 0);
        }
        player.join();
        ASSERT_TRUE(joined);
        ASSERT_EQ(0, played.status) << played.err;
        ASSERT_EQ(expected, framesByType(parseFrames(played.out)));
    }
}

TEST_P(LiveRtmpTest, LateJoinersAreToldWhatThePublisherSends) {
    const cli_testing::CliResult local = runCli({"probe", "--json", clip_});
    ASSERT_EQ(0, local.status) << local.err;
    EXPECT_EQ("640", jsonNumber(local.out, "video", "width")) << local.out;
    const cli_testing::CliResult localFrames = runCli({"frames", clip_});
    std::set<uint64_t> fileDurations;
    for (const CsvFrame& f : parseFrames(localFrames.out)) {
        if (f.type == "video") fileDurations.insert(f.duration);
    }
    ASSERT_EQ((std::set<uint64_t>{33}), fileDurations);

    // A first player that returns once frames flow proves the stream is running.
    cli_testing::CliOptions firstFrames = kShortTimeouts;
    firstFrames.closeStdoutAfter = 200;
    runCli({"frames", target_}, firstFrames);
    const cli_testing::CliResult probed = runCli({"probe", "--json", target_}, kShortTimeouts);
    cli_testing::CliOptions someFrames = kShortTimeouts;
    someFrames.closeStdoutAfter = 4000;
    const cli_testing::CliResult played = runCli({"frames", target_}, someFrames);

    ASSERT_EQ(0, probed.status) << probed.err;
    const std::pair<const char*, const char*> fields[] = {
        {"video", "codec"}, {"video", "width"},       {"video", "height"},
        {"video", "frame_rate"}, {"audio", "sample_rate"}, {"audio", "channels"}};
    for (const auto& [section, key] : fields) {
        EXPECT_EQ(jsonNumber(local.out, section, key), jsonNumber(probed.out, section, key))
            << section << "." << key << " in " << probed.out;
    }
    size_t videoFrames = 0;
    for (const CsvFrame& f : parseFrames(played.out)) {
        if (f.type != "video") continue;
        ++videoFrames;
        EXPECT_EQ(33u, f.duration) << "at " << f.timestamp;
    }
    EXPECT_GT(videoFrames, 10u) << played.err;
}

INSTANTIATE_TEST_SUITE_P(Servers, LiveRtmpTest,
                         ::testing::Values(LiveServer::kNginx, LiveServer::kNodeMediaServer),
                         [](const ::testing::TestParamInfo<LiveServer>& server) {
                             return server.param == LiveServer::kNginx ? "nginx"
                                                                       : "node_media_server";
                         });

}  // namespace
