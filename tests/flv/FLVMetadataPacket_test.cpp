// onMetaData parsing and completion from the first tags; payloads sit in buffers of exactly
// their size, so ASan sees any read past them.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "flv/FLVMetadataPacket.h"
#include "flv/FLVPacket.h"
#include "support/FlvWriter.h"

using testing_support::AmfWriter;
using testing_support::packetFromBytes;

namespace {

// The fields that are not 0 as "name=value", key-frame times as "t<time>", positions as "p<pos>".
std::string dump(const FLVMetadataPacket& m) {
    std::ostringstream out;
    out.precision(12);
    std::istringstream names(
        "duration width height videodatarate videocodecid framerate audiodatarate audiocodecid "
        "audiosamplerate audiochannels audiodelay canseektoend keyframes");
    for (const double value :
         {double(m.duration), double(m.width), double(m.height), double(m.videoDataRate),
          double(m.videoCodecId), m.frameRate, double(m.audioDataRate), double(m.audioCodecId),
          double(m.audioSampleRate), double(m.audioChannels), double(m.audioDelay),
          double(m.canSeekToEnd), double(m.keyframeCount)})
        if (std::string name; names >> name && value != 0) out << " " << name << "=" << value;
    for (uint32_t i = 0; i < m.keyframeTimesLength; ++i) out << " t" << m.keyframeTimes[i];
    for (uint32_t i = 0; i < m.keyframeFilePositionsLength; ++i)
        out << " p" << m.keyframeFilePositions[i];
    return out.str().substr(std::min<size_t>(1, out.str().size()));
}

// Parses |payload| from a buffer of exactly its size; the result of parse() goes to |result|.
std::string parsed(const std::string& payload, bool* result = nullptr) {
    FLVMetadataPacket m;
    const bool ok = m.parse(packetFromBytes(18, payload).get());
    if (result != nullptr) *result = ok;
    return dump(m);
}

// Later keys overwrite earlier ones, except that "lasttimestamp" only fills a missing duration;
// keys are whole words, case folded only below 0x80. Rows: "entries | fields".
TEST(FLVMetadataTest, NumberKeys) {
    std::istringstream rows(
        "duration=12.3456 | duration=12345; totalduration=7.5 | duration=7500; "
        "lasttimestamp=30 | duration=30000; duration=20 lasttimestamp=30 | duration=20000; "
        "lasttimestamp=30 duration=20 | duration=20000; duration=5e6 | duration=4294967295; "
        "width=640.9 | width=640; width=-5 | ; width=nan | ; HEIGHT=480 | height=480; "
        "videodatarate=409.6 | videodatarate=409600; videocodecid=7 | videocodecid=7; "
        "videoframerate=25 | framerate=25; framerate=29.97 | framerate=29.97; "
        "width=1 width=2 framerate=5 videoframerate=6 | width=2 framerate=6; "
        "audiodatarate=96 | audiodatarate=96000; audiocodecid=10 | audiocodecid=10; "
        "audiosamplerate=44100 | audiosamplerate=44100; samplerate=22050 | audiosamplerate=22050; "
        "audiochannels=2 | audiochannels=2; Channels=1 | audiochannels=1; "
        "audiodelay=38.7 | audiodelay=38; canseektoend=1 | canseektoend=1; "
        "dur=5 durations=5 dur\xC3\x89=5 | ");
    for (std::string row; std::getline(rows >> std::ws, row, ';');) {
        const size_t bar = row.find(" | ");
        EXPECT_EQ(row.substr(bar + 3), parsed(testing_support::metadata(row.substr(0, bar))))
            << row;
    }
}

// What stands between two numbers decides whether the walk reaches the second one: strict
// arrays of simple values are stepped over element by element, values of simple types too.
TEST(FLVMetadataTest, WhereTheWalkStops) {
    const std::pair<AmfWriter, bool> cases[] = {
        {AmfWriter().key("canSeekToEnd").boolean(true), true},
        {AmfWriter().key("s").string("text"), true},
        {AmfWriter().key("d").date(1e12), true},
        {AmfWriter().key("d").date(-1), false},
        {AmfWriter().key("a").strictArray(0), true},
        {AmfWriter().key("a").strictArray(5).string("x").boolean(true).u8(5).u8(6).date(1), true},
        {AmfWriter().key("a").strictArray(1).object().key("w").number(1).end(), false},
        {AmfWriter().key("o").object().key("w").number(1).end(), false},
        {AmfWriter().key("x").u8(5), false},  // null
        {AmfWriter().key("x").ecmaArray(0).end(), false},
        {AmfWriter().end(), false},
        {AmfWriter().key("x").u8(255), false}};
    for (size_t row = 0; row < std::size(cases); ++row) {
        AmfWriter amf;
        amf.string("onMetaData").ecmaArray(3).key("width").number(1).raw(cases[row].first.bytes());
        FLVMetadataPacket m;
        m.parse(packetFromBytes(18, amf.key("height").number(2).end().bytes()).get());
        EXPECT_EQ(1u, m.width) << row;
        EXPECT_EQ(cases[row].second ? 2u : 0u, m.height) << row;
    }
}

// The entry key and the two property names match when they are a leading part of the word;
// counts are bounded by the data, negative counts read as none. Rows "key/name:count:elements
// written/name:count:elements | fields", elements numbered from 1.
TEST(FLVMetadataTest, KeyframesProperties) {
    std::istringstream rows(
        "keyframes/times:2:2/filepositions:3:3 | keyframes=3 t1 t2 p3 p4 p5; "
        "keyframe/filepositions:1:1/times:2:2 | keyframes=2 t2 t3 p1; "
        "/time:1:1/file:1:1 | keyframes=1 t1 p2; /:2:2/filepositions:0:0 | t1 t2; "
        "Keyframes/times:1:1/filepositions:1:1 | ; keyframesx/times:1:1/filepositions:1:1 | ; "
        "keyframes/TIMES:2:2/other:1:1 | keyframes=1; "
        "keyframes/timesx:2:2/times:1:1 | keyframes=1 t3; "
        "keyframes/times:4294967295:0/filepositions:2147483648:2 | ; "
        "keyframes/filepositions:1:1/times:2147483647:1 | keyframes=1 t2 p1");
    for (std::string row; std::getline(rows >> std::ws, row, ';');) {
        std::istringstream in(row.substr(0, row.find(" | ")));
        std::string key, name;
        std::getline(in, key, '/');
        AmfWriter amf;
        amf.string("onMetaData").ecmaArray(1).key(key).object();
        double value = 0;
        for (uint32_t count, elements; std::getline(in, name, ':') >> count;) {
            amf.key(name).strictArray(count);
            for (in.ignore() >> elements, in.ignore(); elements-- > 0;) amf.number(++value);
        }
        FLVMetadataPacket m;
        m.parse(packetFromBytes(18, amf.end().end().bytes()).get());
        EXPECT_EQ(row.substr(row.find(" | ") + 3), dump(m)) << row;
        EXPECT_EQ(m.keyframeTimesLength == 0, m.keyframeTimes == nullptr) << row;
    }
    // A property name's length is read from its low byte only.
    AmfWriter object;
    object.u16(0x0105).raw("times").numberArray({7}).key("filepositions").numberArray({8});
    const std::unique_ptr<uint8_t[]> bytes(new uint8_t[object.size()]);
    std::copy(object.bytes().begin(), object.bytes().end(), bytes.get());
    FLVMetadataPacket m;
    m.parseKeyframes("keyframes", bytes.get(), object.size());
    EXPECT_EQ("keyframes=1 t7 p8", dump(m));
}

// A payload cut at every byte keeps exactly the entries that lie wholly before the cut, in
// every form the metadata comes in: an ECMA array (files) or an object (nginx live), behind
// "onMetaData" or behind "@setDataFrame", "onMetaData" (what a publisher sends).
TEST(FLVMetadataTest, CutAtEveryByteInEveryForm) {
    for (int form = 0; form < 4; ++form) {
        AmfWriter amf;
        if (form >= 2) amf.string("@setDataFrame");
        amf.string("onMetaData");
        form % 2 == 0 ? amf.ecmaArray(9) : amf.object();
        amf.key("duration").number(12.3456);
        const size_t durationEnd = amf.size();
        amf.key("stereo").boolean(true).key("encoder").string("Lavf").key("d").date(1e12);
        amf.key("cuePoints").numberArray({1, 2}).key("width").number(640);
        const size_t widthEnd = amf.size();
        amf.key("totalduration").number(20);  // a value cut short must not overwrite the first
        const size_t totalEnd = amf.size();
        amf.key("keyframes").object();
        const size_t objectStart = amf.size();
        amf.key("filepositions").strictArray(3);
        const size_t positionsStart = amf.size();
        amf.number(100).number(200).number(300).key("times").strictArray(3);
        const size_t timesStart = amf.size();
        const std::string payload = amf.number(0).number(1).number(2).end().end().bytes();

        for (size_t cut = 0; cut <= payload.size(); ++cut) {
            const auto present = [cut](size_t start) {
                return uint32_t(cut < start ? 0 : std::min<size_t>(3, (cut - start) / 9));
            };
            const uint32_t positions = present(positionsStart);
            const uint32_t times = positions == 3 ? present(timesStart) : 0;
            const uint32_t count = cut >= timesStart ? times : positions;
            std::string want = cut < durationEnd ? ""
                               : cut < totalEnd  ? "duration=12345"
                                                 : "duration=20000";
            if (cut >= widthEnd) want += " width=640";
            if (count > 0) want += " keyframes=" + std::to_string(count);
            for (uint32_t i = 0; i < times; ++i) want += " t" + std::to_string(i);
            for (uint32_t i = 0; i < positions; ++i) want += " p" + std::to_string(100 * i + 100);
            bool ok = true;
            EXPECT_EQ(want, parsed(payload.substr(0, cut), &ok))
                << "form " << form << " cut " << cut;
            // The walk fails where it meets the object, and at the end marker.
            EXPECT_EQ(cut < objectStart, ok) << "cut at " << cut;
        }
    }
    // Other values where the array should be are stepped over.
    for (const std::string& payload :
         {std::string("\x05", 1), AmfWriter().string("onMetaData").u8(0).number(1).bytes()}) {
        bool ok = false;
        EXPECT_EQ("", parsed(payload, &ok));
        EXPECT_TRUE(ok);
    }
}

// Only fields still 0 are filled: rate, channels and codec (as written in the tag) from an
// audio tag and its AAC configuration, the codec from a video tag, picture size and rate from
// its H.264 configuration.
TEST(FLVMetadataTest, FillFromFirstTags) {
    const std::string avc = std::string(4, '\0') +
                            testing_support::avcConfigurationRecord("crop=0,0,0,4 tick=1 scale=60");
    const std::string aac48kMono("\x00\x11\x88", 3);
    const char* const mp3 = "audiocodecid=2 audiosamplerate=44100 audiochannels=2";
    const char* const aac = "audiocodecid=10 audiosamplerate=44100 audiochannels=2";
    const struct {
        uint32_t tagType;
        uint8_t headerByte;  // sound format, rate, size, type: 4, 2, 1, 1 bits
        std::string before, after, body = "x";
    } cases[] = {
        {8, 0x22, "", "audiocodecid=2 audiosamplerate=5500 audiochannels=1"},
        {8, 0x67, "", "audiocodecid=6 audiosamplerate=11025 audiochannels=2"},
        {8, 0x08, "", "audiosamplerate=22050 audiochannels=1"},
        {8, 0x1D, "", "audiocodecid=1 audiosamplerate=44100 audiochannels=2"},
        {8, 0x2F, "audiosamplerate=48000 audiochannels=6 audiocodecid=10",
         "audiocodecid=10 audiosamplerate=48000 audiochannels=6"},
        {9, 0x17, "", "videocodecid=7"},
        {9, 0x17, "videocodecid=2", "videocodecid=2"},
        {18, 0x2a, "", ""},
        // Formats the frames are mapped from keep their own number here: AAC is not MP3.
        {8, 0xAF, "", aac},
        {8, 0xBE, "", "audiocodecid=11 audiosamplerate=44100 audiochannels=1"},
        {8, 0xAF, "", "audiocodecid=10 audiosamplerate=48000 audiochannels=1", aac48kMono},
        {8, 0xAF, "audiosamplerate=22050", "audiocodecid=10 audiosamplerate=22050 audiochannels=1",
         aac48kMono},
        // An AAC configuration behind another format, or an AAC frame, is no configuration.
        {8, 0x2F, "", mp3, aac48kMono},
        {8, 0xAF, "", aac, "\x01\x11\x88"},
        {9, 0x17, "", "width=640 height=360 videocodecid=7 framerate=30", avc},
        {9, 0x17, "width=320 framerate=25", "width=320 height=360 videocodecid=7 framerate=25",
         avc},
        {9, 0x12, "", "videocodecid=2", avc},
        {9, 0x17, "", "videocodecid=7", avc.substr(0, avc.size() / 2)}};
    for (const auto& c : cases) {
        FLVMetadataPacket m;
        m.parse(packetFromBytes(18, testing_support::metadata(c.before)).get());
        m.fillFromPacket(packetFromBytes(c.tagType, char(c.headerByte) + c.body).get());
        EXPECT_EQ(c.after, dump(m)) << "tag " << c.tagType << " byte " << int(c.headerByte);
    }
}

}  // namespace
