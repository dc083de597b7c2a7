// A local file, an HTTP medium (nginx) and an RTMP stream (nginx-rtmp, on demand) played at once
// in one process by three plug-in objects, each on a thread of its own and each opened, played
// and closed several times: every medium gives exactly the frames of its own file, so media
// never mix, and the one process-wide log takes whole lines from all three.
#include <zlib.h>

#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/TextConversion.h"
#include "flv/FLVHeader.h"
#include "flv/FLVPacket.h"
#include "host/RecordingHost.h"
#include "plugin/ZOVOzudo.h"
#include "sources/HTTPClient.h"
#include "support/LogTestEnvironment.h"
#include "support/NginxServer.h"
#include "support/TestMedia.h"

namespace {

using testing_support::NginxServer;
using testing_support::TestMedia;

constexpr int kLoops = 3;

// A frame without its duration, which depends on metadata that on-demand RTMP does not carry.
struct Frame {
    int type;
    uint64_t timestampUs;
    bool key;
    unsigned int size;
    uLong crc;
    bool operator==(const Frame& o) const {
        return type == o.type && timestampUs == o.timestampUs && key == o.key && size == o.size &&
               crc == o.crc;
    }
};

// Every frame of one play, or the open error as "code message" in |failure|.
std::vector<Frame> play(ZOVOzudo& plugin, const std::string& location, const char* protocol,
                        std::string* failure) {
    host::RecordingMedium medium(location, protocol);
    host::RecordingError error;
    std::vector<Frame> frames;
    if (!plugin.open(&medium, &error)) {
        *failure = std::to_string(error.code.value_or(0)) + " " + error.message.value_or("");
        plugin.close();
        return frames;
    }
    plugin.start();
    vanto::streamer::PACKETTYPE type;
    unsigned char* data = nullptr;
    unsigned int size = 0;
    uint64_t timestamp = 0, duration = 0;
    void* handle = nullptr;
    bool key = false;
    while (plugin.readFrame(type, data, size, timestamp, duration, handle, key)) {
        frames.push_back({type, timestamp, key, size, crc32(0, data, size)});
        plugin.freeFrame(data, handle);
    }
    plugin.stop();
    plugin.close();
    return frames;
}

struct Medium {
    Medium(TestMedia::Kind k, const char* p) : kind(k), protocol(p) {}
    TestMedia::Kind kind;
    const char* protocol;
    std::string file;
    std::string location;
    std::vector<Frame> expected;
    std::vector<std::vector<Frame>> played;
    std::vector<std::string> failures;
};

TEST(ManyMediaTest, ThreeKindsAtOnceKeepToTheirOwnFramesAndShareOneLog) {
    // Three different files, so that a frame that strays into another medium shows.
    std::vector<Medium> media = {{TestMedia::Kind::kAdpcmStereo, "file"},
                                 {TestMedia::Kind::kFlv1Mp3, "http"},
                                 {TestMedia::Kind::kH264Aac, "rtmp"}};
    for (Medium& medium : media) {
        medium.file = TestMedia::file(medium.kind);
        if (medium.file.empty()) GTEST_SKIP() << TestMedia::missingReason(medium.kind);
    }
    if (!std::filesystem::exists(NginxServer::rtmpModule())) GTEST_SKIP() << "needs nginx-rtmp";
    const std::string folder = TestMedia::tempDir();
    NginxServer http(NginxServer::httpConfig(folder));
    NginxServer rtmp(NginxServer::rtmpConfig(folder));
    if (!http.running()) GTEST_SKIP() << http.why();
    ASSERT_TRUE(rtmp.running()) << rtmp.why();
    const auto name = [](const std::string& path) { return path.substr(path.rfind('/')); };
    media[0].location = media[0].file;
    media[1].location = http.url(name(media[1].file));
    media[2].location =
        "rtmp://127.0.0.1:" + std::to_string(rtmp.port()) + "/vod" + name(media[2].file);

    LogTestEnvironment environment;
    environment.setLogLevel(3);
    {
        // The expected frames, one medium at a time from the files themselves.
        ZOVOzudo alone;
        for (Medium& medium : media) {
            std::string failure;
            medium.expected = play(alone, medium.file, "file", &failure);
            ASSERT_GT(medium.expected.size(), 10u) << medium.file << ": " << failure;
        }
    }
    std::filesystem::remove(environment.logFile("ZOVOzudo.log"));

    // Made here, before the threads, so that the last one's log is the process-wide log for the
    // whole run, as with a host that keeps its plug-in objects.
    std::vector<std::unique_ptr<ZOVOzudo>> plugins;
    for (size_t i = 0; i < media.size(); ++i) plugins.push_back(std::make_unique<ZOVOzudo>());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < media.size(); ++i) {
        threads.emplace_back([&medium = media[i], &plugin = *plugins[i]] {
            for (int loop = 0; loop < kLoops; ++loop) {
                std::string failure;
                medium.played.push_back(play(plugin, medium.location, medium.protocol, &failure));
                if (!failure.empty()) medium.failures.push_back(failure);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    plugins.clear();

    for (const Medium& medium : media) {
        EXPECT_TRUE(medium.failures.empty()) << medium.location << ": " << medium.failures[0];
        for (const std::vector<Frame>& frames : medium.played) {
            EXPECT_TRUE(frames == medium.expected)
                << medium.location << ": " << frames.size() << " frames, " << medium.expected.size()
                << " expected";
        }
    }
    const std::regex line(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3} \[[A-Z ]{5}\] - .*)");
    std::vector<int> opens(media.size());
    for (const std::string& text : LogFileLines(environment.logFile("ZOVOzudo.log"))) {
        if (text.empty()) continue;
        EXPECT_TRUE(std::regex_match(text, line)) << text;
        for (size_t i = 0; i < media.size(); ++i) {
            opens[i] += text.find("::open : " + media[i].location) != std::string::npos;
        }
    }
    for (size_t i = 0; i < media.size(); ++i) {
        EXPECT_EQ(kLoops, opens[i]) << media[i].location;
    }
}

// Regression: the first HTTP sources of a process, opened at the same moment, each started a Qt
// application of their own (or replaced the starting one's thread, which ends the process).
TEST(ManyMediaTest, HttpSourcesOpenedAtOnceShareOneApplication) {
    const std::string file = TestMedia::file(TestMedia::Kind::kFlv1Mp3);
    if (file.empty()) GTEST_SKIP() << TestMedia::missingReason(TestMedia::Kind::kFlv1Mp3);
    NginxServer http(NginxServer::httpConfig(TestMedia::tempDir()));
    if (!http.running()) GTEST_SKIP() << http.why();
    const std::string url = http.url(file.substr(file.rfind('/')));
    constexpr int kSources = 6;
    for (int round = 0; round < kLoops; ++round) {
        std::mutex mutex;
        std::condition_variable gate;
        bool go = false;
        std::vector<int> tags(kSources, -1);
        std::vector<std::thread> threads;
        for (int i = 0; i < kSources; ++i) {
            threads.emplace_back([&, i] {
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    gate.wait(lock, [&] { return go; });
                }
                HTTPClient source;
                if (!source.open(utf8ToWide(url.c_str()), nullptr)) return;
                delete source.readHeader();
                for (tags[i] = 0; FLVPacket* packet = source.readPacket(); ++tags[i]) delete packet;
            });
        }
        {
            std::lock_guard<std::mutex> guard(mutex);
            go = true;
        }
        gate.notify_all();
        for (std::thread& thread : threads) thread.join();
        for (int count : tags) EXPECT_EQ(tags[0], count) << "round " << round;
        EXPECT_GT(tags[0], 10) << "round " << round;
    }
}

}  // namespace
