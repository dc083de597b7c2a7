// A local file, an HTTP medium (nginx) and an RTMP stream (nginx-rtmp, on demand) played at once
// in one process by three plug-in objects, each on a thread of its own and each opened, played
// and closed several times: every medium gives exactly the frames of its own file, so media
// never mix.
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "host/RecordingHost.h"
#include "plugin/ZOVOzudo.h"
#include "support/NginxServer.h"
#include "support/TestMedia.h"

namespace {

using testing_support::NginxServer;
using testing_support::TestMedia;

// Type, timestamp, key flag and bytes; not the duration, which depends on metadata that
// on-demand RTMP does not carry. A failed open gives its message as one frame.
using Frame = std::tuple<int, uint64_t, bool, std::string>;

std::vector<Frame> play(ZOVOzudo& plugin, const std::string& location, const char* protocol) {
    host::RecordingMedium medium(location, protocol);
    host::RecordingError error;
    std::vector<Frame> frames;
    const bool opened = plugin.open(&medium, &error) && plugin.start();
    if (!opened) frames.emplace_back(0, 0, false, error.message.value_or(""));
    vanto::streamer::PACKETTYPE type;
    unsigned char* data = nullptr;
    unsigned int size = 0;
    uint64_t timestamp = 0, duration = 0;
    void* handle = nullptr;
    bool key = false;
    while (opened && plugin.readFrame(type, data, size, timestamp, duration, handle, key)) {
        frames.emplace_back(type, timestamp, key, std::string(data, data + size));
        plugin.freeFrame(data, handle);
    }
    plugin.stop();
    plugin.close();
    return frames;
}

TEST(ManyMediaTest, ThreeKindsAtOnceKeepToTheirOwnFrames) {
    // Three different files, so that a frame that strays into another medium shows.
    const std::pair<TestMedia::Kind, const char*> kinds[] = {
        {TestMedia::Kind::kAdpcmStereo, "file"},
        {TestMedia::Kind::kFlv1Mp3, "http"},
        {TestMedia::Kind::kH264Aac, "rtmp"}};
    std::string files[3], names[3];
    for (int i = 0; i < 3; ++i) {
        files[i] = TestMedia::file(kinds[i].first);
        if (files[i].empty()) GTEST_SKIP() << TestMedia::missingReason(kinds[i].first);
        names[i] = files[i].substr(files[i].rfind('/'));
    }
    if (!std::filesystem::exists(NginxServer::rtmpModule())) GTEST_SKIP() << "needs nginx-rtmp";
    NginxServer http(NginxServer::httpConfig(TestMedia::tempDir()));
    NginxServer rtmp(NginxServer::rtmpConfig(TestMedia::tempDir()));
    if (!http.running()) GTEST_SKIP() << http.why();
    ASSERT_TRUE(rtmp.running()) << rtmp.why();
    const std::string locations[] = {
        files[0], http.url(names[1]),
        "rtmp://127.0.0.1:" + std::to_string(rtmp.port()) + "/vod" + names[2]};
    std::vector<Frame> expected[3];
    std::vector<std::vector<Frame>> played[3];
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
        ZOVOzudo alone;
        expected[i] = play(alone, files[i], "file");
        ASSERT_GT(expected[i].size(), 10u) << files[i];
    }
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&, i] {
            ZOVOzudo plugin;
            for (int loop = 0; loop < 3; ++loop) {
                played[i].push_back(play(plugin, locations[i], kinds[i].second));
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int i = 0; i < 3; ++i) {
        for (const std::vector<Frame>& frames : played[i]) {
            EXPECT_TRUE(frames == expected[i])
                << locations[i] << ": " << frames.size() << " frames "
                << (frames.empty() ? "" : std::get<3>(frames[0]));
        }
    }
}

}  // namespace
