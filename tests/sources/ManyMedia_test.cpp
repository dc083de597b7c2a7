// A local file, an HTTP medium (nginx) and an RTMP stream (nginx-rtmp, on demand) played at once
// in one process by three plug-in objects, each on a thread of its own and each opened, played
// and closed several times: every medium gives exactly the frames of its own file, so media
// never mix, and the one process-wide log takes whole lines from all three.
#include <zlib.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "host/RecordingHost.h"
#include "plugin/ZOVOzudo.h"
#include "support/LogTestEnvironment.h"
#include "support/NginxServer.h"
#include "support/TestMedia.h"

namespace {

using testing_support::NginxServer;
using testing_support::TestMedia;

constexpr int kLoops = 3;

// Type, timestamp, key flag, size and CRC; not the duration, which depends on metadata that
// on-demand RTMP does not carry. An open that fails gives its "code message" as one frame.
using Frame = std::tuple<int, uint64_t, bool, unsigned int, uLong, std::string>;

std::vector<Frame> play(ZOVOzudo& plugin, const std::string& location, const char* protocol) {
    host::RecordingMedium medium(location, protocol);
    host::RecordingError error;
    std::vector<Frame> frames;
    if (!plugin.open(&medium, &error)) {
        frames.emplace_back(
            0, 0, false, 0, 0,
            std::to_string(error.code.value_or(0)) + " " + error.message.value_or(""));
    } else {
        plugin.start();
        vanto::streamer::PACKETTYPE type;
        unsigned char* data = nullptr;
        unsigned int size = 0;
        uint64_t timestamp = 0, duration = 0;
        void* handle = nullptr;
        bool key = false;
        while (plugin.readFrame(type, data, size, timestamp, duration, handle, key)) {
            frames.emplace_back(type, timestamp, key, size, crc32(0, data, size), "");
            plugin.freeFrame(data, handle);
        }
        plugin.stop();
    }
    plugin.close();
    return frames;
}

TEST(ManyMediaTest, ThreeKindsAtOnceKeepToTheirOwnFramesAndShareOneLog) {
    // Three different files, so that a frame that strays into another medium shows.
    const std::pair<TestMedia::Kind, const char*> kinds[] = {
        {TestMedia::Kind::kAdpcmStereo, "file"},
        {TestMedia::Kind::kFlv1Mp3, "http"},
        {TestMedia::Kind::kH264Aac, "rtmp"}};
    std::string files[3], locations[3];
    for (int i = 0; i < 3; ++i) {
        files[i] = TestMedia::file(kinds[i].first);
        if (files[i].empty()) GTEST_SKIP() << TestMedia::missingReason(kinds[i].first);
    }
    if (!std::filesystem::exists(NginxServer::rtmpModule())) GTEST_SKIP() << "needs nginx-rtmp";
    NginxServer http(NginxServer::httpConfig(TestMedia::tempDir()));
    NginxServer rtmp(NginxServer::rtmpConfig(TestMedia::tempDir()));
    if (!http.running()) GTEST_SKIP() << http.why();
    ASSERT_TRUE(rtmp.running()) << rtmp.why();
    const auto name = [&](int i) { return files[i].substr(files[i].rfind('/')); };
    locations[0] = files[0];
    locations[1] = http.url(name(1));
    locations[2] = "rtmp://127.0.0.1:" + std::to_string(rtmp.port()) + "/vod" + name(2);

    LogTestEnvironment environment;
    environment.setLogLevel(3);
    std::vector<Frame> expected[3];
    {
        ZOVOzudo alone;
        for (int i = 0; i < 3; ++i) {
            expected[i] = play(alone, files[i], "file");
            ASSERT_GT(expected[i].size(), 10u) << files[i];
        }
    }
    std::filesystem::remove(environment.logFile("ZOVOzudo.log"));

    // Made before the threads, so that the last one's log is the process-wide log for the whole
    // run, as with a host that keeps its plug-in objects.
    std::vector<std::unique_ptr<ZOVOzudo>> plugins;
    for (int i = 0; i < 3; ++i) plugins.push_back(std::make_unique<ZOVOzudo>());
    std::vector<std::vector<Frame>> played[3];
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&, i] {
            for (int loop = 0; loop < kLoops; ++loop) {
                played[i].push_back(play(*plugins[i], locations[i], kinds[i].second));
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    plugins.clear();

    int opens[3] = {};
    const std::regex line(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3} \[[A-Z ]{5}\] - .*)");
    for (const std::string& text : LogFileLines(environment.logFile("ZOVOzudo.log"))) {
        if (text.empty()) continue;
        EXPECT_TRUE(std::regex_match(text, line)) << text;
        for (int i = 0; i < 3; ++i) opens[i] += text.find("::open : " + locations[i]) != text.npos;
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(kLoops, opens[i]) << locations[i];
        for (const std::vector<Frame>& frames : played[i]) {
            EXPECT_TRUE(frames == expected[i])
                << locations[i] << ": " << frames.size() << " frames "
                << (frames.empty() ? "" : std::get<5>(frames[0]));
        }
    }
}

}  // namespace
