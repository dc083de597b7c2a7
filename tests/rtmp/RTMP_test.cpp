// Each AMF decode gets exactly its bytes on the heap, so that ASan sees a read past them.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/TextConversion.h"
#include "rtmp/AMFCodec.h"
#include "rtmp/CRTMP.h"
#include "rtmp/ParseUrl.h"
#include "sources/RecordingLog.h"
#include "support/NginxServer.h"
#include "support/ScriptedRtmpServer.h"
#include "support/TestMedia.h"

namespace {

using RTMP_LIB::AMFObject;
using RTMP_LIB::AMFObjectProperty;
using RTMP_LIB::CRTMP;
using RTMP_LIB::ParseUrl;
using RTMP_LIB::RTMPPacket;
using namespace testing_support;
using namespace testing_support::amf;
using Bytes = std::string;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;
using Row = std::pair<std::string, std::string>;

const Bytes kEnd("\0\0\x09", 3);
const auto ecma = [](uint32_t n, const Bytes& m) { return "\x08" + BigEndian(n, 4) + m + kEnd; };
const auto strict = [](uint32_t n, const Bytes& items) { return "\x0A" + BigEndian(n, 4) + items; };
const auto date = [](double ms, int tz) { return "\x0B" + num(ms).substr(1) + BigEndian(tz, 2); };
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
    object(member("code", str("NetConnection.Connect.Success")) + member("code", str("other")) +
           member("data", ecma(0, member("version", str("3,0"))))) +
    ecma(3, member("stereo", boolean(1)) +
                member("keyframes", object(member("times", strict(2, num(0) + num(2)))))) +
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
    for (const auto& c :
         {Row(num(-2.5), "9 1 -2.5 0 "), Row(raw({1, 1}), "2 2 1 0 "), Row(raw({1, 2}), "2 2 0 0 "),
          Row(raw({1, 0}), "2 2 0 0 "), Row(str(Bytes("ab\0cd", 5)), "8 3 0 0 ab"),
          Row(str(""), "3 3 0 0 "), Row(raw({5}), "1 5 0 0 "), Row(raw({6}), "1 5 0 0 "),
          Row(raw({13}), "1 5 0 0 "), Row(date(1000, 0xFFFE), "11 8 1000 0 "),
          Row(ecma(99, member("k", num(1))), "20 4 0 1 "), Row(strict(0, ""), "5 4 0 0 "),
          Row(strict(2, num(1) + str("s")), "18 4 0 2 "), Row(object(""), "4 4 0 0 ")})
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
    EXPECT_TRUE(value.GetName() == "nm" && !value.IsValid()) << value.GetName();
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
        Bytes bytes = object("");
        for (int i = 1; i < levels; ++i) bytes = object(member("a", bytes));
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
    const Bytes nestedObject = object(
        member("s", str("x")) + member("o", object(member("n", num(7)))) + member("b", boolean(0)));
    const double inf = std::numeric_limits<double>::infinity(), nan = inf - inf;
    int i = 0;
    for (const Bytes& bytes :
         {num(0), num(-0.0), num(-1e300), num(inf), num(nan), boolean(1), boolean(0), str(""),
          str(Bytes(65535, 'z')), null, object(""), nestedObject, member("duration", num(2.5)),
          member("flag", boolean(1)), member("code", str("NetStream.Play.Start")),
          member("info", nestedObject)}) {
        const bool named = i++ >= 12;
        const AMFObjectProperty value = decoded(bytes, named);
        // Every kind but null first asks for room for its name and 3 bytes.
        const bool isNull = value.GetType() == RTMP_LIB::AMF_KIND_NULL;
        const size_t room = std::max(bytes.size(), value.GetName().size() + (isNull ? 0 : 3));
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
    const Bytes expected = object(member("a", num(1)) + member("s", str("v")));
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
    EXPECT_EQ(0u, RTMP_LIB::WriteAmfString(out, 5, "abc") + RTMP_LIB::WriteAmfName(out, 4, "abc"));
    std::vector<uint8_t> big(70000);
    EXPECT_EQ(3u + 4464u, RTMP_LIB::WriteAmfString(big.data(), big.size(), Bytes(70000, 'q')));
    EXPECT_EQ(Bytes("\x02\x11\x70"), Bytes(big.begin(), big.begin() + 3));
}

const auto text = [](const RTMPPacket& p) { return Bytes((const char*)p.body, p.bodySize); };
bool logged(recording_log::Recorder& log, const std::string& line) {
    const std::vector<std::wstring> lines = log.log().lines();
    return std::find(lines.begin(), lines.end(), utf8ToWide(line)) != lines.end();
}

// A bent handshake is tolerated with a warning where the client can go on; the rest fail in time.
TEST(CRTMPConnectTest, HandshakesConnectAndUnreachableServers) {
    const auto connectBody = [](const char* app, const char* tcUrl) {
        return str("connect") + num(1.0) +
               object((app ? member("app", str(app)) : "") +
                      member("flashVer", str("LNX 9,0,124,0")) +
                      (tcUrl ? member("tcUrl", str(tcUrl)) : "") + member("fpad", boolean(false)) +
                      member("capabilities", num(15.0)) + member("audioCodecs", num(1639.0)) +
                      member("videoCodecs", num(252.0)) + member("videoFunction", num(1.0)));
    };
    struct Case {
        HandshakeScript script;
        const char *warning = "", *app = "a", *tcUrl = nullptr;
        std::string host = "127.0.0.1";
        unsigned above = 0;  // added to the scripted server's port
    };
    const std::string longApp(300, 'p');
    const std::vector<Case> cases = {
        {{}, "", nullptr},
        {{6}, ": Type mismatch: client sent 3, server answered 6", longApp.c_str()},
        {{3, false}, ", client signiture does not match!", "a", "rtmp://h/a"},
        {{3, true, -1, false}},
        {{3, true, 1}},
        {{3, true, 1537}},
        {{3, true, 3072}},
        {{}, "", "a", nullptr, "no-such-host.invalid"},
        {{}, "", "a", nullptr, "127.0.0.1", 65536}};
    for (const Case& c : cases) {
        recording_log::Recorder log;
        RtmpMessage connect;
        ScriptedRtmpServer server([&](ScriptedRtmpServer& s) {
            if (s.handshake(c.script)) s.readMessage(&connect);
        });
        CRTMP client;
        client.SetConnectTimeout(300);
        const auto start = Clock::now();
        const bool connects =
            !c.above && c.host == "127.0.0.1" && c.script.answer && c.script.closeAfter < 0;
        EXPECT_EQ(
            client.Connect(c.host.c_str(), server.port() + c.above, "s", c.app, 0, c.tcUrl, 0),
            connects);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
        EXPECT_EQ(client.IsConnected(), connects);
        EXPECT_TRUE(!*c.warning ||
                    logged(log, "2 RTMP_LIB::CRTMP::HandShake" + std::string(c.warning)));
        client.Close();
        if (!connects) continue;
        server.join();
        EXPECT_EQ(connect.wire, Message12(3, 0x14, 0, connectBody(c.app, c.tcUrl)));
    }
}

// The bounds are on the whole wait, whatever non-media chatter arrives.
TEST(CRTMPConnectTest, BoundedWaitsAndEndsInsideAMessage) {
    const std::string chatter = Message12(2, 4, 0, std::string("\0\0\0\0\0\1", 6)) +
                                Message12(4, 8, 1, "") + OnStatus("NetStream.Play.Start") +
                                Message12(2, 5, 0, BigEndian(2500000, 4));
    const std::string cut = Message12(4, 9, 1, std::string(300, 'v')).substr(0, 200);
    const std::vector<uint8_t> flood(64 << 20, 'f');
    const std::string errors[] = {"1 RTMP_LIB::CRTMP::ReadN, RTMP recv error 104",
                                  "1 RTMP_LIB::CRTMP::ReadPacket, failed to read RTMP packet "
                                  "body. len: 300"};
    for (int mode : {0, 1, 2, 3, 4}) {  // silence, chatter, slow reader, reset, close
        recording_log::Recorder log;
        ScriptedRtmpServer server([&](ScriptedRtmpServer& s) {
            RtmpMessage m;
            std::string taken;
            const auto end = Clock::now() + std::chrono::seconds(5);
            if (!s.acceptConnect(&m) || (mode == 0 && s.waitForClose())) return;
            while ((mode == 1 && Clock::now() < end && s.send(chatter)) ||
                   (mode == 2 && s.pause(20) && s.read(256 * 1024, &taken))) {
            }
            if (mode > 2 && s.send(cut)) s.close(mode == 3);
        });
        CRTMP client;
        client.SetReceiveTimeout(300);
        client.SetSendTimeout(300);
        ASSERT_TRUE(client.Connect("127.0.0.1", server.port(), "s", "a", 0, nullptr, 0));
        RTMPPacket packet;
        const auto start = Clock::now();
        EXPECT_FALSE(mode == 2 ? client.WriteN(flood.data(), int(flood.size()))
                               : client.GetNextMediaPacket(packet));
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(3)) << mode;
        EXPECT_FALSE(client.IsConnected());
        EXPECT_TRUE(mode < 3 || logged(log, errors[mode - 3])) << mode;
    }
}

// nginx-rtmp paces a play by the buffer length it knows when play arrives: sent behind play, it
// left the client with three frames. The server's chunk size of 64 is not the client's.
TEST(CRTMPSessionTest, ExchangeFromConnectToStop) {
    const std::string playpath(48, 'p');
    for (uint32_t window : {0u, 300000u}) {
        const uint32_t reportAt = window != 0 ? window : 614400;
        const int big = int(reportAt / 6144) + 4;  // video messages of 6144 bytes on the wire
        std::string hello = Message12(2, 1, 0, BigEndian(64, 4)) +
                            (window ? Message12(2, 5, 0, BigEndian(window, 4)) : "") +
                            Invoke("_result", 1, "", 64);
        std::string media = Message12(2, 1, 0, BigEndian(65536, 4)) +
                            OnStatus("NetStream.Play.Start") + Message12(4, 8, 1, "f") +
                            Message12(2, 4, 0, std::string("\0\x06\x01\x02\x03\x04", 6));
        for (int i = 0; i < big; ++i) media += Message12(6, 9, 1, std::string(6132, 'v'), 65536);
        ScriptedRtmpServer server(
            std::vector<Step>{{hello, 3},
                              {Invoke("_result", 2, num(1.0), 64), 2},
                              {media, 1},
                              {Message12(4, 8, 1, "b"), 1},
                              {OnStatus("NetStream.Play.Stop"), kUntilClose}});
        CRTMP client;
        client.SetBufferTime(36000000);
        ASSERT_TRUE(
            client.Connect("127.0.0.1", server.port(), playpath.c_str(), "live", 0, nullptr, 0));
        RTMPPacket packet;
        int count = 0;
        for (; client.GetNextMediaPacket(packet); packet.free()) count += client.IsPlaying();
        EXPECT_EQ(count, big + 2);
        EXPECT_FALSE(client.IsConnected());
        const Lines expected = {
            "2 0 5 0 " + BigEndian(1250000, 4),
            "2 1 4 0 " + BigEndian(3, 2) + BigEndian(0, 4) + BigEndian(300, 4),
            "3 1 20 0 " + str("createStream") + num(2.0) + null,
            "2 3 4 0 " + BigEndian(3, 2) + BigEndian(1, 4) + BigEndian(36000000, 4),
            "8 0 20 1 " + str("play") + num(0) + null + str(playpath) + num(0),
            "2 1 4 0 " + BigEndian(7, 2) + "\x01\x02\x03\x04"};
        const std::vector<RtmpMessage>& got = server.messages();
        ASSERT_EQ(got.size(), expected.size() + 2);
        for (size_t i = 0; i < expected.size(); ++i) {
            const RtmpMessage& m = got[i + 1];
            EXPECT_EQ(expected[i], std::to_string(m.channel) + " " + std::to_string(m.headerType) +
                                       " " + std::to_string(m.type) + " " +
                                       std::to_string(m.streamId) + " " + m.body);
        }
        const std::string& report = got.back().body;
        ASSERT_EQ(got.back().type * 10 + report.size(), 34u);
        EXPECT_GE(report, BigEndian(reportAt, 4));  // big-endian: compares as the number
        EXPECT_LT(report, BigEndian(reportAt + uint32_t(CRTMP::kReceiveBufferSize), 4));
    }
}

// Whether the stream ends, the first message type handed out, what the server said or the
// duration it set, and the client's replies.
TEST(CRTMPCommandsTest, HandlesEachServerMessage) {
    const auto meta = [](const std::string& name, const std::string& values) {
        return Message12(5, 0x12, 1, str(name) + values, 4096);
    };
    const auto duration = [](int d) { return object(member("duration", num(d))); };
    const std::string tag = "\x08" + BigEndian(2, 3) + BigEndian(0, 7) + "\xAF\x01";
    const std::string bwcheck = Invoke("_onbwcheck", 0);
    for (const auto& c :
         {Row(OnStatus("NetStream.Play.Failed"), "ends NetStream.Play.Failed"),
          Row(OnStatus("NetStream.Failed"), "ends NetStream.Failed"),
          Row(OnStatus("NetStream.Play.StreamNotFound", "error", "No such stream\n"),
              "ends NetStream.Play.StreamNotFound (No such stream?)"),
          Row(OnStatus("NetConnection.Connect.Rejected", "error", "No such stream\n", "_error"),
              "ends NetConnection.Connect.Rejected (No such stream?)"),
          Row(Invoke("close", 0), "ends"),
          // Answers to the server's check await no result of their own.
          Row(bwcheck + Invoke("_result", 1) + bwcheck + Invoke("_result", 2, num(1)),
              "stays 8 _result 5 4 createStream _result 4 play"),
          Row(Invoke("_result", 1) + Invoke("_result", 2, num(1)) + Invoke("_result", 9) +
                  Invoke("_result", 10),
              "stays 8 5 4 createStream 4 play"),
          Row(meta("onMetaData", duration(12)), "stays 18 duration 12"),
          Row(meta("onMetaData", object(member("width", num(2)))), "stays 18"),
          // The search for the duration ends in the first nested object.
          Row(meta("onMetaData", object(member("in", duration(1))) + duration(2)),
              "stays 18 duration 1"),
          Row(meta("@setDataFrame", str("onMetaData") + duration(3)), "stays 18 duration 3"),
          Row(Message12(4, 0x16, 1, tag + BigEndian(13, 4)), "stays 22"),
          Row(Message12(4, 0x16, 1, "\x09" + tag.substr(1)), "stays 22"),
          // None of these is media, the cause of a reply or an end.
          Row(Invoke("_error", 3) + Message12(3, 0x14, 0, num(1)) +
                  Message12(2, 4, 0, std::string("\0\x06\x01", 3)) + Message12(2, 7, 0, "xyz") +
                  Message12(2, 6, 0, std::string("\0\0\0\0\x02", 5)) +
                  meta("@setDataFrame", str("onCuePoint")) + meta("onCuePoint", num(1)) +
                  Message12(5, 0x12, 1, std::string("\x02\x00\x0A", 3) + "onMe") +
                  Message12(4, 0x16, 1, "\x07" + tag.substr(1)),
              "stays 8")}) {
        SCOPED_TRACE(c.second);
        const bool stays = c.second[0] == 's';
        ScriptedRtmpServer server(std::vector<Step>{
            {c.first, 0, 1}, {stays ? Message12(4, 8, 1, "A") : "", kUntilClose}});
        CRTMP client;
        ASSERT_TRUE(client.Connect("127.0.0.1", server.port(), "s", "a", 0, nullptr, 0));
        RTMPPacket packet;
        std::ostringstream outcome;
        const bool got = client.GetNextMediaPacket(packet);
        outcome << (client.IsConnected() ? "stays" : "ends");
        if (got) outcome << " " << int(packet.packetType);
        if (client.GetDuration() != 0) outcome << " duration " << client.GetDuration();
        if (!client.GetServerError().empty()) outcome << " " << client.GetServerError();
        packet.free();
        client.Close();
        int checks = 0;
        for (size_t r = 1; r < server.messages().size(); ++r) {
            const RtmpMessage& m = server.messages()[r];
            outcome << " "
                    << (m.type == 0x14 ? m.body.substr(3, uint8_t(m.body[2]))
                                       : std::to_string(m.type));
            EXPECT_TRUE(m.body.substr(0, 10) != str("_result") ||
                        m.body.substr(19) == null + num(double(checks++)));
        }
        EXPECT_EQ(outcome.str(), c.second);
    }
}

// ffmpeg's one-client server sends all and goes: a failed answer stops only the sending.
TEST(CRTMPCommandsTest, NoPlaypathEndsAndAServerGoneIsStillRead) {
    ScriptedRtmpServer noPath(
        std::vector<Step>{{Invoke("_result", 1), 3}, {Invoke("_result", 2, num(5)), kUntilClose}});
    CRTMP client;
    ASSERT_TRUE(client.Connect("127.0.0.1", noPath.port(), nullptr, "a", 0, nullptr, 0));
    RTMPPacket packet;
    EXPECT_FALSE(client.GetNextMediaPacket(packet) || client.IsConnected());
    ScriptedRtmpServer gone(std::vector<Step>{
        {Invoke("_result", 1) + Invoke("_result", 2, num(1)) + Message12(4, 8, 1, "A")}});
    ASSERT_TRUE(client.Connect("127.0.0.1", gone.port(), "s", "a", 0, nullptr, 0));
    gone.join();
    ASSERT_TRUE(client.GetNextMediaPacket(packet));
    EXPECT_EQ(text(packet), "A");
    packet.free();
    EXPECT_FALSE(client.GetNextMediaPacket(packet));
}

// One ReadPacket result: "ch4 t8 ts0 sid1 300/128" while incomplete, "... 300 <body>" when done.
std::string describe(const RTMPPacket& p) {
    std::ostringstream out;
    out << "ch" << p.channel << " t" << int(p.packetType) << " ts" << p.timeSlot << " sid"
        << p.info2 << " " << p.bodySize;
    if (!p.ready()) out << "/" << p.bytesRead << (p.body ? " BODY!" : "");
    return out.str() + (p.ready() ? " " + (p.body ? text(p) : "") : "");
}

class ChunkStreamTest : public ::testing::Test {
  protected:
    void connectTo(const std::string& bytes, size_t piece = 0, int read = 0) {
        server_ = std::make_unique<ScriptedRtmpServer>(std::vector<Step>{{bytes, read, piece}});
        ASSERT_TRUE(client_.Connect("127.0.0.1", server_->port(), "stream", "live", 0, nullptr, 0));
    }
    CRTMP client_;
    std::unique_ptr<ScriptedRtmpServer> server_;
};

TEST_F(ChunkStreamTest, AssemblesMessagesFromEverySegmentation) {
    const auto f = [](char c, size_t n) { return std::string(n, c); };
    const std::string sid1 = LittleEndian(1, 4), ext = BigEndian(0x01020304, 4);
    const std::string hdr4 = "\x04" + BigEndian(0, 3) + BigEndian(150, 3) + "\x08" + sid1;
    const std::string ext2 = BigEndian(0x02000000, 4);
    const std::string e = "ch4 t8 ts16909060 sid1 200", h = "ch7 t9 ts16909060 sid1 130";
    for (const auto& c : std::vector<std::pair<std::string, Lines>>{
             {hdr4 + f('x', 128) + "\x05" + BigEndian(7, 3) + BigEndian(200, 3) + "\x09" + sid1 +
                  f('y', 128) + "\xC4" + f('X', 22) + "\xC5" + f('Y', 72),
              {"ch4 t8 ts0 sid1 150/128", "ch5 t9 ts7 sid1 200/128",
               "ch4 t8 ts0 sid1 150 " + f('x', 128) + f('X', 22),
               "ch5 t9 ts7 sid1 200 " + f('y', 128) + f('Y', 72)}},
             {Message12(6, 9, 1, "abcd", 128, 40) + "\x86" + BigEndian(20, 3) + "efgh\xC6ijkl",
              {"ch6 t9 ts40 sid1 4 abcd", "ch6 t9 ts60 sid1 4 efgh", "ch6 t9 ts80 sid1 4 ijkl"}},
             // A new header cuts an incomplete message.
             {hdr4 + f('x', 128) + "\x44" + BigEndian(5, 3) + BigEndian(3, 3) + "\x08" + "new",
              {"ch4 t8 ts0 sid1 150/128", "ch4 t8 ts5 sid1 3 new"}},
             {Message12(7, 8, 1, "") + Message12(7, 9, 1, "v") + "\xC9",
              {"ch7 t8 ts0 sid1 0 ", "ch7 t9 ts0 sid1 1 v", "ch9 t0 ts0 sid0 0 "}},
             {Message12(4, 8, 1, f('e', 200), 128, 0x01020304) + "\xC4" + ext + "next",
              {e + "/128", e + " " + f('e', 200)}},
             {Message12(4, 8, 1, "ab") + "\x44\xFF\xFF\xFF" + BigEndian(3, 3) + "\x08" + ext +
                  "cde" + "\x84\xFF\xFF\xFF" + ext2 + "fgh\xC4" + ext2 + "ijk\x84" +
                  BigEndian(9, 3) + "lmn\xC4opq",
              {"ch4 t8 ts0 sid1 2 ab", "ch4 t8 ts16909060 sid1 3 cde",
               "ch4 t8 ts50463492 sid1 3 fgh", "ch4 t8 ts84017924 sid1 3 ijk",
               "ch4 t8 ts84017933 sid1 3 lmn", "ch4 t8 ts84017942 sid1 3 opq"}},
             // Continuation chunks without the repeat, also with fewer than four bytes left.
             {Message12(4, 8, 1, f('e', 200), 128, 0x01020304, false) + Message12(6, 9, 1, "g") +
                  Message12(7, 9, 1, f('h', 130), 128, 0x01020304, false),
              {e + "/128", e + " " + f('e', 200), "ch6 t9 ts0 sid1 1 g", h + "/128",
               h + " " + f('h', 130)}},
             {Message12(64, 8, 1, f('p', 130)) + Message12(319, 9, 1, "s") +
                  Message12(320, 8, 1, "q") + Message12(65599, 9, 1, "z") + BasicHeader(3, 319) +
                  "t",
              {"ch64 t8 ts0 sid1 130/128", "ch64 t8 ts0 sid1 130 " + f('p', 130),
               "ch319 t9 ts0 sid1 1 s", "ch320 t8 ts0 sid1 1 q", "ch65599 t9 ts0 sid1 1 z",
               "ch319 t9 ts0 sid1 1 t"}}}) {
        for (size_t piece : {0, 1, 5, 129}) {
            SCOPED_TRACE(c.second.back().substr(0, 40) + " in pieces of " + std::to_string(piece));
            connectTo(c.first, piece);
            Lines results;
            for (RTMPPacket packet; client_.ReadPacket(packet); packet.free())
                results.push_back(describe(packet));
            EXPECT_EQ(results, c.second);
            EXPECT_FALSE(client_.IsConnected());
        }
    }
}

long residentBytes() {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

// 16 MiB announced on each of 64 channels: 1 GiB if bodies were allocated as announced.
TEST_F(ChunkStreamTest, AnnouncedBodiesWithoutDataCostNoMemoryAndChunkSizeLimits) {
    std::string bytes;
    for (int channel = 2; channel < 66; ++channel)
        bytes += BasicHeader(0, channel) + BigEndian(0, 3) + BigEndian(0xFFFFFF, 3) + "\x09" +
                 LittleEndian(1, 4) + std::string(128, 'm');
    const long before = residentBytes();
    connectTo(bytes);
    RTMPPacket packet;
    for (int channel = 2; channel < 66; ++channel) {
        ASSERT_TRUE(client_.ReadPacket(packet));
        EXPECT_EQ(describe(packet), "ch" + std::to_string(channel) + " t9 ts0 sid1 16777215/128");
    }
    EXPECT_LT(residentBytes() - before, 64L << 20);
    const std::string body(2000, 'q');
    const uint32_t sizes[] = {0, 0x80000000u, 0xFFFFFFFFu, 1, 0xFFFFFF, 0x1000000, 0x7FFFFFFF};
    const int32_t applied[] = {0, 0, 0, 1, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF};  // 0: the end
    for (int i = 0; i < 7; ++i) {
        connectTo(Message12(2, 1, 0, BigEndian(sizes[i], 4)) +
                  Message12(4, 9, 1, body, applied[i] > 0 ? uint32_t(applied[i]) : 128));
        ASSERT_EQ(client_.GetNextMediaPacket(packet), applied[i] > 0) << i;
        EXPECT_EQ(client_.GetChunkSize(), applied[i] > 0 ? applied[i] : 128);
        EXPECT_EQ(applied[i] > 0 ? text(packet) : body, body);
        packet.free();
    }
}

TEST_F(ChunkStreamTest, WritesCompressedHeadersAndChunks) {
    connectTo("", 0, 8);
    RTMPPacket packet;
    const std::string i25 = str("call") + std::string(18, 'i');
    const std::string i300 = str("long") + std::string(293, 'j'), n300(300, 'n');
    const std::string ext = BigEndian(0x01000000, 4), size300 = BigEndian(300, 3);
    for (auto [channel, header, type, time, body] :
         {std::make_tuple(3, 1, 0x14, 0, i25), std::make_tuple(3, 1, 0x14, 0, i25),
          std::make_tuple(3, 1, 0x14, 0, i300), std::make_tuple(5, 0, 0x14, 0x01000000, i300),
          std::make_tuple(5, 1, 0x14, 0x01000000, i300), std::make_tuple(5, 1, 0x14, 7, i300),
          std::make_tuple(70, 0, 0x14, 0x01000000, i300), std::make_tuple(400, 1, 0x12, 9, n300)}) {
        packet.channel = channel, packet.headerType = uint8_t(header), packet.info1 = time;
        packet.packetType = uint8_t(type), packet.bodySize = uint32_t(body.size());
        packet.body = reinterpret_cast<uint8_t*>(body.data());
        EXPECT_TRUE(client_.SendPacket(packet));
    }
    packet.reset();
    const auto chunked = [](const Bytes& head, const Bytes& more, const Bytes& body) {
        return head + body.substr(0, 128) + more + body.substr(128, 128) + more + body.substr(256);
    };
    const Lines expected = {
        "\x43" + BigEndian(0, 3) + BigEndian(25, 3) + "\x14" + i25,
        "\xC3" + i25,
        chunked("\x43" + BigEndian(0, 3) + size300 + "\x14", "\xC3", i300),
        chunked("\x05\xFF\xFF\xFF" + size300 + "\x14" + LittleEndian(0, 4) + ext, "\xC5" + ext,
                i300),
        chunked("\x85\xFF\xFF\xFF" + ext, "\xC5" + ext, i300),
        chunked("\x85" + BigEndian(7, 3), "\xC5", i300),
        chunked(BasicHeader(0, 70) + "\xFF\xFF\xFF" + size300 + "\x14" + LittleEndian(0, 4) + ext,
                BasicHeader(3, 70) + ext, i300),
        chunked("\x41\x50\x01" + BigEndian(9, 3) + size300 + "\x12", "\xC1\x50\x01", n300)};
    const std::vector<RtmpMessage>& got = server_->messages();
    ASSERT_EQ(got.size(), expected.size() + 1);
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(got[i + 1].wire, expected[i]) << i;
}

// The play path is longer than one of the client's chunks.
TEST(CRTMPNginxTest, PlaysAFileToItsEndWhateverNginxsChunkSize) {
    const std::string clip = TestMedia::file(TestMedia::Kind::kH264Aac);
    if (clip.empty()) GTEST_SKIP() << TestMedia::missingReason(TestMedia::Kind::kH264Aac);
    if (NginxServer::binary().empty() || !std::filesystem::exists(NginxServer::rtmpModule()))
        GTEST_SKIP() << "needs nginx with its RTMP module";
    const std::string media = TestMedia::tempDir() + "/rtmp-vod",
                      name = "clip-" + std::string(120, 'n');
    std::filesystem::create_directories(media);
    std::filesystem::copy_file(clip, media + "/" + name + ".flv",
                               std::filesystem::copy_options::overwrite_existing);
    for (int chunkSize : {4096, 64}) {
        NginxServer nginx(
            NginxServer::rtmpConfig(media, "    chunk_size " + std::to_string(chunkSize) + ";\n"));
        ASSERT_TRUE(nginx.running()) << nginx.why();
        CRTMP client;
        client.SetReceiveTimeout(5000);
        ASSERT_TRUE(client.Connect("127.0.0.1", nginx.port(), name.c_str(), "vod", 0,
                                   "rtmp://127.0.0.1/vod", 0));
        int frames = 0;
        for (RTMPPacket p; client.GetNextMediaPacket(p); p.free()) frames += p.bodySize > 0;
        EXPECT_GT(frames, 20) << chunkSize;
        EXPECT_FALSE(client.IsConnected());
        EXPECT_GT(client.GetDuration(), 0.5);
    }
}

// URL, protocol, host, port, application, play path ("-": not set; "@": 250 bytes of host).
TEST(ParseUrl, FindsThePartsAndLeavesTheRest) {
    std::istringstream rows(
        "rtmp://@:1935/a/s 0 @ 1935 a s|rtmp://@:19350/a/s 0 - 19350 a s|"
        "rtmp://h:/a/s 0 h 1935 a s|rtmp://server/vod/clips/intro.flv 0 server - vod/clips intro|"
        "rtmp://h/a/.flv 0 h - a |rtmp://server:1936/live/stream 0 server 1936 live stream|"
        "rtmp://h/app? 0 h - app? -|rtmp://server:0/live/stream 0 server 1935 live stream|"
        "rtmp://h/a/b/ 0 h - a b/|rtmp://server/ondemand/a/b.flv 0 server - ondemand a/b|"
        "rtmp://h/app/s? 0 h - app s?|"
        "rtmp://s/app?slist=mp4:movie&x=1 0 s - app?slist=mp4:movie&x=1 mp4:movie|"
        "rtmp://server/app?id=7 0 server - app?id=7 id=7|RTMPE://server/app/s 3 server - app s|"
        "Rtmpt://H/a/s 1 H - a s|rtmps://h/a/s 2 h - a s|rtmpTE://h/a/s 4 h - a s|"
        "rtmfp://h/a/s 5 h - a s|http://h/a/s 0 h - a s|rtmpx://h/a/s 0 h - a s|"
        "rtmp:/h/a/s 0 - - - -|rtmp://h:99999/a/s 0 h 99999 a s|rtmp://h:123456/a/s 0 h - a s|"
        "rtmp://h:-1/a/s 0 h 1935 a s|rtmp://server 0 server - - -|rtmp://h/app/ 0 h - app -|"
        "rtmp://server:1936 0 server 1936 - -|rtmp://server?a/b 0 server - - -|rtmp://h/ 0 h -  -|"
        "rtmp://h/app 0 h - app -|rtmp://h/live/stream-a/x 0 h - live/stream-a x|"
        "rtmp://h/Ondemand/a/b 0 h - Ondemand/a b|rtmp://h/a/clip.FLV 0 h - a clip.FLV|"
        "rtmp://h/a/clip.flv 0 h - a clip|rtmp://h/a?slist=b.flv 0 h - a?slist=b.flv b.flv|"
        "rtmp://@@/ 0 - -  -");
    for (std::string row; std::getline(rows, row, '|');) {
        for (size_t at; (at = row.find('@')) != std::string::npos;) row.replace(at, 1, 250, 'h');
        const std::string url = row.substr(0, row.find(' '));
        int protocol = -1;
        char *host = nullptr, *app = nullptr, *playpath = nullptr;
        unsigned int port = 0;
        EXPECT_EQ(ParseUrl(url.c_str(), &protocol, &host, &port, &app, &playpath),
                  url.find("://") != std::string::npos)
            << url;
        std::string parts = url + " " + std::to_string(protocol) + " " + (host ? host : "-") + " " +
                            (port ? std::to_string(port) : "-");
        for (const char* part : {app, playpath}) parts += std::string(" ") + (part ? part : "-");
        EXPECT_EQ(parts, row);
        for (char* part : {host, app, playpath}) std::free(part);
    }
    int protocol = 9;
    EXPECT_FALSE(ParseUrl(nullptr, &protocol, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(0, protocol);
    EXPECT_TRUE(ParseUrl("rtmp://h:1/a/s", nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(std::string(RTMP_LIB::RtmpProtocolName(4)) + RTMP_LIB::RtmpProtocolName(-1) +
                  RTMP_LIB::RtmpProtocolName(6),
              "RTMPTE");
}

}  // namespace
