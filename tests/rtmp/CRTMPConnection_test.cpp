// The client against a scripted server: handshake, connect and the command exchange, every
// message a server may send, the chunk stream read from every segmentation and written exactly,
// and the bounds on every wait.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "rtmp/CRTMP.h"
#include "rtmp/RtmpLogCapture.h"
#include "support/ScriptedRtmpServer.h"

namespace {

using RTMP_LIB::CRTMP;
using RTMP_LIB::RTMPPacket;
using namespace testing_support;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

std::string member(const std::string& name, const std::string& value) {
    return BigEndian(name.size(), 2) + name + value;
}
std::string text(const RTMPPacket& p) {
    return std::string((const char*)p.body, p.bodySize);
}

TEST(CRTMPConnectTest, HandshakeAndConnectBytes) {
    const std::string longApp(300, 'p');
    for (const char* app : {"live", (const char*)nullptr, longApp.c_str()}) {
        const char* tcUrl = app && app[0] == 'l' ? "rtmp://127.0.0.1/live" : nullptr;
        RtmpMessage connect;
        std::string c0c1, c2, s1;
        ScriptedRtmpServer server([&](RtmpServerConnection& s) {
            s.acceptConnect(&connect);
            c0c1 = s.c0c1, c2 = s.c2, s1 = s.s1;
        });
        CRTMP client;
        ASSERT_TRUE(client.Connect("127.0.0.1", server.port(), "stream", app, 0, tcUrl, 0));
        server.join();
        ASSERT_EQ(c0c1.size(), 1537u);
        EXPECT_EQ(c0c1[0], '\x03');
        EXPECT_EQ(c0c1.substr(5, 4), std::string(4, '\0'));
        EXPECT_EQ(c2, s1);
        std::string body = amf::str("connect") + amf::num(1.0) + "\x03";
        if (app) body += member("app", amf::str(app));
        body += member("flashVer", amf::str("LNX 9,0,124,0"));
        if (tcUrl) body += member("tcUrl", amf::str(tcUrl));
        body += member("fpad", amf::boolean(false)) + member("capabilities", amf::num(15.0)) +
                member("audioCodecs", amf::num(1639.0)) + member("videoCodecs", amf::num(252.0)) +
                member("videoFunction", amf::num(1.0)) + std::string("\0\0\x09", 3);
        EXPECT_EQ(connect.wire, Message12(3, 0x14, 0, body));
    }
}

// A bent handshake is tolerated with a warning where the client can go on; anything that ends
// or stalls it, and a host or port that cannot be reached, fail within the connect bound.
TEST(CRTMPConnectTest, BentHandshakesAndUnreachableServers) {
    const unsigned refused = ScriptedRtmpServer([](RtmpServerConnection&) {}).port();
    struct Case {
        HandshakeScript script;
        const char* host;
        unsigned port;  // 0: the scripted server's
        bool connects;
        std::string logged;
    };
    const std::string failed = "ERROR RTMP_LIB::CRTMP::Connect, handshake failed.";
    const std::vector<Case> cases = {
        {{6},
         "127.0.0.1",
         0,
         true,
         "WARN RTMP_LIB::CRTMP::HandShake: Type mismatch: client sent 3, server answered 6"},
        {{3, false},
         "127.0.0.1",
         0,
         true,
         "WARN RTMP_LIB::CRTMP::HandShake, client signiture does not match!"},
        {{3, true, -1, false}, "127.0.0.1", 0, false, failed},
        {{3, true, 1}, "127.0.0.1", 0, false, failed},
        {{3, true, 1537}, "127.0.0.1", 0, false, failed},
        {{3, true, 3072}, "127.0.0.1", 0, false, failed},
        {{},
         "127.0.0.1",
         refused,
         false,
         "ERROR RTMP_LIB::CRTMP::Connect, failed to connect socket. Error: 111"},
        {{},
         "127.0.0.1",
         70000,
         false,
         "ERROR RTMP_LIB::CRTMP::Connect, failed to connect socket. Error: 22"},
        {{},
         "no-such-host.invalid",
         1935,
         false,
         "ERROR Problem accessing the DNS. (addr: no-such-host.invalid)"},
        {{}, "", 1935, false, "ERROR Problem accessing the DNS. (addr: )"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logged);
        RtmpLogCapture log;
        ScriptedRtmpServer server([&c](RtmpServerConnection& s) {
            if (s.handshake(c.script) || !c.script.answer) s.waitForClose();
        });
        CRTMP client;
        client.SetConnectTimeout(300);
        const auto start = Clock::now();
        EXPECT_EQ(client.Connect(c.host, c.port ? c.port : server.port(), "s", "a", 0, nullptr, 0),
                  c.connects);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
        EXPECT_EQ(client.IsConnected(), c.connects);
        const Lines lines = log.lines();
        EXPECT_NE(std::find(lines.begin(), lines.end(), c.logged), lines.end());
        client.Close();
    }
}

// Silence, or chatter without a media message, ends the stream after the receive time-out: the
// bound is on the whole wait, not on each read. So does a write that a slow reader takes in
// pieces, after the send time-out.
TEST(CRTMPConnectTest, EveryWaitIsBoundedAsAWhole) {
    const std::string chatter = Message12(2, 4, 0, std::string("\0\0\0\0\0\1", 6)) +
                                Message12(4, 8, 1, "") + OnStatus("NetStream.Play.Start") +
                                Message12(2, 5, 0, BigEndian(2500000, 4));
    for (int mode : {0, 1, 2}) {  // silence, chatter, slow reader
        SCOPED_TRACE(mode);
        ScriptedRtmpServer server([mode, &chatter](RtmpServerConnection& s) {
            RtmpMessage m;
            std::string taken;
            if (!s.acceptConnect(&m)) return;
            if (mode == 0) s.waitForClose();
            const auto end = Clock::now() + std::chrono::seconds(5);
            while (mode == 1 && Clock::now() < end && s.send(chatter)) {
            }
            while (mode == 2 && s.pause(20) && s.read(256 * 1024, &taken)) {
            }
        });
        CRTMP client;
        client.SetReceiveTimeout(300);
        client.SetSendTimeout(300);
        ASSERT_TRUE(client.Connect("127.0.0.1", server.port(), "s", "a", 0, nullptr, 0));
        const auto start = Clock::now();
        RTMPPacket packet;
        const std::vector<uint8_t> flood(64 << 20, 'f');
        EXPECT_FALSE(mode == 2 ? client.WriteN(flood.data(), int(flood.size()))
                               : client.GetNextMediaPacket(packet));
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
        EXPECT_FALSE(client.IsConnected());
    }
}

// The end of the connection inside a message, by a reset or an orderly close: what came before
// is delivered and the end is an error, not a quiet end of the stream.
TEST(CRTMPSessionTest, ConnectionEndingInsideAMessageIsAnError) {
    for (bool reset : {true, false}) {
        RtmpLogCapture log;
        ScriptedRtmpServer server([reset](RtmpServerConnection& s) {
            RtmpMessage connect;
            if (!s.acceptConnect(&connect)) return;
            s.send(Message12(4, 8, 1, "a") +
                   Message12(4, 9, 1, std::string(300, 'v')).substr(0, 200));
            s.close(reset);
        });
        CRTMP client;
        ASSERT_TRUE(client.Connect("127.0.0.1", server.port(), "s", "a", 0, nullptr, 0));
        server.join();
        RTMPPacket packet;
        ASSERT_TRUE(client.GetNextMediaPacket(packet));
        EXPECT_EQ(text(packet), "a");
        packet.free();
        EXPECT_FALSE(client.GetNextMediaPacket(packet));
        const Lines lines = log.lines();
        EXPECT_NE(std::find(lines.begin(), lines.end(),
                            reset ? "ERROR RTMP_LIB::CRTMP::ReadN, RTMP recv error 104"
                                  : "ERROR RTMP_LIB::CRTMP::ReadPacket, failed to read RTMP "
                                    "packet body. len: 300"),
                  lines.end());
    }
}

// A whole session. The server's chunks of 64 are not the client's (the play path needs more than
// one of 128). nginx-rtmp paces an on-demand play by the buffer length it knows when play
// arrives: announced only behind play, it left the client with three frames and no more.
TEST(CRTMPSessionTest, ExchangeFromConnectToStop) {
    const std::string playpath(48, 'p');
    for (uint32_t window : {0u, 300000u}) {
        SCOPED_TRACE(window);
        const uint32_t reportAt = window != 0 ? window : 614400;
        const int big = int(reportAt / 6144) + 4;  // video messages of 6144 bytes on the wire
        std::string hello = Message12(2, 1, 0, BigEndian(64, 4));
        if (window != 0) hello += Message12(2, 5, 0, BigEndian(window, 4));
        hello += Invoke("_result", 1,
                        amf::object({{"code", amf::str("NetConnection.Connect.Success")}}), 64);
        std::string start =
            Message12(2, 1, 0, BigEndian(65536, 4)) + OnStatus("NetStream.Play.Start");
        for (int i = 0; i < 3; ++i) start += Message12(4, 8, 1, std::string(10, 'f'));
        std::string media = Message12(2, 4, 0, std::string("\0\x06\x01\x02\x03\x04", 6));
        for (int i = 0; i < big; ++i) media += Message12(6, 9, 1, std::string(6132, 'v'), 65536);
        ScriptedRtmpServer server(
            std::vector<Step>{{hello, 3},
                              {Invoke("_result", 2, amf::num(1.0), 64), 2},
                              {start + media, 1},
                              {Message12(4, 8, 1, std::string(10, 'b')), 1},
                              {OnStatus("NetStream.Play.Stop"), kUntilClose}});
        CRTMP client;
        client.SetBufferTime(36000000);
        client.SetReceiveTimeout(1000);
        ASSERT_TRUE(
            client.Connect("127.0.0.1", server.port(), playpath.c_str(), "live", 0, nullptr, 0));
        RTMPPacket packet;
        int count = 0;
        for (; client.GetNextMediaPacket(packet); packet.free()) {
            ++count;
            EXPECT_TRUE(client.IsPlaying());
        }
        EXPECT_EQ(count, big + 4);
        EXPECT_FALSE(client.IsConnected());
        EXPECT_EQ(client.GetStreamId(), 1);
        // Channel, header type, message type and stream of each, then its body.
        const Lines expected = {
            "2 0 5 0 " + BigEndian(1250000, 4),
            "2 1 4 0 " + BigEndian(3, 2) + BigEndian(0, 4) + BigEndian(300, 4),
            "3 1 20 0 " + amf::str("createStream") + amf::num(2.0) + amf::null(),
            "2 3 4 0 " + BigEndian(3, 2) + BigEndian(1, 4) + BigEndian(36000000, 4),
            "8 0 20 1 " + amf::str("play") + amf::num(0) + amf::null() + amf::str(playpath) +
                amf::num(0),
            "2 1 4 0 " + BigEndian(7, 2) + "\x01\x02\x03\x04",
        };
        const std::vector<RtmpMessage>& got = server.messages();
        ASSERT_EQ(got.size(), expected.size() + 2);
        for (size_t i = 0; i < expected.size(); ++i) {
            const RtmpMessage& m = got[i + 1];
            EXPECT_EQ(std::to_string(m.channel) + " " + std::to_string(m.headerType) + " " +
                          std::to_string(m.type) + " " + std::to_string(m.streamId) + " " + m.body,
                      expected[i]);
        }
        // The bytes-read report goes with the receive that reaches the window.
        const std::string& report = got.back().body;
        EXPECT_EQ(got.back().type, 0x03);
        ASSERT_EQ(report.size(), 4u);
        const uint32_t reported = uint32_t(uint8_t(report[0])) << 24 | uint8_t(report[1]) << 16 |
                                  uint8_t(report[2]) << 8 | uint8_t(report[3]);
        EXPECT_GE(reported, reportAt);
        EXPECT_LT(reported, reportAt + uint32_t(CRTMP::kReceiveBufferSize));
    }
}

// What the client does with each message a server sends after connect: whether the stream ends,
// what it answers, which message it hands out first, and what the server said.
TEST(CRTMPCommandsTest, HandlesEachServerMessage) {
    struct Case {
        std::string bytes;                 // sent after the connect command
        std::vector<std::string> replies;  // what the client then writes: invoke methods, or types
        bool staysConnected;               // then a 1-byte audio message follows
        int delivered;                     // the type GetNextMediaPacket returns first, 0: none
        std::string said;                  // the server error, or the duration
    };
    const auto meta = [](const std::string& name, const std::string& values) {
        return Message12(5, 0x12, 1, amf::str(name) + values, 4096);
    };
    const auto error = [](const std::string& code, const std::string& method = "onStatus") {
        return OnStatus(code, "error", "No such stream\n", method);
    };
    const std::string tag = std::string("\x08") + BigEndian(2, 3) + BigEndian(0, 7) + "\xAF\x01";
    const std::vector<Case> cases = {
        {OnStatus("NetStream.Play.Stop"), {}, false, 0, ""},
        {OnStatus("NetStream.Play.UnpublishNotify"), {}, false, 0, ""},
        {OnStatus("NetStream.Play.Failed"), {}, false, 0, "NetStream.Play.Failed"},
        {OnStatus("NetStream.Failed"), {}, false, 0, "NetStream.Failed"},
        {error("NetStream.Play.StreamNotFound"),
         {},
         false,
         0,
         "NetStream.Play.StreamNotFound (No such stream?)"},
        {error("NetConnection.Connect.Rejected", "_error"),
         {},
         false,
         0,
         "NetConnection.Connect.Rejected (No such stream?)"},
        {OnStatus("NetStream.Play.Start"), {}, true, 8, ""},
        {Invoke("close", 0), {}, false, 0, ""},
        {Invoke("_error", 3), {}, true, 8, ""},
        {Invoke("_onbwcheck", 0) + Invoke("_onbwcheck", 0), {"_result", "_result"}, true, 8, ""},
        // Answers to the server's check await no result: connect's and createStream's results
        // still find their calls and play goes out.
        {Invoke("_onbwcheck", 0) + Invoke("_result", 1) + Invoke("_onbwcheck", 0) +
             Invoke("_result", 2, amf::num(1)),
         {"_result", "type 5", "type 4", "createStream", "_result", "type 4", "play"},
         true,
         8,
         ""},
        {Message12(3, 0x14, 0, amf::num(1)), {}, true, 8, ""},
        {Message12(2, 4, 0, "\x06"), {}, true, 8, ""},
        {Message12(2, 0x07, 0, "xyz"), {}, true, 8, ""},
        {Message12(2, 5, 0, BigEndian(2500000, 4)) + Message12(2, 6, 0, "\0\0\0\0\x02"),
         {},
         true,
         8,
         ""},
        {Message12(4, 8, 1, "") + Message12(6, 9, 1, ""), {}, true, 8, ""},
        {meta("onMetaData", amf::object({{"duration", amf::num(12.5)}})), {}, true, 0x12, "12.5"},
        {meta("onMetaData", amf::object({{"width", amf::num(2)}})), {}, true, 0x12, ""},
        // The search for the duration ends with the first nested object.
        {meta("onMetaData", amf::object({{"in", amf::object({{"w", amf::num(1)}})}}) +
                                amf::object({{"duration", amf::num(2)}})),
         {},
         true,
         0x12,
         ""},
        {meta("@setDataFrame", amf::str("onMetaData") + amf::object({{"duration", amf::num(3)}})),
         {},
         true,
         0x12,
         "3"},
        {meta("@setDataFrame", amf::str("onCuePoint")), {}, true, 8, ""},
        {meta("onCuePoint", amf::num(1)), {}, true, 8, ""},
        {Message12(5, 0x12, 1,
                   "\x02\x00\x0A"
                   "onMe"),
         {},
         true,
         8,
         ""},
        {Message12(4, 0x16, 1, tag + BigEndian(13, 4)), {}, true, 0x16, ""},
        {Message12(4, 0x16, 1, "\x09" + tag.substr(1)), {}, true, 0x16, ""},
        {Message12(4, 0x16, 1, "\x07" + tag.substr(1)), {}, true, 8, ""},
        {Invoke("_result", 1) + Invoke("_result", 2, amf::num(1)) + Invoke("_result", 9) +
             Invoke("_result", 10),
         {},
         true,
         8,
         ""},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(i);
        ScriptedRtmpServer server(
            std::vector<Step>{{c.bytes, int(c.replies.size()), 1},
                              {c.staysConnected ? Message12(4, 8, 1, "A") : "", kUntilClose}});
        CRTMP client;
        ASSERT_TRUE(client.Connect("127.0.0.1", server.port(), "s", "a", 0, nullptr, 0));
        RTMPPacket packet;
        const bool got = client.GetNextMediaPacket(packet);
        EXPECT_EQ(got ? packet.packetType : 0, c.delivered);
        EXPECT_EQ(client.IsConnected(), c.staysConnected);
        char duration[32] = "";
        if (client.GetDuration() != 0) std::snprintf(duration, 32, "%g", client.GetDuration());
        EXPECT_EQ(client.GetServerError() + duration, c.said);
        packet.free();
        client.Close();
        std::vector<std::string> names;
        int checks = 0;
        for (size_t r = 1; r < server.messages().size(); ++r) {
            const RtmpMessage& m = server.messages()[r];
            names.push_back(m.type == 0x14 ? m.body.substr(3, uint8_t(m.body[2]))
                                           : "type " + std::to_string(m.type));
            if (names.back() != "_result") continue;
            // "_result", the clock, a null and the counter, which each answer raises.
            ASSERT_EQ(m.body.size(), 10u + 9 + 1 + 9);
            EXPECT_EQ(m.body.substr(19), amf::null() + amf::num(double(checks++)));
        }
        EXPECT_EQ(names, c.replies);
    }
}

// Without a play path there is nothing to play: the connection ends instead of waiting.
// ffmpeg's one-client server sends all and goes: answers that meet a reset stop only the sending.
TEST(CRTMPCommandsTest, NoPlaypathEndsAndAServerGoneIsStillRead) {
    ScriptedRtmpServer noPath(std::vector<Step>{{Invoke("_result", 1), 3},
                                                {Invoke("_result", 2, amf::num(5)), kUntilClose}});
    CRTMP client;
    ASSERT_TRUE(client.Connect("127.0.0.1", noPath.port(), nullptr, "a", 0, nullptr, 0));
    RTMPPacket packet;
    EXPECT_FALSE(client.GetNextMediaPacket(packet));
    EXPECT_FALSE(client.IsConnected());

    ScriptedRtmpServer gone(std::vector<Step>{
        {Invoke("_result", 1) + Invoke("_result", 2, amf::num(1)) + Message12(4, 8, 1, "A")}});
    ASSERT_TRUE(client.Connect("127.0.0.1", gone.port(), "s", "a", 0, nullptr, 0));
    gone.join();
    ASSERT_TRUE(client.GetNextMediaPacket(packet));
    EXPECT_EQ(text(packet), "A");
    packet.free();
    EXPECT_FALSE(client.GetNextMediaPacket(packet));
}

// ---- the chunk stream -------------------------------------------------------------------------

// One ReadPacket result: "ch4 t8 ts0 sid1 300/128" while incomplete, "... 300 <body>" when done.
std::string describe(const RTMPPacket& p) {
    const std::string head = "ch" + std::to_string(p.channel) + " t" +
                             std::to_string(p.packetType) + " ts" +
                             std::to_string(uint32_t(p.info1)) + " sid" + std::to_string(p.info2) +
                             " " + std::to_string(p.bodySize);
    if (!p.ready()) return head + "/" + std::to_string(p.bytesRead) + (p.body ? " BODY!" : "");
    return head + " " + (p.body ? text(p) : "");
}

class ChunkStreamTest : public ::testing::Test {
  protected:
    // A server that accepts, sends |bytes| in sends of |piece| bytes and closes.
    void connectTo(const std::string& bytes, size_t piece = 0) {
        client_.Close();
        server_ = std::make_unique<ScriptedRtmpServer>(std::vector<Step>{{bytes, 0, piece}});
        ASSERT_TRUE(client_.Connect("127.0.0.1", server_->port(), "stream", "live", 0, nullptr, 0));
    }
    CRTMP client_;
    std::unique_ptr<ScriptedRtmpServer> server_;
};

TEST_F(ChunkStreamTest, AssemblesMessagesFromEverySegmentation) {
    const auto f = [](char c, size_t n) { return std::string(n, c); };
    const std::string hdr5 =
        "\x05" + BigEndian(7, 3) + BigEndian(200, 3) + "\x09" + LittleEndian(1, 4);
    const std::string hdr4 =
        "\x04" + BigEndian(0, 3) + BigEndian(150, 3) + "\x08" + LittleEndian(1, 4);
    const std::string ext = BigEndian(0x01020304, 4), ext2 = BigEndian(0x02000000, 4);
    const std::vector<std::pair<std::string, Lines>> cases = {
        {Message12(4, 8, 1, f('a', 128) + f('b', 128) + f('c', 44)),
         {"ch4 t8 ts0 sid1 300/128", "ch4 t8 ts0 sid1 300/256",
          "ch4 t8 ts0 sid1 300 " + f('a', 128) + f('b', 128) + f('c', 44)}},
        {hdr4 + f('x', 128) + hdr5 + f('y', 128) + "\xC4" + f('x', 22) + "\xC5" + f('y', 72),
         {"ch4 t8 ts0 sid1 150/128", "ch5 t9 ts7 sid1 200/128",
          "ch4 t8 ts0 sid1 150 " + f('x', 150), "ch5 t9 ts7 sid1 200 " + f('y', 200)}},
        {Message12(6, 9, 1, "abcd", 128, 40) + "\x86" + BigEndian(20, 3) + "efgh\xC6ijkl",
         {"ch6 t9 ts40 sid1 4 abcd", "ch6 t9 ts20 sid1 4 efgh", "ch6 t9 ts20 sid1 4 ijkl"}},
        // A new header cuts an incomplete message.
        {hdr4 + f('x', 128) + "\x44" + BigEndian(5, 3) + BigEndian(3, 3) + "\x08" + "new",
         {"ch4 t8 ts0 sid1 150/128", "ch4 t8 ts5 sid1 3 new"}},
        {Message12(7, 8, 1, "") + Message12(7, 9, 1, "v"),
         {"ch7 t8 ts0 sid1 0 ", "ch7 t9 ts0 sid1 1 v"}},
        {"\xC9", {"ch9 t0 ts0 sid0 0 "}},
        {Message12(2, 1, 0, BigEndian(4096, 4)) + Message12(4, 9, 1, f('z', 3000), 4096),
         {"ch2 t1 ts0 sid0 4 " + BigEndian(4096, 4), "ch4 t9 ts0 sid1 3000 " + f('z', 3000)}},
        {Message12(4, 8, 1, f('e', 200), 128, 0x01020304) + "\xC4" + ext + "next",
         {"ch4 t8 ts16909060 sid1 200/128", "ch4 t8 ts16909060 sid1 200 " + f('e', 200)}},
        {Message12(4, 8, 1, "ab") + "\x44\xFF\xFF\xFF" + BigEndian(3, 3) + "\x08" + ext + "cde" +
             "\x84\xFF\xFF\xFF" + ext2 + "fgh\xC4" + ext2 + "ijk\x84" + BigEndian(9, 3) +
             "lmn\xC4opq",
         {"ch4 t8 ts0 sid1 2 ab", "ch4 t8 ts16909060 sid1 3 cde", "ch4 t8 ts33554432 sid1 3 fgh",
          "ch4 t8 ts33554432 sid1 3 ijk", "ch4 t8 ts9 sid1 3 lmn", "ch4 t8 ts9 sid1 3 opq"}},
        // Continuation chunks without the repeat: their bytes are body, also when fewer than
        // four remain before the next header or the end.
        {Message12(4, 8, 1, f('e', 200), 128, 0x01020304, false) +
             Message12(5, 9, 1, f('f', 130), 128, 0x01020304, false) + Message12(6, 9, 1, "g") +
             Message12(7, 9, 1, f('h', 130), 128, 0x01020304, false),
         {"ch4 t8 ts16909060 sid1 200/128", "ch4 t8 ts16909060 sid1 200 " + f('e', 200),
          "ch5 t9 ts16909060 sid1 130/128", "ch5 t9 ts16909060 sid1 130 " + f('f', 130),
          "ch6 t9 ts0 sid1 1 g", "ch7 t9 ts16909060 sid1 130/128",
          "ch7 t9 ts16909060 sid1 130 " + f('h', 130)}},
        {Message12(64, 8, 1, f('p', 130)) + Message12(319, 9, 1, "s") +
             Message12(320, 8, 1, f('q', 130)) + Message12(65599, 9, 1, "z") + BasicHeader(3, 319) +
             "t",
         {"ch64 t8 ts0 sid1 130/128", "ch64 t8 ts0 sid1 130 " + f('p', 130),
          "ch319 t9 ts0 sid1 1 s", "ch320 t8 ts0 sid1 130/128",
          "ch320 t8 ts0 sid1 130 " + f('q', 130), "ch65599 t9 ts0 sid1 1 z",
          "ch319 t9 ts0 sid1 1 t"}},
    };
    for (const auto& c : cases) {
        for (size_t piece : {0, 1, 5, 129}) {
            SCOPED_TRACE(c.second.front() + " in pieces of " + std::to_string(piece));
            connectTo(c.first, piece);
            Lines results;
            for (RTMPPacket packet; client_.ReadPacket(packet); packet.free()) {
                results.push_back(describe(packet));
                if (packet.ready() && packet.packetType == 1) client_.HandleChangeChunkSize(packet);
            }
            EXPECT_EQ(results, c.second);
            EXPECT_FALSE(client_.IsConnected());
        }
    }
}

TEST_F(ChunkStreamTest, ChunkSizesAtAndBeyondTheLimits) {
    const std::string body(2000, 'q');
    for (auto c : std::vector<std::pair<uint32_t, int32_t>>{{0, 0},
                                                            {0x80000000u, 0},
                                                            {0xFFFFFFFFu, 0},
                                                            {1, 1},
                                                            {0xFFFFFF, 0xFFFFFF},
                                                            {0x1000000, 0xFFFFFF},
                                                            {0x7FFFFFFF, 0xFFFFFF}}) {
        SCOPED_TRACE(c.first);
        connectTo(Message12(2, 1, 0, BigEndian(c.first, 4)) +
                  Message12(4, 9, 1, body, c.second > 0 ? uint32_t(c.second) : 128));
        RTMPPacket packet;
        ASSERT_EQ(client_.GetNextMediaPacket(packet), c.second > 0);  // 0: the connection closes
        EXPECT_EQ(client_.GetChunkSize(), c.second > 0 ? c.second : 128);
        EXPECT_EQ(c.second > 0 ? text(packet) : body, body);
        packet.free();
    }
}

TEST_F(ChunkStreamTest, AnnouncedBodiesWithoutDataCostNoMemory) {
    // 16 MiB announced on each of 64 channels, 128 bytes behind each: 1 GiB if allocated so.
    std::string bytes;
    for (int channel = 2; channel < 66; ++channel) {
        bytes += BasicHeader(0, channel) + BigEndian(0, 3) + BigEndian(0xFFFFFF, 3) + "\x09" +
                 LittleEndian(1, 4) + std::string(128, 'm');
    }
    const auto resident = [] {
        long pages = 0, rss = 0;
        FILE* statm = std::fopen("/proc/self/statm", "r");
        if (statm && std::fscanf(statm, "%ld %ld", &pages, &rss) != 2) rss = 0;
        if (statm) std::fclose(statm);
        return rss * sysconf(_SC_PAGESIZE);
    };
    const long before = resident();
    connectTo(bytes);
    RTMPPacket packet;
    for (int channel = 2; channel < 66; ++channel) {
        ASSERT_TRUE(client_.ReadPacket(packet));
        EXPECT_EQ(describe(packet), "ch" + std::to_string(channel) + " t9 ts0 sid1 16777215/128");
    }
    EXPECT_LT(resident() - before, 64L << 20);
}

// The bytes the client writes: compressed headers, chunks of 128 whatever size the server's own
// have, extended timestamps, basic headers of every length.
TEST_F(ChunkStreamTest, WritesCompressedHeadersAndChunks) {
    server_ = std::make_unique<ScriptedRtmpServer>(std::vector<Step>{{"", 9}});
    ASSERT_TRUE(client_.Connect("127.0.0.1", server_->port(), "stream", "live", 0, nullptr, 0));
    std::string size64 = BigEndian(64, 4);
    RTMPPacket size;
    size.bodySize = 4;
    size.body = reinterpret_cast<uint8_t*>(&size64[0]);
    client_.HandleChangeChunkSize(size);
    size.reset();
    const auto send = [&](uint32_t channel, uint8_t headerType, uint8_t type, uint32_t info1,
                          std::string body) {
        RTMPPacket packet;
        packet.channel = channel;
        packet.headerType = headerType;
        packet.packetType = type;
        packet.info1 = int32_t(info1);
        packet.bodySize = uint32_t(body.size());
        packet.body = reinterpret_cast<uint8_t*>(&body[0]);
        EXPECT_TRUE(client_.SendPacket(packet));
        packet.reset();
    };
    const std::string i25 = amf::str("call") + std::string(18, 'i');
    const std::string i300 = amf::str("long") + std::string(293, 'j');
    const std::string n300(300, 'n'), ext = BigEndian(0x01000000, 4);
    send(3, 1, 0x14, 0, i25);
    send(3, 1, 0x14, 0, i25);
    send(3, 1, 0x14, 0, i300);
    send(5, 0, 0x14, 0x01000000, i300);
    send(5, 1, 0x14, 0x01000000, i300);
    send(5, 1, 0x14, 7, i300);
    send(4, 0, 0x12, 0, n300);
    send(70, 0, 0x14, 0x01000000, i300);
    send(400, 1, 0x12, 9, n300);
    const auto chunked = [](const std::string& head, const std::string& more,
                            const std::string& body) {
        return head + body.substr(0, 128) + more + body.substr(128, 128) + more + body.substr(256);
    };
    const Lines expected = {
        "\x43" + BigEndian(0, 3) + BigEndian(25, 3) + "\x14" + i25,
        "\xC3" + i25,
        chunked("\x43" + BigEndian(0, 3) + BigEndian(300, 3) + "\x14", "\xC3", i300),
        chunked("\x05\xFF\xFF\xFF" + BigEndian(300, 3) + "\x14" + LittleEndian(0, 4) + ext,
                "\xC5" + ext, i300),
        chunked("\x85\xFF\xFF\xFF" + ext, "\xC5" + ext, i300),
        chunked("\x85" + BigEndian(7, 3), "\xC5", i300),
        chunked("\x04" + BigEndian(0, 3) + BigEndian(300, 3) + "\x12" + LittleEndian(0, 4), "\xC4",
                n300),
        chunked(BasicHeader(0, 70) + "\xFF\xFF\xFF" + BigEndian(300, 3) + "\x14" +
                    LittleEndian(0, 4) + ext,
                BasicHeader(3, 70) + ext, i300),
        chunked("\x41\x50\x01" + BigEndian(9, 3) + BigEndian(300, 3) + "\x12", "\xC1\x50\x01",
                n300),
    };
    const std::vector<RtmpMessage>& got = server_->messages();
    ASSERT_EQ(got.size(), expected.size() + 1);
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(got[i + 1].wire, expected[i]) << i;
}

}  // namespace
