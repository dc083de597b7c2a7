// The plug-in object driven through the host interface, with scripted sources behind it.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/Log.h"
#include "host/RecordingHost.h"
#include "plugin/SourceFactory.h"
#include "plugin/ZOVOzudo.h"
#include "sources/HTTPClient.h"
#include "sources/LocalClient.h"
#include "sources/RTMPClient.h"
#include "support/FakeSource.h"
#include "support/FlvWriter.h"

using testing_support::audioTag;
using testing_support::FakeScript;
using testing_support::FakeSource;
using testing_support::FakeTag;
using testing_support::metadataTag;
using testing_support::videoTag;
using vanto::streamer::PACKETTYPE;

namespace {

constexpr uint8_t kAudioAndVideo = 0x05;
constexpr uint8_t kVideoOnly = 0x01;
constexpr uint8_t kNoStreams = 0x00;

struct Frame {
    PACKETTYPE type;
    uint64_t timestamp;
    uint64_t duration;
    bool key;
    unsigned int size;
};

class PluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        setSourceCreatorForTesting([this](const std::string& scheme) {
            schemes.push_back(scheme);
            return std::make_unique<FakeSource>(script);
        });
    }
    void TearDown() override { setSourceCreatorForTesting(nullptr); }

    bool open(const char* location = "fake://medium") {
        host::RecordingMedium medium(location, "fake");
        error.code.reset();
        error.message.reset();
        return plugin.open(&medium, &error);
    }

    // Pulls every frame, freeing each, with |incomingDuration| passed in for every frame.
    std::vector<Frame> drain(uint64_t incomingDuration = 0) {
        std::vector<Frame> frames;
        for (;;) {
            PACKETTYPE type = vanto::streamer::PACKET_AUDIO;
            unsigned char* data = nullptr;
            unsigned int size = 0;
            uint64_t timestamp = 0, duration = incomingDuration;
            void* handle = nullptr;
            bool key = false;
            if (!plugin.readFrame(type, data, size, timestamp, duration, handle, key)) break;
            frames.push_back(Frame{type, timestamp, duration, key, size});
            plugin.freeFrame(data, handle);
        }
        return frames;
    }

    std::vector<uint64_t> timestamps(const std::vector<Frame>& frames) {
        std::vector<uint64_t> out;
        for (const Frame& frame : frames) out.push_back(frame.timestamp / 1000);
        return out;
    }

    std::shared_ptr<FakeScript> script = std::make_shared<FakeScript>();
    std::vector<std::string> schemes;
    host::RecordingError error;
    ZOVOzudo plugin;
};

struct ExaminationCase {
    const char* name;
    std::optional<uint8_t> headerFlags;
    std::vector<FakeTag> tags;
    bool opens;
    int tagsRead;  // during examination
    bool audio;
    bool video;
};

std::vector<FakeTag> repeat(const FakeTag& tag, int count, uint32_t step = 40,
                            uint32_t start = 0) {
    std::vector<FakeTag> tags;
    for (int i = 0; i < count; ++i) {
        tags.push_back(tag);
        tags.back().timestamp = start + static_cast<uint32_t>(i) * step;
    }
    return tags;
}

std::vector<FakeTag> operator+(std::vector<FakeTag> a, const std::vector<FakeTag>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(PluginTest, ExaminationFindsTheExpectedStreams) {
    const std::vector<ExaminationCase> cases = {
        // ... and the second video tag, for a frame rate.
        {"both announced and present", kAudioAndVideo, {videoTag(0), audioTag(0), videoTag(40)},
         true, 3, true, true},
        {"announced audio missing, short file", kAudioAndVideo, repeat(videoTag(0), 5), false, 5,
         false, false},
        // The examination ends 10 s of stream time after the first tag (tag 251 at 40 ms),
        // after 1,000 tags, script tags included, or after 32 MiB of tag data.
        {"announced audio missing, 10 s", kAudioAndVideo, repeat(videoTag(1), 300), true, 251,
         false, true},
        // Servers send a running stream's configurations with timestamps of their own.
        {"stream time counts from the first frame", std::nullopt,
         std::vector<FakeTag>{{8, 0, {0xAF, 0, 0x12, 0x10}}} +
             repeat(audioTag(0), 400, 40, 60000) + repeat(videoTag(1), 1),
         true, 252, true, false},
        {"no header, audio only", std::nullopt, repeat(audioTag(0), 300), true, 251, true, false},
        {"no header, audio only, 1000 tags", std::nullopt, repeat(audioTag(0), 1100, 1), true,
         1000, true, false},
        {"32 MiB", kAudioAndVideo, repeat(audioTag(0, 0x2F, (16 << 20) - 2), 3, 0), true, 3,
         true, false},
        {"1000 tags of metadata", kVideoOnly,
         repeat(metadataTag({}), 1000, 0) + repeat(videoTag(0), 1), false, 1000, false, false},
        {"timestamps going back do not end it", std::nullopt,
         std::vector<FakeTag>{audioTag(50000)} + repeat(audioTag(0), 1100, 1), true, 1000, true,
         false},
        // A player that joins a live stream between key frames gets seconds of audio first.
        {"late joiner", std::nullopt,
         repeat(metadataTag({{"framerate", 30}}), 1) + repeat(audioTag(0), 200, 23) +
             repeat(videoTag(0), 1),
         true, 202, true, true},
        {"metadata video codec promises video", kNoStreams,
         {metadataTag({{"videocodecid", 7}}), audioTag(0), audioTag(20), videoTag(40)}, true, 4,
         true, true},
        {"metadata audio rate adds audio", kVideoOnly,
         {metadataTag({{"audiodatarate", 96}}), videoTag(0), videoTag(40), audioTag(50)}, true, 4,
         true, true},
        {"one-byte video does not count", kVideoOnly,
         {videoTag(0, true, 0), videoTag(40, true, 0), videoTag(80)}, true, 3, false, true},
        {"nothing announced: the first tag is enough", kNoStreams,
         {metadataTag({{"framerate", 25}}), videoTag(0), audioTag(0)}, true, 2, false, true},
        {"no tags", kAudioAndVideo, {}, false, 0, false, false},
        {"only script tags", kAudioAndVideo, repeat(metadataTag({}), 3), false, 3, false, false},
    };
    for (const ExaminationCase& c : cases) {
        SCOPED_TRACE(c.name);
        script = std::make_shared<FakeScript>();
        script->headerFlags = c.headerFlags;
        script->tags = c.tags;
        plugin.stop();
        plugin.close();

        EXPECT_EQ(c.opens, open());
        EXPECT_EQ(c.tagsRead, script->packetsRead);
        if (!c.opens) {
            EXPECT_EQ(2, error.code.value_or(-1));
            EXPECT_FALSE(error.message.has_value());
            continue;
        }
        host::RecordingStreamDescription description;
        plugin.getStreamDescription(&description);
        EXPECT_EQ(c.audio, description.audio.sampleRate.has_value());
        EXPECT_EQ(c.video, description.video.width.has_value());
    }
}

TEST_F(PluginTest, DescriptionCallsComeInOrder) {
    script->headerFlags = kAudioAndVideo;
    script->tags = {metadataTag({{"duration", 12.3456},
                                 {"width", 320},
                                 {"height", 240},
                                 {"videodatarate", 409.6},
                                 {"framerate", 25},
                                 {"videocodecid", 7},
                                 {"audiodatarate", 96},
                                 {"audiosamplerate", 44100},
                                 {"audiocodecid", 2}}),
                    videoTag(0), audioTag(0, 0x2F)};
    ASSERT_TRUE(open());

    host::Journal journal;
    host::RecordingStreamDescription description(&journal);
    host::RecordingMedium medium("x", "file", &journal);
    plugin.getStreamDescription(&description);
    plugin.getMediumDescription(&medium);
    const host::Journal expected = {
        "stream.setFormat(flv)",       "video.setWidth(320)",       "video.setHeight(240)",
        "video.setBitRate(409600)",    "video.setFrameRate(25)",    "video.setCodec(h264)",
        "audio.setSampleRate(44100)",  "audio.setChannels(2)",      "audio.setBitRate(96000)",
        "audio.setCodec(mp3)",         "audio.setBitsPerSample(16)", "medium.setDuration(12345)",
        "medium.setFirstFlag(0)",      "medium.setSecondFlag(1)"};
    EXPECT_EQ(expected, journal);
}

TEST_F(PluginTest, CodecNames) {
    struct Case {
        double videoCodec;
        const char* videoName;
        double audioCodec;
        std::optional<std::string> audioName;
        std::optional<int> rawVariant;
    };
    const std::vector<Case> cases = {
        {2, "svq", 0, "raw", 0},       {3, "flv", 1, "raw", 1},
        {4, "vp6f", 2, "mp3", {}},     {5, "vp6f", 5, "nellymoser", {}},
        {7, "h264", 6, "nellymoser", {}}, {6, "flv", 10, {}, {}},
        {12, "flv", 3, {}, {}},        {1, "flv", 7, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.videoName);
        script = std::make_shared<FakeScript>();
        script->headerFlags = kAudioAndVideo;
        script->tags = {metadataTag({{"videocodecid", c.videoCodec},
                                     {"audiocodecid", c.audioCodec},
                                     {"audiosamplerate", 8000},
                                     {"audiodatarate", 32}}),
                        // A metadata codec id of 0 is completed from the first audio tag.
                        videoTag(0), audioTag(0, uint8_t(int(c.audioCodec) << 4 | 0x0F))};
        plugin.close();
        ASSERT_TRUE(open());
        host::RecordingStreamDescription description;
        plugin.getStreamDescription(&description);
        EXPECT_EQ(c.videoName, description.video.codec.value_or(""));
        EXPECT_EQ(c.audioName, description.audio.codec);
        EXPECT_EQ(c.rawVariant, description.audio.rawVariant);
        // Rate, channels and bit rate are set whatever the codec.
        EXPECT_EQ(8000u, description.audio.sampleRate.value_or(0));
        EXPECT_EQ(32000u, description.audio.bitRate.value_or(0));
    }
}

// What the metadata leaves out comes from the H.264 and AAC configurations, or from the video
// timestamps; what it says stays.
TEST_F(PluginTest, DescriptionFromTheCodecConfiguration) {
    testing_support::SpsFields withTiming;
    withTiming.crop = {0, 0, 0, 4};
    withTiming.unitsInTick = 1;
    withTiming.timeScale = 60;
    const testing_support::SpsFields withoutTiming;
    const std::string aac48kMono("\xAF\x00\x11\x88", 4);  // tag flags: 44.1 kHz stereo
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, double>> metadata;
        const testing_support::SpsFields& sps;
        uint32_t width, height;
        double frameRate;
        uint32_t sampleRate, channels;
        uint64_t videoDuration;
    };
    const Case cases[] = {
        {"no metadata", {}, withTiming, 640, 360, 30, 48000, 1, 33},
        {"nginx live leaves out the audio",
         {{"width", 1280}, {"framerate", 25}, {"videocodecid", 7}, {"audiocodecid", 10}},
         withTiming, 1280, 360, 25, 48000, 1, 40},
        {"file metadata", {{"audiosamplerate", 44100}, {"audiochannels", 2}, {"height", 720}},
         withTiming, 640, 720, 30, 44100, 2, 33},
        {"rate from the timestamps", {}, withoutTiming, 640, 368, 30, 48000, 1, 33},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        script = std::make_shared<FakeScript>();
        if (!c.metadata.empty()) script->tags.push_back(metadataTag(c.metadata));
        const std::string avc =
            testing_support::avcSequenceHeaderTag(testing_support::avcConfigurationRecord(c.sps));
        script->tags.push_back({9, 0, {avc.begin(), avc.end()}});
        script->tags.push_back({8, 0, {aac48kMono.begin(), aac48kMono.end()}});
        for (uint32_t frame = 0; frame < 12; ++frame) {
            script->tags.push_back(videoTag(frame * 1000 / 30 + 1));
        }
        plugin.stop();
        plugin.close();
        ASSERT_TRUE(open());
        host::RecordingStreamDescription description;
        plugin.getStreamDescription(&description);
        EXPECT_EQ(c.width, description.video.width.value_or(0));
        EXPECT_EQ(c.height, description.video.height.value_or(0));
        EXPECT_NEAR(c.frameRate, description.video.frameRate.value_or(0), 0.01);
        EXPECT_EQ("h264", description.video.codec.value_or(""));
        EXPECT_EQ(c.sampleRate, description.audio.sampleRate.value_or(0));
        EXPECT_EQ(c.channels, description.audio.channels.value_or(0));
        EXPECT_FALSE(description.audio.codec.has_value());  // AAC has no name for the host
        plugin.start();
        EXPECT_EQ(c.videoDuration, drain().back().duration);
    }
}

// A medium that cannot be examined must not be described with the streams of the one before.
TEST_F(PluginTest, FailedExaminationLeavesNoStaleStreams) {
    script->headerFlags = kAudioAndVideo;
    script->tags = {metadataTag({{"framerate", 25}}), videoTag(0), audioTag(0)};
    ASSERT_TRUE(open());
    plugin.close();
    script = std::make_shared<FakeScript>();
    script->headerFlags = kNoStreams;
    EXPECT_FALSE(open());
    host::RecordingStreamDescription description;
    plugin.getStreamDescription(&description);
    EXPECT_FALSE(description.video.anySet());
    EXPECT_FALSE(description.audio.anySet());
}

TEST_F(PluginTest, FirstAudioTagCompletesTheDescription) {
    // Sound format 2, rate index 0, 8-bit, mono, and no metadata.
    script->headerFlags = 0x04;
    script->tags = {audioTag(0, 0x20)};
    ASSERT_TRUE(open());
    host::RecordingStreamDescription description;
    plugin.getStreamDescription(&description);
    EXPECT_EQ(5500u, description.audio.sampleRate.value_or(0));
    EXPECT_EQ(1u, description.audio.channels.value_or(0));
    EXPECT_EQ("mp3", description.audio.codec.value_or(""));
    EXPECT_EQ(8, description.audio.bitsPerSample.value_or(0));
    EXPECT_FALSE(description.video.anySet());
}

TEST_F(PluginTest, VideoDurationFollowsTheFrameRate) {
    struct Case {
        std::optional<double> frameRate;
        uint64_t incoming;
        uint64_t video;
        uint64_t audio;
    };
    const std::vector<Case> cases = {
        {25, 0, 40, 10},   {29.97, 0, 33, 10}, {2000, 0, 10, 10},    {{}, 0, 10, 10},
        {{}, 23, 23, 23},  {25, 23, 40, 23},   {-25, 0, 10, 10},     {1e-300, 0, 10, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.frameRate.value_or(0));
        script = std::make_shared<FakeScript>();
        script->headerFlags = kAudioAndVideo;
        if (c.frameRate) script->tags.push_back(metadataTag({{"framerate", *c.frameRate}}));
        script->tags.push_back(videoTag(0));
        script->tags.push_back(audioTag(0));
        plugin.stop();
        plugin.close();
        ASSERT_TRUE(open());
        plugin.start();
        const std::vector<Frame> frames = drain(c.incoming);
        ASSERT_EQ(2u, frames.size());
        EXPECT_EQ(c.video, frames[0].duration);
        EXPECT_EQ(c.audio, frames[1].duration);
    }
}

TEST_F(PluginTest, EveryTagComesOutOnceInOrder) {
    // The examination reads ahead; what it queued and what comes later must join seamlessly.
    script->headerFlags = kAudioAndVideo;
    script->tags = {metadataTag({{"duration", 1}, {"framerate", 25}}), videoTag(0, true),
                    videoTag(40, false),
                    audioTag(45), videoTag(80, false), metadataTag({}), audioTag(90)};
    ASSERT_TRUE(open());
    EXPECT_EQ(4, script->packetsRead);
    plugin.start();
    const std::vector<Frame> frames = drain();
    EXPECT_EQ((std::vector<uint64_t>{0, 40, 45, 80, 0, 90}), timestamps(frames));
    EXPECT_TRUE(frames[0].key);
    EXPECT_FALSE(frames[1].key);
    EXPECT_EQ(vanto::streamer::PACKET_AUDIO, frames[2].type);
    EXPECT_TRUE(frames[2].key);
    // A script tag after the examination goes out as a video frame that is not a key frame.
    EXPECT_EQ(vanto::streamer::PACKET_VIDEO, frames[4].type);
    EXPECT_FALSE(frames[4].key);
    EXPECT_EQ(8u, frames[0].size);
}

TEST_F(PluginTest, PositionAndTimestampsKeepSixtyFourBits) {
    script->headerFlags = kVideoOnly;
    const uint32_t late = 0xFF000001;  // about 49 days: far above 2^32 microseconds
    script->tags = {videoTag(5000), videoTag(late)};
    ASSERT_TRUE(open());
    uint64_t position = 99;
    EXPECT_EQ(vanto::streamer::PLUGIN_OK, plugin.getPosition(position));
    EXPECT_EQ(0u, position);

    plugin.start();
    EXPECT_EQ(vanto::streamer::PLUGIN_NOT_SUPPORTED, plugin.setPosition(0));
    const std::vector<Frame> frames = drain();
    ASSERT_EQ(2u, frames.size());
    EXPECT_EQ(uint64_t(late) * 1000, frames[1].timestamp);
    plugin.getPosition(position);
    EXPECT_EQ(uint64_t(late) * 1000, position);
    EXPECT_EQ(vanto::streamer::PLUGIN_NOT_SUPPORTED, plugin.setPosition(1));
}

TEST_F(PluginTest, FramesFlowOnlyWhileStarted) {
    script->headerFlags = kVideoOnly;
    script->tags = {metadataTag({{"framerate", 25}}), videoTag(0), videoTag(40), videoTag(80)};
    ASSERT_TRUE(open());
    EXPECT_TRUE(drain().empty());
    plugin.start();
    plugin.pause();
    plugin.resume();
    // Stopping drops what the examination read ahead; the source goes on where it was.
    plugin.stop();
    plugin.start();
    EXPECT_EQ((std::vector<uint64_t>{40, 80}), timestamps(drain()));
    plugin.freeFrame(nullptr, nullptr);
}

TEST_F(PluginTest, SourceFailureReachesTheHost) {
    script->openSucceeds = false;
    script->errorCode = 404;
    script->errorMessage = "File could not be found.";
    EXPECT_FALSE(open("/no/such/file.flv"));
    EXPECT_EQ(404, error.code.value_or(0));
    EXPECT_EQ("File could not be found.", error.message.value_or(""));
    EXPECT_EQ(L"/no/such/file.flv", script->openedLocation);
}

TEST_F(PluginTest, UpdateMediumReplacesTheSource) {
    script->headerFlags = kVideoOnly;
    script->tags = {videoTag(0), videoTag(40)};
    ASSERT_TRUE(open());
    const std::shared_ptr<FakeScript> first = script;
    script = std::make_shared<FakeScript>();
    script->headerFlags = kVideoOnly;
    script->tags = {videoTag(1000)};

    host::RecordingMedium medium("fake://other", "fake");
    ASSERT_TRUE(plugin.updateMedium(&medium, &error));
    EXPECT_EQ(1, first->closes);
    EXPECT_EQ(1, first->destroyed);
    plugin.start();
    EXPECT_EQ((std::vector<uint64_t>{1000}), timestamps(drain()));
}

TEST_F(PluginTest, CloseReleasesTheSourceAndTheDescription) {
    script->headerFlags = kVideoOnly;
    script->tags = {videoTag(0)};
    ASSERT_TRUE(open());
    EXPECT_TRUE(plugin.close());
    EXPECT_TRUE(plugin.close());
    EXPECT_EQ(1, script->closes);
    EXPECT_EQ(1, script->destroyed);

    host::Journal journal;
    host::RecordingStreamDescription description(&journal);
    host::RecordingMedium medium("x", "file", &journal);
    plugin.getStreamDescription(&description);
    plugin.getMediumDescription(&medium);
    EXPECT_EQ((host::Journal{"medium.setFirstFlag(0)", "medium.setSecondFlag(1)"}), journal);
}

TEST(SourceChoice, SchemePrefixSelectsTheSource) {
    enum Kind { kLocal, kRtmp, kHttp };
    const std::vector<std::pair<std::string, Kind>> cases = {
        {"file", kLocal},  {"filesystem", kLocal}, {"File", kHttp}, {"", kHttp},
        {"http", kHttp},   {"xfile", kHttp},       {"rtmp", kRtmp}, {"rtmpe", kRtmp},
        {"RTMP", kHttp},   {"https", kHttp}};
    for (const auto& [scheme, kind] : cases) {
        SCOPED_TRACE(scheme);
        std::unique_ptr<FLVNetworkClient> source = createSource(scheme);
        ASSERT_NE(nullptr, source);
        EXPECT_EQ(kind == kLocal, dynamic_cast<LocalClient*>(source.get()) != nullptr);
        EXPECT_EQ(kind == kRtmp, dynamic_cast<RTMPClient*>(source.get()) != nullptr);
        EXPECT_EQ(kind == kHttp, dynamic_cast<HTTPClient*>(source.get()) != nullptr);
    }
}

TEST(PluginLog, TheNewestPluginOwnsTheProcessLog) {
    EXPECT_EQ(nullptr, GetGlobalLog());
    auto first = std::make_unique<ZOVOzudo>();
    const auto firstLog = GetGlobalLog();
    ASSERT_NE(nullptr, firstLog);
    {
        ZOVOzudo second;
        EXPECT_NE(firstLog, GetGlobalLog());
        ASSERT_NE(nullptr, GetGlobalLog());
    }
    // The newest is gone; the older one does not take over.
    EXPECT_EQ(nullptr, GetGlobalLog());
    first.reset();
}

}  // namespace
