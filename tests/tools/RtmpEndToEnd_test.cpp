// RTMP streams through the command-line host against real servers: nginx plays a file on demand
// with exactly its frames and refuses a missing one at once; nginx and node-media-server relay a
// live stream to a player that came first (it ends once the publisher has gone) and to late
// joiners, who are told what the publisher sends; ffmpeg as a one-client server and
// node-media-server relay every frame of the file, to the last one, play after play.
#include <sys/wait.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "CliRunner.h"
#include "support/NginxServer.h"
#include "support/NodeMediaServer.h"
#include "support/TestMedia.h"

namespace {

using cli_testing::CliResult;
using cli_testing::runCli;
using namespace testing_support;
using Kind = TestMedia::Kind;

// A silent server ends the medium after |receiveMs| instead of the production 30 s.
cli_testing::CliOptions timeouts(int receiveMs) {
    return {{"ZOVOZUDO_RTMP_RECEIVE_TIMEOUT_MS=" + std::to_string(receiveMs),
             "ZOVOZUDO_RTMP_CONNECT_TIMEOUT_MS=4000"}};
}

struct Frame {
    std::string type;
    uint64_t timestamp, duration;
    bool key;
    std::string sizeAndCrc;
};

std::vector<Frame> parseFrames(const std::string& csv) {
    std::vector<Frame> frames;
    for (const std::string& line : cli_testing::splitLines(csv)) {
        std::vector<std::string> f;
        std::stringstream fields(line);
        for (std::string field; std::getline(fields, field, ',');) f.push_back(field);
        // The header, or a line cut by closing the output early.
        if (f.size() != 6 || f[0] == "type") continue;
        frames.push_back({f[0], std::stoull(f[1]), std::stoull(f[2]), f[3] == "1", f[4] + f[5]});
    }
    return frames;
}

// All but the durations, which on-demand play carries no metadata for; with |type| only the
// frames of that type, as a live relay may interleave the two types differently.
std::vector<std::string> framesOf(const std::string& csv, const std::string& type = "") {
    std::vector<std::string> out;
    for (const Frame& f : parseFrames(csv)) {
        if (type.empty() || f.type == type)
            out.push_back(f.type + std::to_string(f.timestamp) + (f.key ? "k" : "") + f.sizeAndCrc);
    }
    return out;
}

// Polls |ready| for at most 10 s, while |child| (if given) runs; the child is not reaped.
template <typename Ready>
bool waitUntil(Ready ready, pid_t child = 0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    siginfo_t ended{};
    while (!ready()) {
        if (child > 0 && ::waitid(P_PID, child, &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            ended.si_pid != 0)
            return false;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

pid_t spawnFfmpeg(std::vector<std::string> args) {
    args.insert(args.begin(), {TestMedia::ffmpegPath(), "-loglevel", "error", "-nostdin"});
    return spawnChild(args);
}

std::string nginxMissing() {
    const bool there =
        !NginxServer::binary().empty() && std::filesystem::exists(NginxServer::rtmpModule());
    return there ? "" : "needs nginx with its RTMP module";
}

NodeMediaServer& sharedNodeMediaServer() {
    static NodeMediaServer server;
    return server;
}

TEST(RtmpOnDemandTest, NginxPlaysTheFramesOfTheFileAndRefusesAMissingOne) {
    const std::string clip = TestMedia::file(Kind::kH264Aac);
    if (clip.empty()) GTEST_SKIP() << TestMedia::missingReason(Kind::kH264Aac);
    if (!nginxMissing().empty()) GTEST_SKIP() << nginxMissing();
    const std::string media = TestMedia::tempDir() + "/rtmp-e2e";
    std::filesystem::create_directories(media);
    std::filesystem::copy_file(clip, media + "/clip.flv",
                               std::filesystem::copy_options::overwrite_existing);
    const std::vector<std::string> expected = framesOf(runCli({"frames", clip}).out);
    ASSERT_GT(expected.size(), 20u);

    for (const std::string chunkSize : {"", "    chunk_size 4096;\n", "    chunk_size 128;\n"}) {
        SCOPED_TRACE(chunkSize);
        NginxServer nginx(NginxServer::rtmpConfig(media, chunkSize));
        ASSERT_TRUE(nginx.running()) << nginx.why();
        const std::string url = "rtmp://127.0.0.1:" + std::to_string(nginx.port());
        const CliResult remote = runCli({"frames", url + "/vod/clip.flv"}, timeouts(4000));
        EXPECT_EQ(0, remote.status) << remote.err;
        EXPECT_EQ(expected, framesOf(remote.out));
        if (!chunkSize.empty()) continue;
        // nginx keeps the connection open after its refusal: waiting would end in the time-out.
        const CliResult probed = runCli({"probe", url + "/vod/missing.flv"}, timeouts(4000));
        EXPECT_NE(0, probed.status);
        EXPECT_NE(std::string::npos,
                  probed.err.find("error 404: RTMP input: The server reported an error: "
                                  "NetStream.Play.StreamNotFound"))
            << probed.err;
    }
}

// Runs |count| plays, |width| at a time; play(i) is the i-th.
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
TEST(RtmpLiveServersTest, EveryFrameOfTheFileArrivesPlayAfterPlay) {
    const std::string clip = TestMedia::file(Kind::kH264Aac);
    if (clip.empty()) GTEST_SKIP() << TestMedia::missingReason(Kind::kH264Aac);
    const std::string local = runCli({"frames", clip}).out;
    const auto expectAllFrames = [&](const CliResult& played) {
        EXPECT_EQ(0, played.status) << played.err;
        for (const char* type : {"audio", "video"})
            EXPECT_EQ(framesOf(local, type), framesOf(played.out, type)) << type << played.err;
    };

    // ffmpeg -listen takes one client, sends the file and closes. Ports are kept apart, as a
    // play that reached another play's server would take its one client.
    std::mutex portsMutex;
    std::set<uint16_t> ports;
    const auto ffmpegPlay = [&](int) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            uint16_t port = 0;
            {
                std::lock_guard<std::mutex> lock(portsMutex);
                while (ports.count(port) != 0) port = freeLoopbackPort();
                ports.insert(port);
            }
            const std::string url = "rtmp://127.0.0.1:" + std::to_string(port) + "/live/s";
            const pid_t server =
                spawnFfmpeg({"-i", clip, "-c", "copy", "-f", "flv", "-listen", "1", url});
            // Whether it listens is read from the kernel's table: a test connection would take
            // the one client. A port taken in the meantime makes ffmpeg give up.
            char listening[48];
            std::snprintf(listening, sizeof(listening), " 0100007F:%04X 00000000:0000 0A ", port);
            if (waitUntil(
                    [&] {
                        return ReadTempFile("/proc/net/tcp").find(listening) != std::string::npos;
                    },
                    server)) {
                const CliResult played = runCli({"frames", url}, timeouts(4000));
                stopChild(server);
                return played;
            }
            stopChild(server);
        }
        return CliResult{};
    };
    for (const CliResult& played : playInParallel(16, 2, ffmpegPlay)) expectAllFrames(played);

    NodeMediaServer& relay = sharedNodeMediaServer();
    if (!relay.running()) GTEST_SKIP() << relay.why();
    // node-media-server never tells its players that the publisher has gone: they end after the
    // receive time-out.
    const auto relayPlay = [&](int play) {
        const std::string path = "/live/p" + std::to_string(play), url = relay.url(path);
        CliResult played;
        std::thread player([&] { played = runCli({"frames", url}, timeouts(3000)); });
        // The player is in before the publisher starts, so it misses nothing.
        if (waitUntil([&] {
                return ReadTempFile(relay.dir() + "output.log").find("start play " + path + "\n") !=
                       std::string::npos;
            })) {
            waitChild(spawnFfmpeg({"-i", clip, "-c", "copy", "-f", "flv", url}));
        }
        player.join();
        return played;
    };
    for (const CliResult& played : playInParallel(8, 4, relayPlay)) expectAllFrames(played);
}

// The text of a number in `zovozudo probe --json` output, e.g. "640" for "width".
std::string jsonNumber(const std::string& json, const std::string& section,
                       const std::string& key) {
    const size_t in = json.find("\"" + section + "\": {");
    const size_t at = json.find("\"" + key + "\": ", in);
    if (in == std::string::npos || at == std::string::npos) return "missing";
    const size_t begin = at + key.size() + 4;
    return json.substr(begin, json.find_first_of(",}", begin) - begin);
}

// A live stream of the file relayed by a real server, whichever form the server gives the
// metadata in (nginx: an object without audio rate and channels; node-media-server:
// "@setDataFrame" and an array). A player that joins while it runs (so between two key frames)
// is described as the file is, and its video frames last what the file's do.
class LiveRtmpTest : public ::testing::TestWithParam<bool> {};

TEST_P(LiveRtmpTest, EarlyAndLatePlayersGetWhatThePublisherSends) {
    const std::string clip = TestMedia::file(Kind::kH264AacLive);
    if (clip.empty()) GTEST_SKIP() << TestMedia::missingReason(Kind::kH264AacLive);
    std::unique_ptr<NginxServer> nginx;
    std::string target;
    if (GetParam()) {
        if (!nginxMissing().empty()) GTEST_SKIP() << nginxMissing();
        nginx = std::make_unique<NginxServer>(NginxServer::rtmpConfig(TestMedia::tempDir()));
        ASSERT_TRUE(nginx->running()) << nginx->why();
        target = "rtmp://127.0.0.1:" + std::to_string(nginx->port()) + "/live/cam";
    } else {
        if (!sharedNodeMediaServer().running()) GTEST_SKIP() << sharedNodeMediaServer().why();
        target = sharedNodeMediaServer().url("/live/cam");
    }
    const CliResult local = runCli({"probe", "--json", clip});
    ASSERT_EQ("640", jsonNumber(local.out, "video", "width")) << local.out;

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

    ASSERT_EQ(0, probed.status) << probed.err;
    for (const auto& [section, key] :
         std::vector<std::pair<const char*, const char*>>{{"video", "codec"},
                                                          {"video", "width"},
                                                          {"video", "height"},
                                                          {"video", "frame_rate"},
                                                          {"audio", "sample_rate"},
                                                          {"audio", "channels"}}) {
        EXPECT_EQ(jsonNumber(local.out, section, key), jsonNumber(probed.out, section, key))
            << section << "." << key << " in " << probed.out;
    }
    size_t videoFrames = 0;
    for (const Frame& f : parseFrames(played.out)) {
        if (f.type != "video") continue;
        ++videoFrames;
        EXPECT_EQ(33u, f.duration) << "at " << f.timestamp;
    }
    EXPECT_GT(videoFrames, 10u) << played.err;

    // The early player plays with rising timestamps until the publisher has gone.
    EXPECT_EQ(0, early.status) << early.err;
    std::map<std::string, uint64_t> last;
    bool keyVideo = false;
    for (const Frame& frame : parseFrames(early.out)) {
        EXPECT_GE(frame.timestamp, last[frame.type]) << frame.type;
        last[frame.type] = frame.timestamp;
        keyVideo = keyVideo || (frame.type == "video" && frame.key);
    }
    EXPECT_TRUE(keyVideo);
    EXPECT_GT(last["video"], 1000000u) << early.err;
}

INSTANTIATE_TEST_SUITE_P(Servers, LiveRtmpTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& nginx) {
                             return nginx.param ? "nginx" : "node_media_server";
                         });

}  // namespace
