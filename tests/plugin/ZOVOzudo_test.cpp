// The plug-in object driven through the host interface, with a scripted source behind it, and
// the shared library as a host sees it: what it exports, and the factory behind dlopen.
#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "common/Log.h"
#include "flv/FLVHeader.h"
#include "flv/FLVPacket.h"
#include "host/RecordingHost.h"
#include "plugin/HostInterface.h"
#include "plugin/SourceFactory.h"
#include "plugin/ZOVOzudo.h"
#include "sources/HTTPClient.h"
#include "sources/LocalClient.h"
#include "sources/RTMPClient.h"
#include "support/FlvWriter.h"

namespace {

// A null location or scheme reads as empty: the HTTP source, which refuses the empty URL.
struct NullMedium : host::RecordingMedium {
    NullMedium() : host::RecordingMedium("", "") {}
    const char* getLocation() const override { return nullptr; }
    const char* getProtocol() const override { return nullptr; }
};

// First in the binary: run after the in-process sources, its OpenSSL start-up may leak (LSan).
TEST(PluginLibrary, ExportsOnlyAFactoryThatMakesAWorkingPlugin) {
    const std::string command = std::string("nm -D --defined-only -C ") + ZOVOZUDO_PLUGIN_PATH;
    FILE* const pipe = popen(command.c_str(), "r");
    ASSERT_NE(nullptr, pipe);
    int symbols = 0, factories = 0;
    for (char line[4096]; std::fgets(line, sizeof(line), pipe) != nullptr; ++symbols) {
        const std::string text(line, std::strlen(line) - 1);  // "<address> <kind> <name>\n"
        const std::string name = text.substr(std::min(text.size(), text.find(' ') + 3));
        factories += name == "InputPluginFactory";
        EXPECT_TRUE(name == "InputPluginFactory" || name.find("ZOVOzudo") != std::string::npos)
            << "leaked symbol: " << name;
    }
    pclose(pipe);
    EXPECT_EQ(1, factories) << symbols << " symbols in " << ZOVOZUDO_PLUGIN_PATH;
    // Kept loaded, as a host does: unloading hides its process-wide services from the leak checker.
    void* const library = dlopen(ZOVOZUDO_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    ASSERT_NE(nullptr, library) << dlerror();
    auto factory =
        reinterpret_cast<InputPluginFactoryFunction>(dlsym(library, "InputPluginFactory"));
    ASSERT_NE(nullptr, factory);
    std::unique_ptr<vanto::streamer::InputPluginInterface> plugin(factory());
    EXPECT_FALSE(plugin->isSingleInstance());
    const host::RecordingMedium missing("/nonexistent/zovozudo/missing.flv", "file");
    const NullMedium null;
    for (const host::RecordingMedium* medium :
         {&missing, static_cast<const host::RecordingMedium*>(&null)}) {
        host::RecordingError error;
        EXPECT_FALSE(plugin->open(medium, &error));
        EXPECT_EQ(404, error.code.value_or(0));
        EXPECT_EQ(medium == &missing ? "File could not be found." : "HTTP input: Server error.",
                  error.message.value_or(""));
        plugin->close();
    }
    plugin.reset();
    dlclose(library);
}

struct Tag {
    uint8_t type;
    uint32_t timestamp;
    std::string data;  // audio/video header bytes included
};
using Tags = std::vector<Tag>;

// What the source serves and what the plug-in did with it; shared, so that a test reads it
// after the plug-in has destroyed the source.
struct Script {
    std::optional<uint8_t> headerFlags;  // none: no FLV header, as RTMP
    Tags tags;
    std::wstring location;
    int errorCode = 0, read = 0, closes = 0, destroyed = 0;  // open fails with a code not 0
};

class FakeSource : public FLVNetworkClient {
  public:
    explicit FakeSource(std::shared_ptr<Script> script) : s_(std::move(script)) {}
    ~FakeSource() override { ++s_->destroyed; }
    bool open(std::wstring location, vanto::streamer::Error* error) override {
        s_->location = location;
        if (s_->errorCode != 0) error->setCode(s_->errorCode), error->setMessage("fake: no");
        return s_->errorCode == 0;
    }
    bool close() override { return ++s_->closes; }
    FLVHeader* readHeader() override {
        const uint8_t bytes[9] = {'F', 'L', 'V', 1, s_->headerFlags.value_or(0), 0, 0, 0, 9};
        return s_->headerFlags ? FLVHeader::decode(bytes) : nullptr;
    }
    FLVPacket* readPacket() override {
        if (size_t(s_->read) >= s_->tags.size()) return nullptr;
        const Tag& tag = s_->tags[s_->read++];
        FLVPacket* const packet = testing_support::packetFromBytes(tag.type, tag.data).release();
        packet->timestamp = tag.timestamp;
        return packet;
    }

  private:
    std::shared_ptr<Script> s_;
};

Tag m(const std::string& entries) {
    return {18, 0, testing_support::metadata(entries)};
}
Tag a(uint32_t timestamp, uint8_t header = 0x2F, size_t body = 8) {
    return {8, timestamp, char(header) + std::string(body, char(timestamp))};
}
Tag v(uint32_t timestamp, bool key = true, size_t body = 8) {
    return {9, timestamp, char(key ? 0x17 : 0x27) + std::string(body, char(timestamp))};
}
Tags repeat(const Tag& tag, int count, uint32_t step = 40, uint32_t start = 0) {
    Tags tags(count, tag);
    for (int i = 0; i < count; ++i) tags[i].timestamp = start + uint32_t(i) * step;
    return tags;
}
Tags operator+(Tags x, const Tags& y) {
    return x.insert(x.end(), y.begin(), y.end()), x;
}

constexpr uint8_t kBoth = 0x05, kAudio = 0x04, kVideo = 0x01, kNone = 0x00;

class PluginTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setSourceCreatorForTesting([this](const std::string& chosen) {
            scheme = chosen;
            return std::make_unique<FakeSource>(script);
        });
    }
    void TearDown() override { setSourceCreatorForTesting(nullptr); }

    // A fresh source behind a stopped and closed plug-in.
    bool reopen(std::optional<uint8_t> headerFlags, const Tags& tags) {
        plugin.stop();
        plugin.close();
        script = std::make_shared<Script>();
        script->headerFlags = headerFlags;
        script->tags = tags;
        error.code.reset(), error.message.reset();
        const host::RecordingMedium medium("fake://medium", "fake");
        return plugin.open(&medium, &error);
    }
    host::RecordingStreamDescription describe(host::Journal* journal = nullptr) {
        host::RecordingStreamDescription description(journal);
        plugin.getStreamDescription(&description);
        return description;
    }
    // Up to |most| frames, freed, with |incoming| as the duration passed in, as "V0/40 a45/10":
    // v or a, upper case for a key frame, milliseconds/duration; |size| is the last one's size.
    std::string drain(size_t most = SIZE_MAX, uint64_t incoming = 0) {
        std::ostringstream out;
        vanto::streamer::PACKETTYPE type = vanto::streamer::PACKET_AUDIO;
        unsigned char* data = nullptr;
        uint64_t timestamp = 0, duration = incoming;
        void* handle = nullptr;
        bool key = false;
        for (size_t n = 0;
             n < most && plugin.readFrame(type, data, size, timestamp, duration, handle, key);
             ++n, duration = incoming) {
            const char letter = type == vanto::streamer::PACKET_AUDIO ? 'a' : 'v';
            out << (n ? " " : "") << char(key ? std::toupper(letter) : letter) << timestamp / 1000
                << "/" << duration;
            plugin.freeFrame(data, handle);
        }
        return out.str();
    }

    std::shared_ptr<Script> script = std::make_shared<Script>();
    std::string scheme;
    host::RecordingError error;
    ZOVOzudo plugin;
    unsigned int size = 0;
};

TEST_F(PluginTest, ExaminationFindsTheExpectedStreams) {
    // Header flags, tags, how many are read, the streams found (null: open fails).
    const std::tuple<std::optional<uint8_t>, Tags, int, const char*> cases[] = {
        {kBoth, Tags{v(0), a(0), v(40)}, 3, "av"},  // and the second video tag, for a frame rate
        {kBoth, repeat(v(0), 5), 5, nullptr},       // announced audio missing
        // Bounds: 10 s of stream time from the first frame (codec configurations and the
        // metadata of a running stream carry timestamps of their own), 1,000 tags with script
        // tags, 32 MiB of tag data. Promised video never comes:
        {kNone, Tags{m("videodatarate=1")} + repeat(a(0), 300), 252, "a"},
        {std::nullopt,
         Tags{{8, 0, std::string("\xAF\0\x12\x10", 4)}} + repeat(a(0), 400, 40, 60000) + Tags{v(1)},
         252, "a"},
        {std::nullopt, repeat(a(0), 1100, 1), 1000, "a"},
        {std::nullopt, Tags{a(50000)} + repeat(a(0), 1100, 1), 1000, "a"},  // time going back
        {kBoth, repeat(a(0, 0x2F, 16 << 20), 3, 0), 2, "a"},
        {kBoth, Tags{a(0, 0x2F, 16 << 20), a(0, 0x2F, (16 << 20) - 1), a(0), a(0)}, 3, "a"},
        {kVideo, repeat(m(""), 1000, 0) + Tags{v(0)}, 1000, nullptr},
        // Metadata that promises a stream adds it to what the header announced, which stays.
        {kVideo, Tags{m("audiodatarate=96 framerate=25"), v(0), v(40), a(50), v(80)}, 4, "av"},
        {kVideo, Tags{m("audiodatarate=96 framerate=25"), a(0), v(40), v(80)}, 3, "av"},
        {kAudio, Tags{m("videocodecid=7 framerate=25"), a(0), a(20), v(40), a(60)}, 4, "av"},
        {kAudio, Tags{m("videodatarate=500 framerate=25"), v(0), a(20), a(40)}, 3, "av"},
        {kVideo, Tags{v(0, true, 0), v(40, true, 0), v(80)}, 3, "v"},  // one-byte video: none
        {kNone, Tags{m("framerate=25"), v(0), a(0)}, 2, "v"},  // none announced: the first tag
        {kBoth, repeat(m(""), 3), 3, nullptr}};                // only script tags
    int row = 0;
    for (const auto& [headerFlags, tags, tagsRead, found] : cases) {
        SCOPED_TRACE(row++);
        EXPECT_EQ(found != nullptr, reopen(headerFlags, tags));
        EXPECT_EQ(tagsRead, script->read);
        EXPECT_EQ(found ? std::nullopt : std::optional<int>(2), error.code);
        if (found == nullptr) continue;
        const host::RecordingStreamDescription d = describe();
        EXPECT_EQ(found, std::string(d.audio.sampleRate ? "a" : "") + (d.video.width ? "v" : ""));
    }
}

TEST_F(PluginTest, DescriptionCallsComeInOrder) {
    ASSERT_TRUE(
        reopen(kBoth, {m("duration=12.3456 width=320 height=240 videodatarate=409.6 framerate=25 "
                         "videocodecid=7 audiodatarate=96 audiosamplerate=44100 audiocodecid=2"),
                       v(0), a(0, 0x2F)}));
    host::Journal journal;
    host::RecordingMedium medium("x", "file", &journal);
    describe(&journal);
    plugin.getMediumDescription(&medium);
    const host::Journal expected = {
        "stream.setFormat(flv)",      "video.setWidth(320)",        "video.setHeight(240)",
        "video.setBitRate(409600)",   "video.setFrameRate(25)",     "video.setCodec(h264)",
        "audio.setSampleRate(44100)", "audio.setChannels(2)",       "audio.setBitRate(96000)",
        "audio.setCodec(mp3)",        "audio.setBitsPerSample(16)", "medium.setDuration(12345)",
        "medium.setFirstFlag(0)",     "medium.setSecondFlag(1)"};
    EXPECT_EQ(expected, journal);
}

// Rows "video codec id, name, audio codec id, name (- none), raw variant (-1 none), bits"; the
// metadata's audio codec id 0 is completed from the first audio tag, rate and bit rate are set
// whatever the codec.
TEST_F(PluginTest, CodecNamesAndSampleSize) {
    std::istringstream rows(
        "2 svq 0 raw 0 8; 3 flv 1 raw 1 16; 4 vp6f 2 mp3 -1 8; 5 vp6f 5 nellymoser -1 16; "
        "7 h264 6 nellymoser -1 16; 6 flv 10 - -1 16; 12 flv 3 - -1 8; 1 flv 7 - -1 16");
    for (std::string row; std::getline(rows >> std::ws, row, ';');) {
        SCOPED_TRACE(row);
        std::istringstream in(row);
        int video, audio, rawVariant, bits;
        std::string videoName, audioName;
        in >> video >> videoName >> audio >> audioName >> rawVariant >> bits;
        ASSERT_TRUE(
            reopen(kBoth, {m("audiosamplerate=8000 audiodatarate=32 videocodecid=" +
                             std::to_string(video) + " audiocodecid=" + std::to_string(audio)),
                           v(0), a(0, audio << 4 | (bits / 8 - 1) << 1)}));
        const host::RecordingStreamDescription d = describe();
        EXPECT_EQ(std::make_tuple(videoName, audioName, rawVariant, bits, 8000u, 32000u),
                  std::make_tuple(d.video.codec.value_or(""), d.audio.codec.value_or("-"),
                                  d.audio.rawVariant.value_or(-1), d.audio.bitsPerSample,
                                  d.audio.sampleRate.value_or(0), d.audio.bitRate.value_or(0)));
    }
}

// What the metadata leaves out comes from the H.264 and AAC configurations, or from the video
// timestamps; what it says stays.
TEST_F(PluginTest, DescriptionFromTheCodecConfiguration) {
    const std::string cropped = "crop=0,0,0,4 tick=1 scale=60",
                      nginx = "videocodecid=7 audiocodecid=10";
    const std::string cases[][3] = {
        // metadata, SPS, codecs (the host has no name for AAC), size rate channels, last video
        // duration
        {"", cropped, "h264 - 640x360 30 48000 1 33"},
        {"width=1280 framerate=25 " + nginx, cropped, "h264 - 1280x360 25 48000 1 40"},
        {"audiosamplerate=44100 audiochannels=2 height=720", cropped,
         "h264 - 640x720 30 44100 2 33"},
        {"", "", "h264 - 640x368 30 48000 1 33"}};  // the rate from the timestamps
    for (const auto& [metadata, sps, want] : cases) {
        Tags tags = {
            m(metadata),
            {9, 0, std::string("\x17\0\0\0\0", 5) + testing_support::avcConfigurationRecord(sps)},
            {8, 0, std::string("\xAF\x00\x11\x88", 4)}};  // 48 kHz mono, flags say not
        for (uint32_t frame = 0; frame < 12; ++frame) tags.push_back(v(frame * 1000 / 30 + 1));
        ASSERT_TRUE(reopen(std::nullopt, tags));
        const host::RecordingStreamDescription d = describe();
        plugin.start();
        const std::string frames = drain();
        std::ostringstream got;
        got << std::setprecision(4) << d.video.codec.value_or("") << " "
            << d.audio.codec.value_or("-") << " " << d.video.width.value_or(0) << "x"
            << d.video.height.value_or(0) << " " << d.video.frameRate.value_or(0) << " "
            << d.audio.sampleRate.value_or(0) << " " << d.audio.channels.value_or(0) << " "
            << frames.substr(frames.rfind('/') + 1);
        EXPECT_EQ(want, got.str()) << metadata;
    }
}

// Rows "frame rate, incoming duration | the video frame, the audio frame".
TEST_F(PluginTest, VideoDurationFollowsTheFrameRate) {
    std::istringstream rows(
        "25 0 | V0/40 A0/10; 29.97 0 | V0/33 A0/10; 2000 0 | V0/10 A0/10; 0 0 | V0/10 A0/10; "
        "0 23 | V0/23 A0/23; 25 23 | V0/40 A0/23; -25 0 | V0/10 A0/10; 1e-300 0 | V0/10 A0/10; "
        "1 0 | V0/1000 A0/10");
    for (std::string row; std::getline(rows >> std::ws, row, ';');) {
        std::istringstream in(row);
        std::string rate;
        uint64_t incoming = 0;
        in >> rate >> incoming;
        ASSERT_TRUE(reopen(kBoth, {m("framerate=" + rate), v(0), a(0)}));
        plugin.start();
        EXPECT_EQ(row.substr(row.find('|') + 2), drain(SIZE_MAX, incoming)) << row;
    }
}

// The examination reads ahead; what it queued and what comes later must join seamlessly. A
// script tag after the examination goes out as a video frame that is not a key frame.
// A new plug-in hands out nothing before start, and one destroyed unread frees what it read.
TEST_F(PluginTest, EveryTagComesOutOnceInOrder) {
    script->headerFlags = kBoth;
    script->tags = {
        m("duration=1 framerate=25"), v(0), v(40, false), a(45), v(80, false), m(""), a(90)};
    const host::RecordingMedium medium("fake://medium", "fake");
    ASSERT_TRUE(plugin.open(&medium, &error));
    EXPECT_EQ(4, script->read);
    EXPECT_EQ("", drain());
    plugin.start();
    EXPECT_EQ("V0/40 v40/40 A45/10 v80/40 v0/40 A90/10", drain());
    EXPECT_EQ(8u, size);
    ASSERT_TRUE(reopen(kBoth, {v(0), a(0), v(40)}));
}

// Only a frame handed out moves the position, in microseconds beyond 32 bits; pause and resume
// leave the started state as it is; stop drops what the examination read ahead; close releases
// the source and the description but keeps the queued tags, the started state and the position.
TEST_F(PluginTest, PositionThroughPauseStopAndClose) {
    const uint32_t late = 0xFF000001;  // about 49 days
    const Tags tags = {m("framerate=25"), v(late), v(late + 40), a(late + 50), v(late + 80)};
    const auto ms = [late](uint32_t offset) { return std::to_string(late + offset); };
    ASSERT_TRUE(reopen(kBoth, tags));
    uint64_t position = 99;
    EXPECT_EQ(vanto::streamer::PLUGIN_OK, plugin.getPosition(position));
    EXPECT_EQ(0u, position);
    plugin.pause();
    plugin.resume();
    EXPECT_EQ("", drain());
    EXPECT_TRUE(plugin.start());
    EXPECT_TRUE(plugin.pause());
    EXPECT_EQ(vanto::streamer::PLUGIN_NOT_SUPPORTED, plugin.setPosition(0));
    EXPECT_EQ("V" + ms(0) + "/40", drain(1));
    EXPECT_TRUE(plugin.stop());
    plugin.start();
    EXPECT_TRUE(plugin.resume());
    EXPECT_EQ("V" + ms(80) + "/40", drain());

    ASSERT_TRUE(reopen(kBoth, tags));
    plugin.start();
    drain(1);
    EXPECT_TRUE(plugin.close() && plugin.close());
    EXPECT_EQ(std::make_pair(1, 1), std::make_pair(script->closes, script->destroyed));
    host::RecordingMedium medium("x", "file");
    plugin.getMediumDescription(&medium);
    EXPECT_FALSE(medium.duration || describe().format);
    plugin.getPosition(position);
    EXPECT_EQ(uint64_t(late) * 1000, position);
    EXPECT_EQ("V" + ms(40) + "/10 A" + ms(50) + "/10", drain());
    ASSERT_TRUE(reopen(kVideo, {v(0)}));
    EXPECT_EQ(vanto::streamer::PLUGIN_NOT_SUPPORTED, plugin.setPosition(1));
    plugin.getPosition(position);
    EXPECT_EQ(uint64_t(late + 50) * 1000, position);
    plugin.freeFrame(nullptr, nullptr);
}

// The scheme chooses the source, which gets the location as wide text and whose failure is
// passed on. A replacing medium closes the old source; a failed one leaves no streams before.
TEST_F(PluginTest, OpenAndUpdateMedium) {
    script->errorCode = 404;
    const host::RecordingMedium missing("/f\xC3\xBCr.flv", "file");
    EXPECT_FALSE(plugin.open(&missing, &error));
    EXPECT_EQ(std::make_tuple(std::string("file"), std::wstring(L"/f\u00FCr.flv"), 404,
                              std::string("fake: no")),
              std::make_tuple(scheme, script->location, error.code.value_or(0),
                              error.message.value_or("")));
    ASSERT_TRUE(reopen(kVideo, {v(0), v(40)}));
    const std::shared_ptr<Script> first = script;
    for (const bool works : {true, false}) {
        script = std::make_shared<Script>();
        script->headerFlags = works ? kVideo : kNone;
        if (works) script->tags = {v(1000)};
        const host::RecordingMedium medium("fake://other", "fake");
        EXPECT_EQ(works, plugin.updateMedium(&medium, &error));
        EXPECT_EQ(std::make_pair(1, 1), std::make_pair(first->closes, first->destroyed));
        plugin.start();
        EXPECT_EQ(works, !drain().empty());
    }
    EXPECT_FALSE(describe().video.anySet() || describe().audio.anySet());
}

TEST(SourceChoice, SchemePrefixSelectsTheSource) {
    std::istringstream rows("file=l filesystem=l File=h =h xfile=h rtmp=r rtmpe=r RTMP=h");
    for (std::string row; rows >> row;) {
        const std::unique_ptr<FLVNetworkClient> source = createSource(row.substr(0, row.find('=')));
        FLVNetworkClient* const s = source.get();
        EXPECT_EQ(row.back(), dynamic_cast<LocalClient*>(s)  ? 'l'
                              : dynamic_cast<RTMPClient*>(s) ? 'r'
                              : dynamic_cast<HTTPClient*>(s) ? 'h'
                                                             : '?')
            << row;
    }
}

// The newest plug-in owns the process log; the older one does not take it back.
TEST(PluginLog, TheNewestPluginOwnsTheProcessLog) {
    EXPECT_EQ(nullptr, GetGlobalLog());
    const ZOVOzudo first;
    const auto firstLog = GetGlobalLog();
    {
        const ZOVOzudo second;
        EXPECT_TRUE(GetGlobalLog() != nullptr && GetGlobalLog() != firstLog);
    }
    EXPECT_EQ(nullptr, GetGlobalLog());
}

}  // namespace
