// The AMF0 codec: values by marker, bodies as servers send them, damaged and hostile input,
// encoding limits, round trips and the log dump.
#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "rtmp/AMFCodec.h"
#include "rtmp/AMFObject.h"
#include "rtmp/AmfTestBytes.h"
#include "rtmp/RtmpLogCapture.h"

namespace {

using namespace amf_test;
using RTMP_LIB::AMFObject;
using RTMP_LIB::AMFObjectProperty;
using Lines = std::vector<std::string>;

// A connect "_result" as FMS and nginx-rtmp answer it.
const Bytes kConnectResult =
    str("_result") + num(1) +
    object(member("fmsVer", str("FMS/3,0,1,123")) + member("capabilities", num(31))) +
    object(member("level", str("status")) + member("code", str("NetConnection.Connect.Success")) +
           member("description", str("Connection succeeded.")) +
           member("objectEncoding", num(0)) +
           member("data", ecma(0, member("version", str("3,0,1,123")))));
const Bytes kOnStatus =
    str("onStatus") + num(0) + null() +
    object(member("level", str("status")) + member("code", str("NetStream.Play.Start")) +
           member("description", str("Start live")));
// The ECMA count is deliberately wrong: members run to the object end whatever it says.
const Bytes kOnMetaData =
    str("onMetaData") +
    ecma(3, member("duration", num(30.5)) + member("width", num(640)) +
                member("stereo", boolean(1)) + member("encoder", str("Lavf58.29.100")) +
                member("keyframes", object(member("times", strict(2, num(0) + num(2))) +
                                           member("filepositions", strict(2, num(13) + num(900))))));

// A value decoded from bytes that must decode whole.
AMFObjectProperty decoded(const Bytes& bytes, bool named) {
    AMFObjectProperty value;
    EXPECT_EQ(int(bytes.size()), decodeExact(value, bytes, named));
    return value;
}

// ---- decoding single values ---------------------------------------------------------------

struct ValueCase {
    Bytes bytes;
    int consumed;  // -1: fails
    int kind;
    double number;
    std::string text;
    int members;
};

ValueCase fails(const Bytes& bytes) { return {bytes, -1, 0, 0, "", 0}; }

class DecodeValueTest : public ::testing::TestWithParam<ValueCase> {};

TEST_P(DecodeValueTest, ReadsTheMarkersPayload) {
    const ValueCase& c = GetParam();
    AMFObjectProperty value;
    value.SetString("before");
    ASSERT_EQ(c.consumed, decodeExact(value, c.bytes, false));
    if (c.consumed < 0) {
        EXPECT_EQ(RTMP_LIB::AMF_KIND_STRING, value.GetType());  // a failure changes nothing
        EXPECT_EQ("before", value.GetString());
        return;
    }
    EXPECT_EQ(c.kind, value.GetType());
    EXPECT_EQ(c.number, value.GetNumber());
    EXPECT_EQ(c.text, value.GetString());
    EXPECT_EQ(c.members, value.GetObject().GetCount());
}

INSTANTIATE_TEST_SUITE_P(
    Markers, DecodeValueTest,
    ::testing::Values(
        ValueCase{num(-2.5), 9, 1, -2.5, "", 0}, ValueCase{boolean(1), 2, 2, 1.0, "", 0},
        ValueCase{boolean(2), 2, 2, 0.0, "", 0}, ValueCase{boolean(0), 2, 2, 0.0, "", 0},
        ValueCase{str(std::string("ab\0cd", 5)), 8, 3, 0, "ab", 0},
        ValueCase{str(""), 3, 3, 0, "", 0}, ValueCase{{0x05}, 1, 5, 0, "", 0},
        ValueCase{{0x06}, 1, 5, 0, "", 0}, ValueCase{{0x0D}, 1, 5, 0, "", 0},
        ValueCase{date(1000, 0xFFFE), 11,
                  8, 1000, "", 0},
        ValueCase{ecma(99, member("k", num(1))), 1 + 4 + 12 + 3, 4, 0, "", 1},
        ValueCase{strict(0, {}), 5, 4, 0, "", 0},
        ValueCase{strict(2, num(1) + str("s")), 5 + 9 + 4, 4, 0, "", 2},
        ValueCase{object({}), 4, 4, 0, "", 0},
        // Too short for the payload the marker announces.
        fails(shorter(num(1), 1)), fails({0x01}),
        fails({0x02, 0x00, 0x05, 'a', 'b'}), fails(Bytes{0x0B} + Bytes(9, 0)),
        fails({0x08, 0, 0, 0}), fails({0x0A, 0, 0, 0}),
        fails(strict(1, {})), fails({}),
        // Markers without a decoder.
        fails({0x04}), fails({0x07, 0, 1}), fails({0x09}),
        fails({0x0C, 0, 0, 0, 0}), fails({0x0E}), fails({0xFF})));

TEST(AMFObjectPropertyDecode, LogsWhyANameCannotBeRead) {
    RtmpLogCapture capture;
    AMFObjectProperty value;
    EXPECT_EQ(-1, decodeExact(value, {0x00, 0x01, 'a'}, true));
    EXPECT_EQ(-1, decodeExact(value, {0x00, 0x09, 'a', 'b', 0x05}, true));
    EXPECT_EQ(-1, decodeExact(value, {}, true));
    EXPECT_EQ((Lines{"DEBUG Not enough data for decoding with name, less then 4 bytes!",
                     "DEBUG Name size out of range: namesize (9) > len (5) - 2",
                     "DEBUG empty buffer/no buffer pointer!"}),
              capture.lines());
    // A name that fits is kept even when no value follows it.
    EXPECT_EQ(-1, decodeExact(value, {0x00, 0x02, 'n', 'm'}, true));
    EXPECT_EQ("nm", value.GetName());
    EXPECT_FALSE(value.IsValid());
    EXPECT_EQ(5, decodeExact(value, member("x", boolean(1)), true));
    EXPECT_EQ("x", value.GetName());
}

TEST(AMFObjectPropertyDecode, UnknownMarkerIsLoggedWithItsByte) {
    RtmpLogCapture capture;
    AMFObjectProperty value;
    EXPECT_EQ(-1, decodeExact(value, {0x0C, 0x00}, false));
    ASSERT_EQ(1u, capture.lines().size());
    EXPECT_EQ(0u, capture.lines()[0].rfind(
                      "DEBUG RTMP_LIB::AMFObjectProperty::Decode - unknown datatype 0x0c, @0x", 0));
    EXPECT_EQ(capture.lines()[0].size(), capture.lines()[0].find("@0x") + 3 + 8);
}

// ---- bodies as servers send them ------------------------------------------------------------

TEST(AMFObjectDecode, ServerBodiesDecodeWholeAndAnswerTheCommandLayersLookups) {
    AMFObject result, status, meta;
    ASSERT_EQ(int(kConnectResult.size()), decodeExact(result, kConnectResult, false));
    ASSERT_EQ(int(kOnStatus.size()), decodeExact(status, kOnStatus, false));
    ASSERT_EQ(int(kOnMetaData.size()), decodeExact(meta, kOnMetaData, false));
    EXPECT_EQ(4, result.GetCount());
    EXPECT_EQ("_result", result.GetProperty(0).GetString());
    EXPECT_EQ(31.0, result.GetProperty(2).GetObject().GetProperty("capabilities").GetNumber());
    const AMFObject& info = result.GetProperty(3).GetObject();
    EXPECT_EQ("NetConnection.Connect.Success", info.GetProperty("code").GetString());
    EXPECT_EQ("3,0,1,123", info.GetProperty("data").GetObject().GetProperty("version").GetString());

    EXPECT_EQ(RTMP_LIB::AMF_KIND_NULL, status.GetProperty(2).GetType());
    EXPECT_EQ("NetStream.Play.Start", status.GetProperty(3).GetObject().GetProperty("code").GetString());

    const AMFObject& data = meta.GetProperty(1).GetObject();
    EXPECT_EQ(5, data.GetCount());  // whatever the ECMA count said
    EXPECT_EQ(30.5, data.GetProperty("duration").GetNumber());
    EXPECT_TRUE(data.GetProperty("stereo").GetBoolean());
    const AMFObject& times = data.GetProperty("keyframes").GetObject().GetProperty("times").GetObject();
    ASSERT_EQ(2, times.GetCount());
    EXPECT_EQ(2.0, times.GetProperty(1).GetNumber());
}

TEST(AMFObjectDecode, LastOneOrTwoBytesAreNeverDecoded) {
    AMFObject body;
    const Bytes bytes = str("onBWDone") + num(0) + null();
    EXPECT_EQ(int(bytes.size()) - 1, decodeExact(body, bytes, false));
    EXPECT_EQ(2, body.GetCount());
}

TEST(AMFObjectDecode, BadValueSkipsToTheObjectEndAndKeepsWhatCameBefore) {
    RtmpLogCapture capture;
    const Bytes bytes = Bytes{0x03} + member("a", num(1)) + member("b", {0x04}) +
                        Bytes{0xAA, 0xBB} + kEnd + str("next");
    AMFObject body;
    ASSERT_EQ(int(bytes.size()), decodeExact(body, bytes, false));
    ASSERT_EQ(2, body.GetCount());
    EXPECT_EQ(1, body.GetProperty(0).GetObject().GetCount());
    EXPECT_EQ("next", body.GetProperty(1).GetString());
    // 00 01 'b' 04 AA BB are skipped one by one, each with a line.
    const Lines lines = capture.lines();
    ASSERT_EQ(7u, lines.size());
    for (size_t i = 1; i < lines.size(); ++i)
        EXPECT_EQ("DEBUG DECODING ERROR, IGNORING BYTES UNTIL NEXT KNOWN PATTERN!", lines[i]);

    // Without an object end nothing recovers: the list fails, the values before stay.
    AMFObject cut;
    EXPECT_EQ(-1, decodeExact(cut, str("x") + Bytes{0x04, 0, 0, 0}, false));
    EXPECT_EQ(1, cut.GetCount());
}

TEST(AMFObjectDecode, CutOrDamagedBodiesStayInsideTheirBytes) {
    for (const Bytes& body : {kConnectResult, kOnStatus, kOnMetaData}) {
        for (size_t size = 0; size < body.size(); ++size) {
            const Bytes cut(body.begin(), body.begin() + long(size));
            for (bool names : {false, true}) {
                AMFObject object;
                EXPECT_LE(decodeExact(object, cut, names), int(size)) << size;
                AMFObjectProperty value;
                EXPECT_LE(decodeExact(value, cut, names), int(size)) << size;
            }
            for (uint8_t damage : {0x00, 0x09, 0x0A, 0xFF}) {
                Bytes damaged = body;
                damaged[size] = damage;
                AMFObject object;
                EXPECT_LE(decodeExact(object, damaged, false), int(body.size())) << size;
            }
        }
    }
}

// ---- hostile input --------------------------------------------------------------------------

Bytes nestedObjects(int levels) {
    Bytes inner = object({});
    for (int i = 1; i < levels; ++i) inner = object(member("a", inner));
    return inner;
}

TEST(AMFObjectDecode, NestingStopsAtSixtyFourLevels) {
    AMFObjectProperty value;
    const Bytes deepest = nestedObjects(RTMP_LIB::kAmfMaxNesting);
    ASSERT_EQ(int(deepest.size()), decodeExact(value, deepest, false));
    const AMFObjectProperty* level = &value;
    for (int i = 1; i < RTMP_LIB::kAmfMaxNesting; ++i) level = &level->GetObject().GetProperty(0);
    EXPECT_EQ(RTMP_LIB::AMF_KIND_OBJECT, level->GetType());

    // One level more: the innermost object fails and its parent recovers at its end marker.
    AMFObjectProperty deeper;
    const Bytes tooDeep = nestedObjects(RTMP_LIB::kAmfMaxNesting + 1);
    EXPECT_EQ(int(tooDeep.size()) - 3, decodeExact(deeper, tooDeep, false));
    level = &deeper;
    for (int i = 1; i < RTMP_LIB::kAmfMaxNesting; ++i) level = &level->GetObject().GetProperty(0);
    EXPECT_EQ(0, level->GetObject().GetCount());
}

TEST(AMFObjectDecode, EndlessNestingFailsWithoutExhaustingTheStack) {
    const Bytes openers[] = {{0x03}, {0x03, 0x00, 0x01, 'a'}, {0x08, 0, 0, 0, 0, 0x00, 0x01, 'a'},
                             {0x0A, 0, 0, 0, 1}};
    for (const Bytes& opener : openers) {
        Bytes bytes;
        for (int i = 0; i < 100000; ++i) bytes.insert(bytes.end(), opener.begin(), opener.end());
        AMFObject body;
        EXPECT_EQ(-1, decodeExact(body, bytes, false));
        AMFObjectProperty value;
        EXPECT_EQ(-1, decodeExact(value, bytes, false));
    }
}

TEST(AMFObjectDecode, NestedListsDoNotRescanATailWithoutObjectEnd) {
    Bytes bytes;
    for (int i = 0; i < RTMP_LIB::kAmfMaxNesting; ++i) bytes = bytes + Bytes{0x03, 0x00, 0x01, 'a'};
    bytes = bytes + Bytes(20000, 0xFF);
    RtmpLogCapture capture;
    AMFObject body;
    EXPECT_EQ(-1, decodeExact(body, bytes, false));
    // Every level scanning the tail again would log about 64 lines per byte.
    EXPECT_LT(capture.lines().size(), bytes.size() + 100);
}

TEST(AMFObjectDecode, CountsFromTheWireAllocateNothingAheadOfTheData) {
    AMFObjectProperty value;
    EXPECT_EQ(-1, decodeExact(value, strict(0x80000000u, Bytes(5, 0x05)), false));
    AMFObject items;
    const Bytes nulls(5, 0x05);
    EXPECT_EQ(-1, items.DecodeItems(nulls.data(), 5, 0x80000000LL));
    EXPECT_EQ(5, items.GetCount());
    EXPECT_EQ(0, items.DecodeItems(nulls.data(), 5, -1));
    // One-byte values could ask for 128 times their size; a call stops making them.
    AMFObject body;
    EXPECT_EQ(-1, decodeExact(body, Bytes(RTMP_LIB::kAmfMaxValues + 10, 0x05), false));
    EXPECT_EQ(RTMP_LIB::kAmfMaxValues, body.GetCount());
}

// ---- lookups ------------------------------------------------------------------------------

TEST(AMFObjectLookup, MissesReturnTheOneSharedInvalidProperty) {
    AMFObject object;
    ASSERT_EQ(int(kConnectResult.size()), decodeExact(object, kConnectResult, false));
    const AMFObject& info = object.GetProperty(3).GetObject();
    const AMFObjectProperty* const invalid = &object.GetProperty(-1);
    EXPECT_EQ(invalid, &object.GetProperty(4));
    EXPECT_EQ(invalid, &info.GetProperty("absent"));
    EXPECT_EQ(invalid, &AMFObject().GetProperty(0));
    EXPECT_FALSE(invalid->IsValid());
    EXPECT_EQ("", invalid->GetString());
    EXPECT_EQ(0.0, invalid->GetNumber());
    EXPECT_FALSE(invalid->GetBoolean());
    EXPECT_EQ(0, invalid->GetObject().GetCount());

    AMFObject twice;
    ASSERT_GT(decodeExact(twice, member("k", num(1)) + member("k", num(2)), true), 0);
    EXPECT_EQ(1.0, twice.GetProperty("k").GetNumber());
}

// ---- encoding -------------------------------------------------------------------------------

// Canonical encodings of every encodable kind, unnamed and named: decoding and encoding again
// gives the same bytes, one byte of room less fails, and a cut scalar never decodes.
class RoundTripTest : public ::testing::TestWithParam<std::pair<Bytes, bool>> {};

TEST_P(RoundTripTest, EncodesBackToTheSameBytes) {
    const Bytes& bytes = GetParam().first;
    const bool named = GetParam().second;
    const AMFObjectProperty value = decoded(bytes, named);
    // Every kind but null first asks for room for its name and 3 bytes, more than a boolean
    // writes.
    size_t room = bytes.size();
    if (value.GetType() != RTMP_LIB::AMF_KIND_NULL)
        room = std::max(room, value.GetName().size() + 3);
    Bytes out(room);
    ASSERT_EQ(int(bytes.size()), value.Encode(out.data(), int(room)));
    EXPECT_EQ(bytes, Bytes(out.begin(), out.begin() + long(bytes.size())));
    EXPECT_EQ(-1, value.Encode(out.data(), int(room) - 1));
    for (size_t cut = 0; cut < bytes.size(); cut += 1 + cut / 64) {
        AMFObjectProperty partial;
        const int used = decodeExact(partial, shorter(bytes, bytes.size() - cut), named);
        EXPECT_LE(used, int(cut));
        // Only an object may end early, when what is left of it holds nothing broken.
        if (value.GetType() != RTMP_LIB::AMF_KIND_OBJECT) {
            EXPECT_EQ(-1, used) << cut;
        }
    }
}

const Bytes kNested = object(member("s", str("x")) + member("o", object(member("n", num(7)))) +
                             member("b", boolean(0)));

INSTANTIATE_TEST_SUITE_P(
    EncodableKinds, RoundTripTest,
    ::testing::Values(
        std::make_pair(num(0), false), std::make_pair(num(-0.0), false),
        std::make_pair(num(-1e300), false),
        std::make_pair(num(std::numeric_limits<double>::infinity()), false),
        std::make_pair(num(std::numeric_limits<double>::quiet_NaN()), false),
        std::make_pair(boolean(1), false), std::make_pair(boolean(0), false),
        std::make_pair(str(""), false), std::make_pair(str(std::string(65535, 'z')), false),
        std::make_pair(null(), false), std::make_pair(object({}), false),
        std::make_pair(kNested, false), std::make_pair(member("duration", num(2.5)), true),
        std::make_pair(member("flag", boolean(1)), true),
        std::make_pair(member("code", str("NetStream.Play.Start")), true),
        std::make_pair(member("info", kNested), true)));

TEST(AMFObjectEncode, PropertyThatCannotBeEncodedIsLoggedAndLeftOut) {
    RtmpLogCapture capture;
    AMFObject mixed;
    mixed.AddProperty(decoded(member("a", num(1)), true));
    mixed.AddProperty(decoded(member("d", date(1000, 60)), true));
    mixed.AddProperty(AMFObjectProperty());
    mixed.AddProperty(decoded(member("s", str("v")), true));
    const Bytes expected = object(member("a", num(1)) + member("s", str("v")));

    std::vector<uint8_t> buffer(expected.size());
    ASSERT_EQ(int(expected.size()), mixed.Encode(buffer.data(), int(buffer.size())));
    EXPECT_EQ(expected, buffer);
    EXPECT_EQ((Lines{"ERROR RTMP_LIB::AMFObjectProperty::Encode, invalid type. 8",
                     "ERROR AMFObject::Encode - failed to encode property in index 1",
                     "ERROR AMFObject::Encode - failed to encode property in index 2"}),
              capture.lines());
    EXPECT_EQ(-1, mixed.Encode(buffer.data(), int(buffer.size()) - 1));
    EXPECT_EQ(-1, AMFObject().Encode(buffer.data(), 3));
    EXPECT_EQ(4, AMFObject().Encode(buffer.data(), 4));
    EXPECT_EQ(-1, AMFObjectProperty().Encode(buffer.data(), int(buffer.size())));
    // A null is written without its name.
    EXPECT_EQ(1, decoded(member("n", null()), true).Encode(buffer.data(), 1));
    EXPECT_EQ(0x05, buffer[0]);
}

// ---- the log dump ---------------------------------------------------------------------------

TEST(AMFObjectLog, OneLinePerValueWithNestedMembersAfterTheirObject) {
    AMFObject body;
    ASSERT_GT(decodeExact(body, str("_result") + null() + object(member("level", str("status")) +
                                                                member("ok", boolean(2))) +
                                    date(1500, 0xFFC4) + num(1),
                          false),
              0);
    body.AddProperty(AMFObjectProperty());
    RtmpLogCapture capture;
    body.LogContents();
    const std::string noName = "Name:                  no-name., ";
    EXPECT_EQ((Lines{"DEBUG Property: <" + noName + "STRING:\t_result>", "DEBUG Property: NULL",
                     "DEBUG Property: <" + noName + "OBJECT>",
                     "DEBUG Property: <Name:                     level, STRING:\tstatus>",
                     "DEBUG Property: <Name:                        ok, BOOLEAN:\tFALSE>",
                     "DEBUG Property: <" + noName + "DATE:\ttimestamp: 1500.00, UTC offset: -60>",
                     "DEBUG Property: <" + noName + "NUMBER:\t1.00>", "DEBUG Property: INVALID"}),
              capture.lines());
}

TEST(AMFObjectLog, LongPartsAreCutWithoutSplittingACharacter) {
    const std::string e = "\xC3\xA9";  // é
    std::string accented = "x";
    for (int i = 0; i < 150; ++i) accented += e;
    std::string allE;
    for (int i = 0; i < 123; ++i) allE += e;
    RtmpLogCapture capture;
    decoded(member(std::string(300, 'a'), num(1e300)), true).LogContents();
    decoded(member(accented, num(1)), true).LogContents();
    // Each part has at most 254 bytes; "Name: " and "NUMBER:\t" take 6 and 8 of them.
    const Lines lines = capture.lines();
    ASSERT_EQ(2u, lines.size());
    const std::string cutName = "DEBUG Property: <Name: " + std::string(248, 'a') + "NUMBER:\t1";
    EXPECT_EQ(0u, lines[0].rfind(cutName, 0));
    EXPECT_EQ(std::string("DEBUG Property: <").size() + 254 + 254 + 1, lines[0].size());
    EXPECT_EQ("DEBUG Property: <Name: x" + allE + "NUMBER:\t1.00>", lines[1]);
}

// ---- byte-level helpers ---------------------------------------------------------------------

TEST(AmfCodec, ReadersNeedEveryByteAndTouchNothingOtherwise) {
    const uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0x00, 0x03, 'a', 'b'};
    uint16_t u16v = 9;
    uint32_t u32v = 9;
    std::string s = "kept";
    EXPECT_TRUE(RTMP_LIB::ReadUInt24BE(bytes, 3, &u32v) && u32v == 0x010203u);
    EXPECT_TRUE(RTMP_LIB::ReadUInt32LE(bytes, 4, &u32v) && u32v == 0x04030201u);
    EXPECT_FALSE(RTMP_LIB::ReadUInt16BE(bytes, 1, &u16v) || RTMP_LIB::ReadUInt32BE(bytes, 3, &u32v) ||
                 RTMP_LIB::ReadUInt32LE(bytes, 3, &u32v));
    EXPECT_FALSE(RTMP_LIB::ReadAmfString(bytes + 4, 4, &s));  // declares 3 bytes, holds 2
    EXPECT_EQ(9, u16v);
    EXPECT_EQ(0x04030201u, u32v);
    EXPECT_EQ("kept", s);
}

TEST(AmfCodec, WritersRefuseTooLittleRoomAndKeepTheLow16BitsOfALength) {
    uint8_t out[16] = {0};
    EXPECT_EQ(0u, RTMP_LIB::WriteUInt32LE(out, 3, 1));
    EXPECT_EQ(4u, RTMP_LIB::WriteUInt32LE(out, 4, 0x01020304));
    EXPECT_EQ((Bytes{4, 3, 2, 1}), Bytes(out, out + 4));
    EXPECT_EQ(0u, RTMP_LIB::WriteAmfString(out, 5, "abc"));
    EXPECT_EQ(0u, RTMP_LIB::WriteAmfName(out, 4, "abc"));
    std::vector<uint8_t> big(70000);
    EXPECT_EQ(3u + 4464u, RTMP_LIB::WriteAmfString(big.data(), big.size(), std::string(70000, 'q')));
    EXPECT_EQ((Bytes{0x02, 0x11, 0x70}), Bytes(big.begin(), big.begin() + 3));
}

}  // namespace
