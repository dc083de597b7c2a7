// The AMF0 codec: values by marker, bodies as servers send them, damaged and hostile input,
// encoding limits, round trips and the log dump.
#include <cmath>
#include <cstring>
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

bool same(const AMFObjectProperty& a, const AMFObjectProperty& b) {
    const double x = a.GetNumber(), y = b.GetNumber();
    if (a.GetName() != b.GetName() || a.GetType() != b.GetType() || a.GetString() != b.GetString() ||
        std::memcmp(&x, &y, sizeof(double)) != 0 ||
        a.GetObject().GetCount() != b.GetObject().GetCount())
        return false;
    for (int i = 0; i < a.GetObject().GetCount(); ++i)
        if (!same(a.GetObject().GetProperty(i), b.GetObject().GetProperty(i))) return false;
    return true;
}

double number(const AMFObject& o, const std::string& key) {
    return o.GetProperty(key).GetNumber();
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

TEST(AMFObjectDecode, ConnectResultWithItsPropertiesAndInformation) {
    AMFObject body;
    ASSERT_EQ(int(kConnectResult.size()), decodeExact(body, kConnectResult, false));
    ASSERT_EQ(4, body.GetCount());
    EXPECT_EQ("_result", body.GetProperty(0).GetString());
    EXPECT_EQ(1.0, body.GetProperty(1).GetNumber());
    EXPECT_EQ(31.0, number(body.GetProperty(2).GetObject(), "capabilities"));
    const AMFObject& info = body.GetProperty(3).GetObject();
    EXPECT_EQ("NetConnection.Connect.Success", info.GetProperty("code").GetString());
    EXPECT_EQ("3,0,1,123", info.GetProperty("data").GetObject().GetProperty("version").GetString());
}

TEST(AMFObjectDecode, OnStatusCarriesItsCodeInTheFourthValue) {
    AMFObject body;
    ASSERT_EQ(int(kOnStatus.size()), decodeExact(body, kOnStatus, false));
    ASSERT_EQ(4, body.GetCount());
    EXPECT_EQ(RTMP_LIB::AMF_KIND_NULL, body.GetProperty(2).GetType());
    EXPECT_EQ("NetStream.Play.Start", body.GetProperty(3).GetObject().GetProperty("code").GetString());
}

TEST(AMFObjectDecode, OnMetaDataArrayIgnoresItsCount) {
    AMFObject body;
    ASSERT_EQ(int(kOnMetaData.size()), decodeExact(body, kOnMetaData, false));
    ASSERT_EQ(2, body.GetCount());
    const AMFObject& meta = body.GetProperty(1).GetObject();
    EXPECT_EQ(5, meta.GetCount());
    EXPECT_EQ(30.5, number(meta, "duration"));
    EXPECT_TRUE(meta.GetProperty("stereo").GetBoolean());
    const AMFObject& times = meta.GetProperty("keyframes").GetObject().GetProperty("times").GetObject();
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

TEST(AMFObjectDecode, HugeStrictArrayCountFailsOnTheBytesThatExist) {
    AMFObjectProperty value;
    EXPECT_EQ(-1, decodeExact(value, strict(0x80000000u, Bytes(5, 0x05)), false));
    AMFObject items;
    const Bytes nulls(5, 0x05);
    EXPECT_EQ(-1, items.DecodeItems(nulls.data(), 5, 0x80000000LL));
    EXPECT_EQ(5, items.GetCount());
    EXPECT_EQ(0, items.DecodeItems(nulls.data(), 5, -1));
}

TEST(AMFObjectDecode, OneCallMakesABoundedNumberOfValues) {
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
    EXPECT_EQ(1.0, number(twice, "k"));
}

// ---- encoding -------------------------------------------------------------------------------

AMFObjectProperty make(const std::string& n, void (*set)(AMFObjectProperty&)) {
    AMFObjectProperty p;
    p.SetName(n);
    set(p);
    return p;
}

class RoundTripTest : public ::testing::TestWithParam<AMFObjectProperty> {};

TEST_P(RoundTripTest, DecodesToWhatWasEncodedAndNeedsEveryByte) {
    const AMFObjectProperty& original = GetParam();
    const bool named = !original.GetName().empty();
    std::vector<uint8_t> buffer(70000);
    const int size = original.Encode(buffer.data(), int(buffer.size()));
    ASSERT_GT(size, 0);
    const Bytes encoded(buffer.begin(), buffer.begin() + size);
    EXPECT_EQ(-1, original.Encode(buffer.data(), size - 1));

    AMFObjectProperty decoded;
    ASSERT_EQ(size, decodeExact(decoded, encoded, named));
    EXPECT_TRUE(same(original, decoded));
    for (int cut = 0; cut < size; cut += 1 + cut / 64) {
        AMFObjectProperty partial;
        const int used = decodeExact(partial, Bytes(encoded.begin(), encoded.begin() + cut), named);
        // Only an object may end early, when what is left of it holds nothing broken.
        if (original.GetType() != RTMP_LIB::AMF_KIND_OBJECT) {
            EXPECT_EQ(-1, used) << cut;
        }
        EXPECT_LE(used, cut);
    }
}

AMFObject sample() {
    AMFObject inner;
    inner.AddProperty(make("n", [](AMFObjectProperty& p) { p.SetNumber(7); }));
    AMFObject outer;
    outer.AddProperty(make("s", [](AMFObjectProperty& p) { p.SetString("x"); }));
    AMFObjectProperty nested = make("o", [](AMFObjectProperty& p) { p.SetNull(); });
    nested.SetObject(inner);
    outer.AddProperty(nested);
    outer.AddProperty(make("b", [](AMFObjectProperty& p) { p.SetBoolean(false); }));
    return outer;
}

AMFObjectProperty value(const std::string& n, double d) {
    AMFObjectProperty p;
    p.SetName(n);
    p.SetNumber(d);
    return p;
}

AMFObjectProperty text(const std::string& n, const std::string& s) {
    AMFObjectProperty p;
    p.SetName(n);
    p.SetString(s);
    return p;
}

AMFObjectProperty objectValue(const std::string& n) {
    AMFObjectProperty p;
    p.SetName(n);
    p.SetObject(sample());
    return p;
}

INSTANTIATE_TEST_SUITE_P(
    EncodableKinds, RoundTripTest,
    ::testing::Values(value("", 0), value("", -0.0), value("duration", -1e300),
                      value("", std::numeric_limits<double>::infinity()),
                      value("nan", std::numeric_limits<double>::quiet_NaN()),
                      make("", [](AMFObjectProperty& p) { p.SetBoolean(true); }),
                      make("flag", [](AMFObjectProperty& p) { p.SetBoolean(false); }),
                      text("", ""), text("code", "NetStream.Play.Start"),
                      text("", std::string(65535, 'z')),
                      make("", [](AMFObjectProperty& p) { p.SetNull(); }), objectValue(""),
                      objectValue("info")));

TEST(AMFObjectEncode, PropertyThatCannotBeEncodedIsLoggedAndLeftOut) {
    RtmpLogCapture capture;
    AMFObject mixed;
    mixed.AddProperty(value("a", 1));
    AMFObjectProperty date;
    date.SetName("d");
    date.SetDate(1000, 60);
    mixed.AddProperty(date);
    mixed.AddProperty(AMFObjectProperty());
    mixed.AddProperty(text("s", "v"));
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
}

TEST(AMFObjectEncode, NullIsWrittenWithoutItsName) {
    AMFObjectProperty null;
    null.SetName("n");
    null.SetNull();
    uint8_t out[8] = {0};
    EXPECT_EQ(1, null.Encode(out, 1));
    EXPECT_EQ(0x05, out[0]);
    EXPECT_EQ(-1, AMFObjectProperty().Encode(out, sizeof(out)));
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
    value(std::string(300, 'a'), 1e300).LogContents();
    value(accented, 1).LogContents();
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
    const uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    uint16_t u16v = 9;
    uint32_t u32v = 9;
    double d = 9;
    std::string s = "kept";
    EXPECT_TRUE(RTMP_LIB::ReadUInt16BE(bytes, 2, &u16v));
    EXPECT_EQ(0x0102, u16v);
    EXPECT_TRUE(RTMP_LIB::ReadUInt24BE(bytes, 3, &u32v));
    EXPECT_EQ(0x010203u, u32v);
    EXPECT_TRUE(RTMP_LIB::ReadUInt32BE(bytes, 4, &u32v));
    EXPECT_EQ(0x01020304u, u32v);
    EXPECT_TRUE(RTMP_LIB::ReadUInt32LE(bytes, 4, &u32v));
    EXPECT_EQ(0x04030201u, u32v);
    EXPECT_FALSE(RTMP_LIB::ReadUInt16BE(bytes, 1, &u16v));
    EXPECT_FALSE(RTMP_LIB::ReadUInt24BE(bytes, 2, &u32v));
    EXPECT_FALSE(RTMP_LIB::ReadUInt32BE(bytes, 3, &u32v));
    EXPECT_FALSE(RTMP_LIB::ReadUInt32LE(bytes, 3, &u32v));
    EXPECT_FALSE(RTMP_LIB::ReadAmfNumber(bytes, 7, &d));
    EXPECT_FALSE(RTMP_LIB::ReadAmfString(bytes, 1, &s));
    const uint8_t declaresThree[] = {0x00, 0x03, 'a', 'b'};
    EXPECT_FALSE(RTMP_LIB::ReadAmfString(declaresThree, sizeof(declaresThree), &s));
    EXPECT_EQ(0x04030201u, u32v);
    EXPECT_EQ(0x0102, u16v);
    EXPECT_EQ(9.0, d);
    EXPECT_EQ("kept", s);
}

TEST(AmfCodec, WritersMatchTheLayoutAndRefuseTooLittleRoom) {
    uint8_t out[16] = {0};
    EXPECT_EQ(0u, RTMP_LIB::WriteUInt32LE(out, 3, 1));
    EXPECT_EQ(4u, RTMP_LIB::WriteUInt32LE(out, 4, 0x01020304));
    EXPECT_EQ((Bytes{4, 3, 2, 1}), Bytes(out, out + 4));
    EXPECT_EQ(3u, RTMP_LIB::WriteUInt24BE(out, 3, 0xAA010203));
    EXPECT_EQ((Bytes{1, 2, 3}), Bytes(out, out + 3));
    EXPECT_EQ(0u, RTMP_LIB::WriteAmfNumber(out, 8, 2.5));
    EXPECT_EQ(9u, RTMP_LIB::WriteAmfNumber(out, 9, 2.5));
    EXPECT_EQ(num(2.5), Bytes(out, out + 9));
    EXPECT_EQ(0u, RTMP_LIB::WriteAmfString(out, 5, "abc"));
    EXPECT_EQ(6u, RTMP_LIB::WriteAmfString(out, 6, "abc"));
    EXPECT_EQ(str("abc"), Bytes(out, out + 6));
    EXPECT_EQ(5u, RTMP_LIB::WriteAmfName(out, 5, "abc"));
    EXPECT_EQ(name("abc"), Bytes(out, out + 5));

    // The length field holds the low 16 bits, and only that many bytes follow.
    std::vector<uint8_t> big(70000);
    EXPECT_EQ(3u + 4464u, RTMP_LIB::WriteAmfString(big.data(), big.size(), std::string(70000, 'q')));
    EXPECT_EQ((Bytes{0x02, 0x11, 0x70}), Bytes(big.begin(), big.begin() + 3));
}

}  // namespace
