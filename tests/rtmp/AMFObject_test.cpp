// Each decode gets exactly its bytes on the heap, so that ASan sees a read past them.
#include <algorithm>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/TextConversion.h"
#include "rtmp/AMFCodec.h"
#include "rtmp/AMFObject.h"
#include "sources/RecordingLog.h"
#include "support/ScriptedRtmpServer.h"

namespace {

using namespace testing_support::amf;
using RTMP_LIB::AMFObject;
using RTMP_LIB::AMFObjectProperty;
using testing_support::BigEndian;
using Bytes = std::string;

const Bytes kEnd("\0\0\x09", 3);
const auto obj = [](const Bytes& members) { return "\x03" + members + kEnd; };
const auto ecma = [](uint32_t n, const Bytes& members) {
    return "\x08" + BigEndian(n, 4) + members + kEnd;
};
const auto strict = [](uint32_t n, const Bytes& items) { return "\x0A" + BigEndian(n, 4) + items; };
const auto date = [](double ms, uint16_t offset) {
    return "\x0B" + num(ms).substr(1) + BigEndian(offset, 2);
};
const auto raw = [](std::initializer_list<int> bytes) { return Bytes(bytes.begin(), bytes.end()); };

template <typename Value>
int decode(Value& value, const Bytes& bytes, bool names = false) {
    std::vector<uint8_t> copy(bytes.begin(), bytes.end());  // no spare capacity
    return value.Decode(copy.data(), int(bytes.size()), names);
}
AMFObjectProperty decoded(const Bytes& bytes, bool named) {
    AMFObjectProperty value;
    EXPECT_EQ(int(bytes.size()), decode(value, bytes, named));
    return value;
}

// The ECMA count is wrong: members run to the object end whatever it says. Of two equal names
// the first counts; the last byte of a body is never decoded.
const Bytes kServerBody =
    str("_result") + num(1) + null +
    obj(member("code", str("NetConnection.Connect.Success")) + member("code", str("other")) +
        member("data", ecma(0, member("version", str("3,0"))))) +
    ecma(3, member("stereo", boolean(1)) +
                member("keyframes", obj(member("times", strict(2, num(0) + num(2)))))) +
    null;

// "consumed kind number members text"; a failed decode leaves the value as it was.
TEST(AMFObjectDecode, ValuesByMarker) {
    const auto check = [](const Bytes& bytes, const std::string& expected) {
        AMFObjectProperty value;
        value.SetString("before");
        std::ostringstream got;
        got << decode(value, bytes) << " " << value.GetType() << " " << value.GetNumber() << " "
            << value.GetObject().GetCount() << " " << value.GetString();
        EXPECT_EQ(got.str(), expected) << testing::PrintToString(bytes);
    };
    using Row = std::pair<Bytes, std::string>;
    for (const auto& c :
         {Row(num(-2.5), "9 1 -2.5 0 "), Row(raw({1, 1}), "2 2 1 0 "), Row(raw({1, 2}), "2 2 0 0 "),
          Row(raw({1, 0}), "2 2 0 0 "), Row(str(Bytes("ab\0cd", 5)), "8 3 0 0 ab"),
          Row(str(""), "3 3 0 0 "), Row(raw({5}), "1 5 0 0 "), Row(raw({6}), "1 5 0 0 "),
          Row(raw({13}), "1 5 0 0 "), Row(date(1000, 0xFFFE), "11 8 1000 0 "),
          Row(ecma(99, member("k", num(1))), "20 4 0 1 "), Row(strict(0, ""), "5 4 0 0 "),
          Row(strict(2, num(1) + str("s")), "18 4 0 2 "), Row(obj(""), "4 4 0 0 ")})
        check(c.first, c.second);
    for (const Bytes& bytes :
         {num(1).substr(0, 8), raw({1}), raw({2, 0, 5, 'a', 'b'}), "\x0B" + Bytes(9, 0),
          raw({8, 0, 0, 0}), raw({10, 0, 0, 0}), strict(1, ""), Bytes(), raw({4}), raw({7, 0, 1}),
          raw({9}), raw({12, 0, 0, 0, 0}), raw({14}), raw({255})})
        check(bytes, "-1 3 0 0 before");
    // A name that fits is kept even when no value follows it; one that does not fit fails.
    AMFObjectProperty value;
    EXPECT_EQ(-1, decode(value, raw({0, 1, 'a'}), true));
    EXPECT_EQ(-1, decode(value, raw({0, 9, 'a', 'b', 5}), true));
    EXPECT_EQ(-1, decode(value, raw({0, 2, 'n', 'm'}), true));
    EXPECT_EQ("nm", value.GetName());
    EXPECT_FALSE(value.IsValid());
}

TEST(AMFObjectDecode, ServerBodiesDecodeWholeAndAnswerLookups) {
    AMFObject body;
    ASSERT_EQ(int(kServerBody.size()) - 1, decode(body, kServerBody));
    const AMFObject& info = body.GetProperty(3).GetObject();
    EXPECT_EQ("NetConnection.Connect.Success", info.GetProperty("code").GetString());
    EXPECT_EQ("3,0", info.GetProperty("data").GetObject().GetProperty("version").GetString());
    const AMFObject& data = body.GetProperty(4).GetObject();
    EXPECT_TRUE(data.GetProperty("stereo").GetBoolean());
    const AMFObject& times =
        data.GetProperty("keyframes").GetObject().GetProperty("times").GetObject();
    EXPECT_EQ(2.0, times.GetProperty(1).GetNumber());
    // Misses give the one shared invalid property.
    const AMFObjectProperty* const invalid = &body.GetProperty(-1);
    EXPECT_EQ(invalid, &body.GetProperty(5));
    EXPECT_EQ(invalid, &info.GetProperty("absent"));
    EXPECT_EQ(invalid, &AMFObject().GetProperty(0));
    EXPECT_FALSE(invalid->IsValid() || invalid->GetBoolean() || invalid->GetNumber() != 0.0 ||
                 !invalid->GetString().empty() || invalid->GetObject().GetCount() != 0);
    // A bad value skips to the object end; what came before stays.
    AMFObject skipped;
    const Bytes bytes =
        "\x03" + member("a", num(1)) + member("b", raw({4})) + "\xAA\xBB" + kEnd + str("next");
    ASSERT_EQ(int(bytes.size()), decode(skipped, bytes));
    ASSERT_EQ(2, skipped.GetCount());
    EXPECT_EQ(1, skipped.GetProperty(0).GetObject().GetCount());
    EXPECT_EQ("next", skipped.GetProperty(1).GetString());
    // Without an object end nothing recovers: the list fails, the values before stay.
    AMFObject cut;
    EXPECT_EQ(-1, decode(cut, str("x") + raw({4, 0, 0, 0})));
    EXPECT_EQ(1, cut.GetCount());
}

TEST(AMFObjectDecode, HostileNestingAndCountsAreBounded) {
    const int max = RTMP_LIB::kAmfMaxNesting;
    for (int levels : {max, max + 1}) {
        // One level more: the innermost object fails and its parent recovers at its end marker.
        AMFObjectProperty value;
        Bytes bytes = obj("");
        for (int i = 1; i < levels; ++i) bytes = obj(member("a", bytes));
        ASSERT_EQ(int(bytes.size()) - (levels > max ? 3 : 0), decode(value, bytes));
        const AMFObjectProperty* level = &value;
        for (int i = 1; i < max; ++i) level = &level->GetObject().GetProperty(0);
        EXPECT_EQ(RTMP_LIB::AMF_KIND_OBJECT, level->GetType());
        EXPECT_EQ(0, level->GetObject().GetCount());
    }
    for (const Bytes& opener :
         {raw({3}), raw({3, 0, 1, 'a'}), raw({8, 0, 0, 0, 0, 0, 1, 'a'}), raw({10, 0, 0, 0, 1})}) {
        Bytes bytes;
        for (int i = 0; i < 100000; ++i) bytes += opener;
        AMFObject body;
        AMFObjectProperty value;
        EXPECT_TRUE(decode(body, bytes) == -1 && decode(value, bytes) == -1);
    }
    // Every level scanning a tail without object end again would log about 64 lines per byte.
    Bytes deep;
    for (int i = 0; i < max; ++i) deep += raw({3, 0, 1, 'a'});
    deep += Bytes(20000, '\xFF');
    recording_log::Recorder capture;
    AMFObject body;
    EXPECT_EQ(-1, decode(body, deep));
    EXPECT_LT(capture.log().lines().size(), deep.size() + 100);
    // Counts from the wire allocate nothing ahead of the data; a call stops making values.
    AMFObjectProperty value;
    EXPECT_EQ(-1, decode(value, strict(0x80000000u, Bytes(5, 5))));
    AMFObject items;
    const uint8_t nulls[5] = {5, 5, 5, 5, 5};
    EXPECT_EQ(-1, items.DecodeItems(nulls, 5, 0x80000000LL));
    EXPECT_EQ(5, items.GetCount());
    EXPECT_EQ(0, items.DecodeItems(nulls, 5, -1));
    AMFObject many;
    EXPECT_EQ(-1, decode(many, Bytes(RTMP_LIB::kAmfMaxValues + 10, 5)));
    EXPECT_EQ(RTMP_LIB::kAmfMaxValues, many.GetCount());
}

// A cut value never decodes (an object may end early when what is left holds nothing broken).
TEST(AMFObjectEncode, RoundTripsAndLeavesOutWhatCannotBeEncoded) {
    const Bytes nestedObject = obj(member("s", str("x")) + member("o", obj(member("n", num(7)))) +
                                   member("b", boolean(0)));
    const double inf = std::numeric_limits<double>::infinity(), nan = inf - inf;
    int i = 0;
    for (const Bytes& bytes :
         {num(0), num(-0.0), num(-1e300), num(inf), num(nan), boolean(1), boolean(0), str(""),
          str(Bytes(65535, 'z')), null, obj(""), nestedObject, member("duration", num(2.5)),
          member("flag", boolean(1)), member("code", str("NetStream.Play.Start")),
          member("info", nestedObject)}) {
        const bool named = i++ >= 12;
        const AMFObjectProperty value = decoded(bytes, named);
        // Every kind but null first asks for room for its name and 3 bytes.
        size_t room = bytes.size();
        if (value.GetType() != RTMP_LIB::AMF_KIND_NULL)
            room = std::max(room, value.GetName().size() + 3);
        std::vector<uint8_t> out(room);
        ASSERT_EQ(int(bytes.size()), value.Encode(out.data(), int(room)));
        EXPECT_EQ(bytes, Bytes(out.begin(), out.begin() + long(bytes.size())));
        EXPECT_EQ(-1, value.Encode(out.data(), int(room) - 1));
        for (size_t cut = 0; cut < bytes.size(); cut += 1 + cut / 64) {
            AMFObjectProperty partial;
            const int used = decode(partial, bytes.substr(0, cut), named);
            EXPECT_TRUE(used == -1 ||
                        (value.GetType() == RTMP_LIB::AMF_KIND_OBJECT && used <= int(cut)));
        }
    }
    AMFObject mixed;  // dates and invalid values are left out
    decode(mixed, member("a", num(1)) + member("d", date(1000, 60)) + member("s", str("v")), true);
    mixed.AddProperty(AMFObjectProperty());
    const Bytes expected = obj(member("a", num(1)) + member("s", str("v")));
    std::vector<uint8_t> buffer(expected.size());
    ASSERT_EQ(int(expected.size()), mixed.Encode(buffer.data(), int(buffer.size())));
    EXPECT_EQ(expected, Bytes(buffer.begin(), buffer.end()));
    EXPECT_EQ(-1, mixed.Encode(buffer.data(), int(buffer.size()) - 1));
    // A null is written without its name.
    EXPECT_EQ(1, decoded(member("n", null), true).Encode(buffer.data(), 1));
    EXPECT_EQ(0x05, buffer[0]);
}

// Each part of a value's dump has at most 254 bytes, cut without splitting a character.
TEST(AMFObjectLog, LongPartsAreCutWithoutSplittingACharacter) {
    const std::string e = "\xC3\xA9";
    std::string accented = "x", cutE;
    for (int i = 0; i < 150; ++i) accented += e, cutE += i < 123 ? e : "";
    recording_log::Recorder capture;
    decoded(member(Bytes(300, 'a'), num(1e300)), true).LogContents();
    decoded(member(accented, num(1)), true).LogContents();
    const std::vector<std::wstring> lines = capture.log().lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(
        0u, wideToUtf8(lines[0]).rfind("4 Property: <Name: " + Bytes(248, 'a') + "NUMBER:\t1", 0));
    EXPECT_EQ(13u + 254 + 254 + 1, wideToUtf8(lines[0]).size());
    EXPECT_EQ("4 Property: <Name: x" + cutE + "NUMBER:\t1.00>", wideToUtf8(lines[1]));
}

TEST(AmfCodec, ReadersAndWritersAtTheirBounds) {
    const uint8_t in[] = {0x01, 0x02, 0x03, 0x04, 0x00, 0x03, 'a', 'b'};
    uint16_t u16 = 9;
    uint32_t u32 = 9;
    std::string s = "kept";
    EXPECT_TRUE(RTMP_LIB::ReadUInt24BE(in, 3, &u32) && u32 == 0x010203u);
    EXPECT_TRUE(RTMP_LIB::ReadUInt32LE(in, 4, &u32) && u32 == 0x04030201u);
    EXPECT_FALSE(RTMP_LIB::ReadUInt16BE(in, 1, &u16) || RTMP_LIB::ReadUInt32BE(in, 3, &u32) ||
                 RTMP_LIB::ReadUInt32LE(in, 3, &u32) || RTMP_LIB::ReadAmfString(in + 4, 4, &s));
    EXPECT_TRUE(u16 == 9 && u32 == 0x04030201u && s == "kept");
    uint8_t out[16] = {0};
    EXPECT_EQ(0u, RTMP_LIB::WriteUInt32LE(out, 3, 1));
    EXPECT_EQ(4u, RTMP_LIB::WriteUInt32LE(out, 4, 0x01020304));
    EXPECT_EQ(Bytes("\x04\x03\x02\x01"), Bytes(out, out + 4));
    EXPECT_EQ(0u, RTMP_LIB::WriteAmfString(out, 5, "abc") + RTMP_LIB::WriteAmfName(out, 4, "abc"));
    std::vector<uint8_t> big(70000);
    EXPECT_EQ(3u + 4464u, RTMP_LIB::WriteAmfString(big.data(), big.size(), Bytes(70000, 'q')));
    EXPECT_EQ(Bytes("\x02\x11\x70"), Bytes(big.begin(), big.begin() + 3));
}

}  // namespace
