// onMetaData parsing: key tables, where the walk stops, the key-frame index, damaged payloads
// (run under ASan: every payload sits in a buffer of exactly its size), and completion from
// the first audio and video tags.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "flv/FLVMetadataPacket.h"
#include "flv/FLVPacket.h"
#include "support/FlvWriter.h"

using testing_support::AmfWriter;
using testing_support::audioHeaderByte;
using testing_support::avcConfigurationRecord;
using testing_support::onMetaData;
using testing_support::packetFromBytes;
using testing_support::videoHeaderByte;

namespace {

using Setter = std::function<void(FLVMetadataPacket&)>;

// Every field, so that a comparison shows all that differs.
std::string dump(const FLVMetadataPacket& m) {
    std::ostringstream out;
    out << "duration=" << m.duration << " width=" << m.width << " height=" << m.height
        << " videoDataRate=" << m.videoDataRate << " videoCodecId=" << m.videoCodecId
        << " frameRate=" << m.frameRate << " audioDataRate=" << m.audioDataRate
        << " audioCodecId=" << m.audioCodecId << " audioSampleRate=" << m.audioSampleRate
        << " audioChannels=" << m.audioChannels << " audioDelay=" << m.audioDelay
        << " canSeekToEnd=" << m.canSeekToEnd << " keyframeCount=" << m.keyframeCount << " times=[";
    for (uint32_t i = 0; i < m.keyframeTimesLength; ++i) out << m.keyframeTimes[i] << ",";
    out << "] positions=[";
    for (uint32_t i = 0; i < m.keyframeFilePositionsLength; ++i) {
        out << m.keyframeFilePositions[i] << ",";
    }
    return out.str() + "]";
}

std::string expected(const Setter& set) {
    FLVMetadataPacket m;
    set(m);
    return dump(m);
}

// Parses |payload| from a buffer of exactly its size; the result of parse() goes to |result|.
std::string parsed(const std::string& payload, bool* result = nullptr) {
    const std::unique_ptr<FLVPacket> packet = packetFromBytes(18, payload);
    FLVMetadataPacket m;
    const bool ok = m.parse(packet.get());
    if (result != nullptr) *result = ok;
    return dump(m);
}

TEST(FLVMetadataTest, NumberKeys) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* key;
        double value;
        Setter set;
    };
    const Case cases[] = {
        {"duration", 12.3456, [](auto& m) { m.duration = 12345; }},
        {"totalduration", 7.5, [](auto& m) { m.duration = 7500; }},
        {"lasttimestamp", 30, [](auto& m) { m.duration = 30000; }},
        {"duration", 5e6, [](auto& m) { m.duration = UINT32_MAX; }},  // past 32 bits
        {"width", 640.9, [](auto& m) { m.width = 640; }},
        {"width", -5, [](auto&) {}},
        {"width", nan, [](auto&) {}},
        {"HEIGHT", 480, [](auto& m) { m.height = 480; }},
        {"videodatarate", 409.6, [](auto& m) { m.videoDataRate = 409600; }},
        {"videocodecid", 7, [](auto& m) { m.videoCodecId = 7; }},
        {"videoframerate", 25, [](auto& m) { m.frameRate = 25; }},
        {"framerate", 29.97, [](auto& m) { m.frameRate = 29.97; }},
        {"audiodatarate", 96, [](auto& m) { m.audioDataRate = 96000; }},
        {"audiocodecid", 10, [](auto& m) { m.audioCodecId = 10; }},
        {"audiosamplerate", 44100, [](auto& m) { m.audioSampleRate = 44100; }},
        {"samplerate", 22050, [](auto& m) { m.audioSampleRate = 22050; }},
        {"audiochannels", 2, [](auto& m) { m.audioChannels = 2; }},
        {"Channels", 1, [](auto& m) { m.audioChannels = 1; }},
        {"audiodelay", 38.7, [](auto& m) { m.audioDelay = 38; }},
        {"canseektoend", 1, [](auto& m) { m.canSeekToEnd = true; }},
        {"dur", 5, [](auto&) {}},  // number keys match whole words only
        {"durations", 5, [](auto&) {}},
        {"dur\xC3\x89", 5, [](auto&) {}},  // bytes above 0x7F do not fold
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parsed(onMetaData({{c.key, c.value}})), expected(c.set))
            << "key \"" << c.key << "\" value " << c.value;
    }
}

TEST(FLVMetadataTest, LaterKeysOverwriteExceptLastTimestamp) {
    EXPECT_EQ(parsed(onMetaData({{"duration", 20}, {"lasttimestamp", 30}})),
              expected([](auto& m) { m.duration = 20000; }));
    EXPECT_EQ(parsed(onMetaData({{"lasttimestamp", 30}, {"duration", 20}})),
              expected([](auto& m) { m.duration = 20000; }));
    EXPECT_EQ(
        parsed(onMetaData({{"width", 1}, {"width", 2}, {"framerate", 5}, {"videoframerate", 6}})),
        expected([](auto& m) {
            m.width = 2;
            m.frameRate = 6;
        }));
}

// The usual tag ends at the array's end marker, which counts as a failed walk; values of other
// types are stepped over ("canSeekToEnd" as a boolean included).
TEST(FLVMetadataTest, UsualTagWithMixedValues) {
    AmfWriter amf;
    amf.string("onMetaData").ecmaArray(6);
    amf.key("duration").number(4).key("canSeekToEnd").boolean(true);
    amf.key("encoder").string("Lavf").key("creationdate").date(1.2e12, -60);
    amf.key("width").number(320).end();
    bool ok = true;
    EXPECT_EQ(parsed(amf.bytes(), &ok), expected([](auto& m) {
                  m.duration = 4000;
                  m.width = 320;
              }));
    EXPECT_FALSE(ok);
}

// What stands between two numbers decides whether the walk reaches the second one. Strict
// arrays of simple values are stepped over element by element (see FLVMetadataPacket.cpp).
TEST(FLVMetadataTest, WhereTheWalkStops) {
    struct Case {
        const char* what;
        std::function<void(AmfWriter&)> write;
        bool reachesHeight;
    };
    const Case cases[] = {
        {"boolean", [](AmfWriter& a) { a.key("b").boolean(false); }, true},
        {"string", [](AmfWriter& a) { a.key("s").string("text"); }, true},
        {"date", [](AmfWriter& a) { a.key("d").date(1e12); }, true},
        {"date before 1970", [](AmfWriter& a) { a.key("d").date(-1); }, false},
        {"empty strict array", [](AmfWriter& a) { a.key("a").strictArray(0); }, true},
        {"strict array of simple values",
         [](AmfWriter& a) {
             a.key("a").strictArray(5).string("x").boolean(true).u8(5).u8(6).date(1);
         },
         true},
        {"strict array holding an object",
         [](AmfWriter& a) { a.key("a").strictArray(1).object().key("w").number(1).end(); }, false},
        {"object", [](AmfWriter& a) { a.key("o").object().key("w").number(1).end(); }, false},
        {"keyframes", [](AmfWriter& a) { a.keyframes({1}, {2}); }, false},
        {"null", [](AmfWriter& a) { a.key("x").u8(5); }, false},
        {"ECMA array", [](AmfWriter& a) { a.key("x").ecmaArray(0).end(); }, false},
        {"end marker", [](AmfWriter& a) { a.end(); }, false},
        {"type 255", [](AmfWriter& a) { a.key("x").u8(255); }, false},
    };
    for (const Case& c : cases) {
        AmfWriter amf;
        amf.string("onMetaData").ecmaArray(3).key("width").number(1);
        c.write(amf);
        amf.key("height").number(2).end();
        FLVMetadataPacket m;
        m.parse(packetFromBytes(18, amf.bytes()).get());
        EXPECT_EQ(m.width, 1u) << c.what;
        EXPECT_EQ(m.height, c.reachesHeight ? 2u : 0u) << c.what;
    }
}

// The entry key and the two property names match when they are a leading part of the word;
// counts are bounded by the data, negative counts read as none.
TEST(FLVMetadataTest, KeyframesProperties) {
    struct Property {
        std::string name;
        uint32_t count;
        uint32_t elements;  // actually written
    };
    struct Case {
        std::string key;
        Property first, second;
        uint32_t times, positions;
        int32_t count;
    };
    const Case cases[] = {
        {"keyframes", {"times", 2, 2}, {"filepositions", 3, 3}, 2, 3, 3},
        {"keyframe", {"filepositions", 1, 1}, {"times", 2, 2}, 2, 1, 2},
        {"", {"time", 1, 1}, {"file", 1, 1}, 1, 1, 1},
        {"", {"", 2, 2}, {"filepositions", 0, 0}, 2, 0, 0},  // an empty name is "times"
        {"Keyframes", {"times", 1, 1}, {"filepositions", 1, 1}, 0, 0, 0},
        {"keyframesx", {"times", 1, 1}, {"filepositions", 1, 1}, 0, 0, 0},
        {"keyframes", {"TIMES", 2, 2}, {"other", 1, 1}, 0, 0, 1},
        {"keyframes", {"timesx", 2, 2}, {"times", 1, 1}, 1, 0, 1},
        {"keyframes", {"times", 0xFFFFFFFF, 0}, {"filepositions", 0x80000000, 2}, 0, 0, 0},
    };
    for (const Case& c : cases) {
        AmfWriter amf;
        amf.string("onMetaData").ecmaArray(1).key(c.key).object();
        double value = 0;
        for (const Property& p : {c.first, c.second}) {
            amf.key(p.name).strictArray(p.count);
            for (uint32_t i = 0; i < p.elements; ++i) amf.number(++value);
        }
        amf.end().end();
        FLVMetadataPacket m;
        m.parse(packetFromBytes(18, amf.bytes()).get());
        SCOPED_TRACE(testing::Message() << "key \"" << c.key << "\" names \"" << c.first.name
                                        << "\", \"" << c.second.name << "\"");
        EXPECT_EQ(m.keyframeTimesLength, c.times);
        EXPECT_EQ(m.keyframeFilePositionsLength, c.positions);
        EXPECT_EQ(m.keyframeTimes == nullptr, c.times == 0);
        EXPECT_EQ(m.keyframeCount, c.count);
    }
}

void parseKeyframeObject(FLVMetadataPacket& m, const AmfWriter& object) {
    // An exact copy, so that a read past the object's bytes leaves the allocation.
    const std::unique_ptr<uint8_t[]> bytes(new uint8_t[object.size()]);
    std::copy(object.bytes().begin(), object.bytes().end(), bytes.get());
    m.parseKeyframes("keyframes", bytes.get(), object.size());
}

TEST(FLVMetadataTest, KeyframeNameLengthUsesItsLowByteOnly) {
    FLVMetadataPacket m;
    parseKeyframeObject(m, AmfWriter()
                               .u16(0x0105)
                               .raw("times")
                               .numberArray({7})
                               .key("filepositions")
                               .numberArray({8}));
    ASSERT_EQ(m.keyframeTimesLength, 1u);
    EXPECT_EQ(m.keyframeTimes[0], 7);
    EXPECT_EQ(m.keyframeFilePositionsLength, 1u);
}

TEST(FLVMetadataTest, HugeKeyframeCountAllocatesOnlyWhatTheDataHolds) {
    FLVMetadataPacket m;
    parseKeyframeObject(m, AmfWriter().key("times").strictArray(0x7FFFFFFF).number(5));
    ASSERT_EQ(m.keyframeTimesLength, 1u);
    EXPECT_EQ(m.keyframeTimes[0], 5);
    EXPECT_EQ(m.keyframeCount, 1);
}

// A payload cut at every byte keeps exactly the entries that lie wholly before the cut, in
// every form the metadata comes in: an ECMA array (files) or an object (nginx live), behind
// "onMetaData" or behind "@setDataFrame", "onMetaData" (what a publisher sends).
TEST(FLVMetadataTest, CutAtEveryByteInEveryForm) {
    for (int form = 0; form < 4; ++form) {
        AmfWriter amf;
        if (form >= 2) amf.string("@setDataFrame");
        amf.string("onMetaData");
        if (form % 2 == 0)
            amf.ecmaArray(9);
        else
            amf.object();
        amf.key("duration").number(12.3456);
        const size_t durationEnd = amf.size();
        amf.key("stereo").boolean(true).key("encoder").string("Lavf").key("d").date(1e12);
        amf.key("cuePoints").numberArray({1, 2});
        amf.key("width").number(640);
        const size_t widthEnd = amf.size();
        amf.key("totalduration").number(20);  // a value cut short must not overwrite the first
        const size_t totalEnd = amf.size();
        amf.key("keyframes").object();
        const size_t objectStart = amf.size();
        amf.key("filepositions").strictArray(3);
        const size_t positionsStart = amf.size();
        amf.number(100).number(200).number(300).key("times").strictArray(3);
        const size_t timesStart = amf.size();
        amf.number(0).number(1).number(2).end().end();
        const std::string payload = amf.bytes();

        for (size_t cut = 0; cut <= payload.size(); ++cut) {
            const auto present = [cut](size_t start) {
                return static_cast<uint32_t>(cut < start ? 0
                                                         : std::min<size_t>(3, (cut - start) / 9));
            };
            const uint32_t positions = present(positionsStart);
            const uint32_t times = positions == 3 ? present(timesStart) : 0;
            bool ok = true;
            EXPECT_EQ(parsed(payload.substr(0, cut), &ok), expected([&](auto& m) {
                          if (cut >= durationEnd) m.duration = cut >= totalEnd ? 20000 : 12345;
                          if (cut >= widthEnd) m.width = 640;
                          if (cut >= positionsStart) m.keyframeCount = int32_t(positions);
                          if (cut >= timesStart) m.keyframeCount = int32_t(times);
                          m.keyframeFilePositionsLength = positions;
                          if (positions > 0)
                              m.keyframeFilePositions.reset(new double[3]{100, 200, 300});
                          m.keyframeTimesLength = times;
                          if (times > 0) m.keyframeTimes.reset(new double[3]{0, 1, 2});
                      }))
                << "form " << form << " cut at " << cut;
            EXPECT_EQ(ok, cut < objectStart) << "cut at " << cut;
        }
    }
}

// Every byte of a payload replaced by each marker-like value: nothing may be read outside the
// payload, and the key-frame arrays never claim more elements than the bytes could hold.
TEST(FLVMetadataTest, DamagedBytesStayInside) {
    AmfWriter amf;
    amf.string("onMetaData").ecmaArray(4).key("duration").number(1).key("s").string("ab");
    amf.key("a").numberArray({1}).keyframes({0, 1}, {9, 10}).end();
    const std::string payload = amf.bytes();
    const uint8_t values[] = {0x00, 0x01, 0x02, 0x03, 0x05, 0x08,
                              0x09, 0x0A, 0x0B, 0x7F, 0x80, 0xFF};
    for (size_t i = 0; i < payload.size(); ++i) {
        for (uint8_t value : values) {
            std::string damaged = payload;
            damaged[i] = static_cast<char>(value);
            FLVMetadataPacket m;
            m.parse(packetFromBytes(18, damaged).get());
            EXPECT_LE(m.keyframeTimesLength + m.keyframeFilePositionsLength, payload.size() / 9);
            EXPECT_GE(m.keyframeCount, 0);
        }
    }
}

// Cuts before the array are in CutAtEveryByte; these are other values where it should be.
TEST(FLVMetadataTest, PayloadWithoutAnArray) {
    for (const std::string& payload :
         {std::string("\x05", 1), AmfWriter().string("onMetaData").u8(0).number(1).bytes()}) {
        bool ok = false;
        EXPECT_EQ(parsed(payload, &ok), expected([](auto&) {}));
        EXPECT_TRUE(ok);
    }
}

// Only fields still 0 are filled: rate, channels and codec (as written in the tag) from an
// audio tag and its AAC configuration, the codec from a video tag, picture size and rate from
// its H.264 configuration.
TEST(FLVMetadataTest, FillFromFirstTags) {
    struct Fields {
        uint32_t sampleRate, channels, audioCodec, videoCodec, width = 0, height = 0;
        double frameRate = 0;
    };
    struct Case {
        uint32_t tagType;
        uint8_t headerByte;
        Fields before, after;
        std::string body = "x";
    };
    testing_support::SpsFields sps;
    sps.crop = {0, 0, 0, 4};
    sps.unitsInTick = 1;
    sps.timeScale = 60;
    const std::string avc =
        testing_support::avcSequenceHeaderTag(avcConfigurationRecord(sps)).substr(1);
    const std::string aac48kMono("\x00\x11\x88", 3);
    const Case cases[] = {
        {8, audioHeaderByte(2, 0, 1, 0), {0, 0, 0, 0}, {5500, 1, 2, 0}},
        {8, audioHeaderByte(6, 1, 1, 1), {0, 0, 0, 0}, {11025, 2, 6, 0}},
        {8, audioHeaderByte(0, 2, 0, 0), {0, 0, 0, 0}, {22050, 1, 0, 0}},
        {8, audioHeaderByte(1, 3, 0, 1), {0, 0, 0, 0}, {44100, 2, 1, 0}},
        {8, audioHeaderByte(2, 3, 1, 1), {48000, 6, 10, 0}, {48000, 6, 10, 0}},
        {9, videoHeaderByte(1, 7), {0, 0, 0, 0}, {0, 0, 0, 7}},
        {9, videoHeaderByte(1, 7), {0, 0, 0, 2}, {0, 0, 0, 2}},
        {18, 0x2a, {0, 0, 0, 0}, {0, 0, 0, 0}},
        // Formats the frames are mapped from keep their own number here: AAC is not MP3.
        {8, audioHeaderByte(10, 3, 1, 1), {0, 0, 0, 0}, {44100, 2, 10, 0}},
        {8, audioHeaderByte(11, 3, 1, 0), {0, 0, 0, 0}, {44100, 1, 11, 0}},
        {8, audioHeaderByte(10, 3, 1, 1), {0, 0, 0, 0}, {48000, 1, 10, 0}, aac48kMono},
        {8, audioHeaderByte(10, 3, 1, 1), {22050, 0, 0, 0}, {22050, 1, 10, 0}, aac48kMono},
        // An AAC configuration behind another format, or an AAC frame, is no configuration.
        {8, audioHeaderByte(2, 3, 1, 1), {0, 0, 0, 0}, {44100, 2, 2, 0}, aac48kMono},
        {8, audioHeaderByte(10, 3, 1, 1), {0, 0, 0, 0}, {44100, 2, 10, 0}, "\x01\x11\x88"},
        {9, videoHeaderByte(1, 7), {0, 0, 0, 0}, {0, 0, 0, 7, 640, 360, 30}, avc},
        {9, videoHeaderByte(1, 7), {0, 0, 0, 0, 320, 0, 25}, {0, 0, 0, 7, 320, 360, 25}, avc},
        {9, videoHeaderByte(1, 2), {0, 0, 0, 0}, {0, 0, 0, 2}, avc},
        {9, videoHeaderByte(1, 7), {0, 0, 0, 0}, {0, 0, 0, 7}, avc.substr(0, avc.size() / 2)},
    };
    const auto set = [](const Fields& f) {
        return [f](FLVMetadataPacket& m) {
            m.audioSampleRate = f.sampleRate;
            m.audioChannels = f.channels;
            m.audioCodecId = f.audioCodec;
            m.videoCodecId = f.videoCodec;
            m.width = f.width;
            m.height = f.height;
            m.frameRate = f.frameRate;
        };
    };
    for (const Case& c : cases) {
        FLVMetadataPacket m;
        set(c.before)(m);
        m.fillFromPacket(
            packetFromBytes(c.tagType, std::string(1, char(c.headerByte)) + c.body).get());
        EXPECT_EQ(dump(m), expected(set(c.after)))
            << "tag " << c.tagType << " byte " << int(c.headerByte);
    }
}

}  // namespace
