// RTMP through the command-line host against nginx, node-media-server and ffmpeg -listen: plays on
// demand and live, early and late joiners, every frame of a file play after play, a refusal.
#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "CliRunner.h"
#include "support/NginxServer.h"
#include "support/TestMedia.h"

namespace {

using cli_testing::CliResult;
using cli_testing::runCli;
using cli_testing::split;
using namespace testing_support;
using Kind = TestMedia::Kind;

// A silent server ends the medium after |receiveMs| instead of the production 30 s.
cli_testing::CliOptions timeouts(int receiveMs) {
    return {{"ZOVOZUDO_RTMP_RECEIVE_TIMEOUT_MS=" + std::to_string(receiveMs),
             "ZOVOZUDO_RTMP_CONNECT_TIMEOUT_MS=4000"}};
}

// The fields of each `frames` CSV line but the header and one cut by closing the output early.
std::vector<std::vector<std::string>> rows(const std::string& csv) {
    std::vector<std::vector<std::string>> out;
    for (const std::string& line : split(csv)) {
        out.push_back(split(line, ','));
        if (out.back().size() != 6 || out.back()[0] == "type") out.pop_back();
    }
    return out;
}

// No durations (on demand has no metadata for them); |type|: a relay may interleave differently.
std::vector<std::string> framesOf(const std::string& csv, const std::string& type = "") {
    std::vector<std::string> out;
    for (const auto& f : rows(csv))
        if (type.empty() || f[0] == type) out.push_back(f[0] + f[1] + "," + f[3] + f[4] + f[5]);
    return out;
}

pid_t spawnFfmpeg(std::vector<std::string> args) {
    args.insert(args.begin(), {findExecutable("ffmpeg"), "-loglevel", "error", "-nostdin"});
    return spawnChild(args);
}

// One of each, as node-media-server takes seconds to start; nginx's chunks are 128, others' larger.
ServerProcess& server(bool nginx) {
    static NginxServer nginxServer(
        NginxServer::rtmpConfig(TestMedia::tempDir(), "    chunk_size 128;\n"));
    static NodeMediaServer nodeServer;
    return nginx ? static_cast<ServerProcess&>(nginxServer) : nodeServer;
}

std::string url(bool nginx, const std::string& path) {
    return "rtmp://127.0.0.1:" + std::to_string(server(nginx).port()) + path;
}

// Why a test of that server skips; a server there that does not start fails the test.
std::string missing(bool nginx) {
    if (nginx &&
        (NginxServer::binary().empty() || !std::filesystem::exists(NginxServer::rtmpModule())))
        return "needs nginx with its RTMP module";
    return nginx || server(false).running() ? "" : server(false).why();
}

// Runs play(0) to play(count - 1), |width| at a time.
template <typename Play>
std::vector<CliResult> playInParallel(int count, int width, Play play) {
    std::vector<CliResult> results(count);
    std::atomic<int> next{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < width; ++w) {
        workers.emplace_back([&] {
            for (int i = next++; i < count; i = next++) results[i] = play(i);
        });
    }
    for (std::thread& worker : workers) worker.join();
    return results;
}

// The fault these plays found (a failed write after the server had sent everything and closed
// threw away what was received) failed about one play in three.
TEST(RtmpServersTest, EveryFrameOfTheFileArrivesPlayAfterPlay) {
    const std::string clip = TestMedia::file(Kind::kH264Aac);
    if (clip.empty()) GTEST_SKIP() << TestMedia::missingReason(Kind::kH264Aac);
    const std::string local = runCli({"frames", clip}).out;
    ASSERT_GT(framesOf(local).size(), 20u);
    const auto expectAllFrames = [&](const CliResult& played) {
        EXPECT_EQ(0, played.status) << played.err;
        for (const char* type : {"audio", "video"})
            EXPECT_EQ(framesOf(local, type), framesOf(played.out, type)) << type << played.err;
    };

    // ffmpeg -listen takes one client only: ports kept apart, so no play reaches another's server.
    std::mutex portsMutex;
    std::set<uint16_t> ports;
    const auto ffmpegPlay = [&](int) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            uint16_t port = 0;
            {
                std::lock_guard<std::mutex> lock(portsMutex);
                do port = freeLoopbackPort();
                while (!ports.insert(port).second);
            }
            const std::string url = "rtmp://127.0.0.1:" + std::to_string(port) + "/live/s";
            const pid_t server =
                spawnFfmpeg({"-i", clip, "-c", "copy", "-f", "flv", "-listen", "1", url});
            // Not by connecting: a test connection would take the one client.
            const bool up = waitUntil([&] { return listening(port); }, server);
            const CliResult played = up ? runCli({"frames", url}, timeouts(4000)) : CliResult{};
            stopChild(server);
            if (up) return played;
        }
        return CliResult{};
    };
    for (const CliResult& played : playInParallel(16, 2, ffmpegPlay)) expectAllFrames(played);

    if (!missing(true).empty()) GTEST_SKIP() << missing(true);
    ASSERT_TRUE(server(true).running()) << server(true).why();
    // On demand the order of the file's frames is kept.
    const CliResult remote = runCli({"frames", url(true, "/vod/h264_aac.flv")}, timeouts(4000));
    EXPECT_EQ(framesOf(local), framesOf(remote.out)) << remote.err;
    // nginx keeps the connection open after its refusal: waiting would end in the time-out.
    const CliResult probed = runCli({"probe", url(true, "/vod/missing.flv")}, timeouts(4000));
    EXPECT_NE(
        probed.err.find("error 404: RTMP input: The server reported an error: "
                        "NetStream.Play.StreamNotFound (Video on demand stream not found).\n"),
        std::string::npos)
        << probed.err;

    if (!missing(false).empty()) GTEST_SKIP() << missing(false);
    // node-media-server never tells its players that the publisher has gone: they time out.
    const auto relayPlay = [&](int play) {
        const std::string path = "/live/p" + std::to_string(play), target = url(false, path);
        CliResult played;
        std::thread player([&] { played = runCli({"frames", target}, timeouts(3000)); });
        // The player is in before the publisher starts, so it misses nothing.
        if (waitUntil([&] {
                return ReadTempFile(server(false).dir() + "output.log")
                           .find("start play " + path + "\n") != std::string::npos;
            })) {
            waitChild(spawnFfmpeg({"-i", clip, "-c", "copy", "-f", "flv", target}));
        }
        player.join();
        return played;
    };
    for (const CliResult& played : playInParallel(8, 4, relayPlay)) expectAllFrames(played);
}

// The text of a number in `zovozudo probe --json` output, e.g. "640" for "video.width".
std::string jsonNumber(const std::string& json, const std::string& sectionAndKey) {
    const size_t dot = sectionAndKey.find('.');
    const std::string key = "\"" + sectionAndKey.substr(dot + 1) + "\": ";
    const size_t at = json.find(key, json.find("\"" + sectionAndKey.substr(0, dot) + "\": {"));
    if (at == std::string::npos) return "missing";
    return json.substr(at + key.size(), json.find_first_of(",}", at) - at - key.size());
}

// Metadata as nginx (no audio rate and channels) and node-media-server ("@setDataFrame", array)
// relay it: a late joiner (between two key frames) is described as the file and timed as it.
class LiveRtmpTest : public ::testing::TestWithParam<bool> {};

TEST_P(LiveRtmpTest, EarlyAndLatePlayersGetWhatThePublisherSends) {
    const std::string clip = TestMedia::file(Kind::kH264AacLive);
    if (clip.empty()) GTEST_SKIP() << TestMedia::missingReason(Kind::kH264AacLive);
    if (!missing(GetParam()).empty()) GTEST_SKIP() << missing(GetParam());
    ASSERT_TRUE(server(GetParam()).running()) << server(GetParam()).why();
    const std::string target = url(GetParam(), "/live/cam");
    const CliResult local = runCli({"probe", "--json", clip});
    ASSERT_EQ("640", jsonNumber(local.out, "video.width")) << local.out;

    CliResult early;
    std::thread earlyPlayer([&] { early = runCli({"frames", target}, timeouts(2000)); });
    const pid_t publisher =
        spawnFfmpeg({"-re", "-stream_loop", "-1", "-i", clip, "-c", "copy", "-f", "flv", target});
    // A first probe returns once the stream runs; the second joins it running.
    runCli({"probe", target}, timeouts(4000));
    const CliResult probed = runCli({"probe", "--json", target}, timeouts(4000));
    cli_testing::CliOptions someFrames = timeouts(4000);
    someFrames.interruptWhen = [](const std::string& out) { return out.size() >= 4000; };
    const CliResult played = runCli({"frames", target}, someFrames);
    stopChild(publisher);
    earlyPlayer.join();

    for (const char* key : {"video.codec", "video.width", "video.height", "video.frame_rate",
                            "audio.sample_rate", "audio.channels"})
        EXPECT_EQ(jsonNumber(local.out, key), jsonNumber(probed.out, key))
            << key << " in " << probed.out << probed.err;
    size_t videoFrames = 0;
    for (const auto& f : rows(played.out)) {
        if (f[0] != "video") continue;
        ++videoFrames;
        EXPECT_EQ("33", f[2]) << "at " << f[1];
    }
    EXPECT_GT(videoFrames, 10u) << played.err;

    // The early player plays with rising timestamps until the publisher has gone.
    EXPECT_EQ(0, early.status) << early.err;
    std::map<std::string, uint64_t> last;
    bool keyVideo = false;
    for (const auto& f : rows(early.out)) {
        EXPECT_GE(std::stoull(f[1]), last[f[0]]) << f[0];
        last[f[0]] = std::stoull(f[1]);
        keyVideo = keyVideo || (f[0] == "video" && f[3] == "1");
    }
    EXPECT_TRUE(keyVideo);
    EXPECT_GT(last["video"], 1000000u) << early.err;
}

INSTANTIATE_TEST_SUITE_P(Servers, LiveRtmpTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& nginx) {
                             return nginx.param ? "nginx" : "node_media_server";
                         });

}  // namespace
