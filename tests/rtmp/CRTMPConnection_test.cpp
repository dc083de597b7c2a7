// The client against a scripted server: handshake, connect and the command exchange, each message
// a server may send, the chunk stream read from every segmentation and written exactly, and the
// bounds on every wait.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/TextConversion.h"
#include "rtmp/CRTMP.h"
#include "sources/RecordingLog.h"
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
// |line| as "<level> <text>".
bool logged(recording_log::Recorder& log, const std::string& line) {
    const std::vector<std::wstring> lines = log.log().lines();
    return std::find(lines.begin(), lines.end(), utf8ToWide(line)) != lines.end();
}

// A bent handshake is tolerated with a warning where the client can go on; one that ends or
// stalls, and a host or port that cannot be reached, fail within the connect bound. A handshake
// that completes is followed by the connect command, byte for byte.
TEST(CRTMPConnectTest, HandshakesConnectAndUnreachableServers) {
    const unsigned refused = ScriptedRtmpServer([](RtmpServerConnection&) {}).port();
    struct Case {
        HandshakeScript script;
        const char* host;
        unsigned port;  // 0: the scripted server's
        std::string warning;
    };
    const auto row = [](HandshakeScript script, const char* host = "127.0.0.1", unsigned port = 0,
                        std::string warning = "") {
        return Case{script, host, port, warning};
    };
    // Optional settings only when given.
    const auto connectBody = [](const char* app, const char* tcUrl) {
        return amf::str("connect") + amf::num(1.0) + "\x03" +
               (app ? member("app", amf::str(app)) : "") +
               member("flashVer", amf::str("LNX 9,0,124,0")) +
               (tcUrl ? member("tcUrl", amf::str(tcUrl)) : "") +
               member("fpad", amf::boolean(false)) + member("capabilities", amf::num(15.0)) +
               member("audioCodecs", amf::num(1639.0)) + member("videoCodecs", amf::num(252.0)) +
               member("videoFunction", amf::num(1.0)) + std::string("\0\0\x09", 3);
    };
    const std::string longApp(300, 'p');
    for (const char* app : {static_cast<const char*>(nullptr), longApp.c_str()}) {
        RtmpMessage connect;
        ScriptedRtmpServer server([&](RtmpServerConnection& s) {
            if (s.handshake({}) && s.readMessage(&connect)) s.waitForClose();
        });
        CRTMP client;
        ASSERT_TRUE(client.Connect("127.0.0.1", server.port(), "s", app, 0, nullptr, 0));
        client.Close();
        server.join();
        EXPECT_EQ(connect.wire, Message12(3, 0x14, 0, connectBody(app, nullptr)));
    }
    const std::string body = connectBody("a", "rtmp://h/a");
    for (const Case& c :
         {row({}),
          row({6}, "127.0.0.1", 0,
              "2 RTMP_LIB::CRTMP::HandShake: Type mismatch: client sent 3, server answered 6"),
          row({3, false}, "127.0.0.1", 0,
              "2 RTMP_LIB::CRTMP::HandShake, client signiture does not match!"),
          row({3, true, -1, false}), row({3, true, 1}), row({3, true, 1537}), row({3, true, 3072}),
          row({}, "127.0.0.1", refused), row({}, "127.0.0.1", 70000),
          row({}, "no-such-host.invalid", 1935), row({}, "", 1935)}) {
        recording_log::Recorder log;
        RtmpMessage connect;
        std::string c0c1, c2, s1;
        ScriptedRtmpServer server([&](RtmpServerConnection& s) {
            if (s.handshake(c.script) && s.readMessage(&connect))
                c0c1 = s.c0c1, c2 = s.c2, s1 = s.s1;
            if (!c.script.answer || !c0c1.empty()) s.waitForClose();
        });
        CRTMP client;
        client.SetConnectTimeout(300);
        const auto start = Clock::now();
        const bool connects = c.port == 0 && c.script.answer && c.script.closeAfter < 0;
        EXPECT_EQ(
            client.Connect(c.host, c.port ? c.port : server.port(), "s", "a", 0, "rtmp://h/a", 0),
            connects)
            << c.port;
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
        EXPECT_EQ(client.IsConnected(), connects);
        EXPECT_TRUE(c.warning.empty() || logged(log, c.warning)) << c.warning;
        client.Close();
        if (!connects) continue;
        server.join();
        EXPECT_EQ(c0c1.substr(0, 1) + c0c1.substr(5, 4), std::string("\x03\0\0\0\0", 5));
        EXPECT_EQ(c2, s1);
        EXPECT_EQ(connect.wire, Message12(3, 0x14, 0, body));
    }
}

// Silence or chatter without a media message end the stream after the receive time-out, and a
// slow reader a write after the send time-out: the bounds are on the whole wait. The end of the
// connection inside a message, by a reset or a close, is an error after what came before.
TEST(CRTMPConnectTest, BoundedWaitsAndEndsInsideAMessage) {
    const std::string chatter = Message12(2, 4, 0, std::string("\0\0\0\0\0\1", 6)) +
                                Message12(4, 8, 1, "") + OnStatus("NetStream.Play.Start") +
                                Message12(2, 5, 0, BigEndian(2500000, 4));
    const std::string cut =
        Message12(4, 8, 1, "a") + Message12(4, 9, 1, std::string(300, 'v')).substr(0, 200);
    const std::vector<uint8_t> flood(64 << 20, 'f');
    const std::string errors[] = {"1 RTMP_LIB::CRTMP::ReadN, RTMP recv error 104",
                                  "1 RTMP_LIB::CRTMP::ReadPacket, failed to read RTMP packet "
                                  "body. len: 300"};
    for (int mode : {0, 1, 2, 3, 4}) {  // silence, chatter, slow reader, reset, close
        recording_log::Recorder log;
        ScriptedRtmpServer server([&](RtmpServerConnection& s) {
            RtmpMessage m;
            std::string taken;
            const auto end = Clock::now() + std::chrono::seconds(5);
            if (!s.acceptConnect(&m) || (mode == 0 && s.waitForClose())) return;
            while (mode == 1 && Clock::now() < end && s.send(chatter)) {
            }
            while (mode == 2 && s.pause(20) && s.read(256 * 1024, &taken)) {
            }
            if (mode > 2 && s.send(cut)) s.close(mode == 3);
        });
        CRTMP client;
        client.SetReceiveTimeout(300);
        client.SetSendTimeout(300);
        ASSERT_TRUE(client.Connect("127.0.0.1", server.port(), "s", "a", 0, nullptr, 0));
        RTMPPacket packet;
        if (mode > 2) {
            server.join();
            ASSERT_TRUE(client.GetNextMediaPacket(packet));
            EXPECT_EQ(text(packet), "a");
            packet.free();
        }
        const auto start = Clock::now();
        EXPECT_FALSE(mode == 2 ? client.WriteN(flood.data(), int(flood.size()))
                               : client.GetNextMediaPacket(packet));
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(3)) << mode;
        EXPECT_FALSE(client.IsConnected());
        EXPECT_TRUE(mode < 3 || logged(log, errors[mode - 3])) << mode;
    }
}

// A whole session. The server's chunks of 64 are not the client's (the play path needs more than
// one of 128). nginx-rtmp paces an on-demand play by the buffer length it knows when play
// arrives: announced only behind play, it left the client with three frames and no more.
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
                              {Invoke("_result", 2, amf::num(1.0), 64), 2},
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
        EXPECT_EQ(client.GetStreamId(), 1);
        // Channel, header type, message type and stream of each, then its body.
        const Lines expected = {
            "2 0 5 0 " + BigEndian(1250000, 4),
            "2 1 4 0 " + BigEndian(3, 2) + BigEndian(0, 4) + BigEndian(300, 4),
            "3 1 20 0 " + amf::str("createStream") + amf::num(2.0) + amf::null(),
            "2 3 4 0 " + BigEndian(3, 2) + BigEndian(1, 4) + BigEndian(36000000, 4),
            "8 0 20 1 " + amf::str("play") + amf::num(0) + amf::null() + amf::str(playpath) +
                amf::num(0),
            "2 1 4 0 " + BigEndian(7, 2) + "\x01\x02\x03\x04"};
        const std::vector<RtmpMessage>& got = server.messages();
        ASSERT_EQ(got.size(), expected.size() + 2);
        for (size_t i = 0; i < expected.size(); ++i) {
            const RtmpMessage& m = got[i + 1];
            std::ostringstream head;
            head << m.channel << " " << m.headerType << " " << int(m.type) << " " << m.streamId;
            EXPECT_EQ(head.str() + " " + m.body, expected[i]);
        }
        // The bytes-read report goes with the receive that reaches the window.
        const std::string& report = got.back().body;
        ASSERT_EQ(got.back().type * 10 + report.size(), 34u);
        const uint32_t reported = uint32_t(uint8_t(report[0])) << 24 | uint8_t(report[1]) << 16 |
                                  uint8_t(report[2]) << 8 | uint8_t(report[3]);
        EXPECT_GE(reported, reportAt);
        EXPECT_LT(reported, reportAt + uint32_t(CRTMP::kReceiveBufferSize));
    }
}

std::pair<std::string, std::string> row(const std::string& bytes, const std::string& outcome) {
    return {bytes, outcome};
}

// What the client does with each message a server sends after connect: whether the stream ends
// ("ends", or "stays" with the type of the first message handed out), what the server said or
// the duration it set, and the client's replies (invoke methods, or message types).
TEST(CRTMPCommandsTest, HandlesEachServerMessage) {
    const auto meta = [](const std::string& name, const std::string& values) {
        return Message12(5, 0x12, 1, amf::str(name) + values, 4096);
    };
    const auto duration = [](int d) { return amf::object({{"duration", amf::num(d)}}); };
    const auto error = [](const std::string& code, const std::string& method) {
        return OnStatus(code, "error", "No such stream\n", method);
    };
    const std::string tag = "\x08" + BigEndian(2, 3) + BigEndian(0, 7) + "\xAF\x01";
    const std::string bwcheck = Invoke("_onbwcheck", 0);
    for (const auto& c :
         {row(OnStatus("NetStream.Play.Failed"), "ends NetStream.Play.Failed"),
          row(OnStatus("NetStream.Failed"), "ends NetStream.Failed"),
          row(error("NetStream.Play.StreamNotFound", "onStatus"),
              "ends NetStream.Play.StreamNotFound (No such stream?)"),
          row(error("NetConnection.Connect.Rejected", "_error"),
              "ends NetConnection.Connect.Rejected (No such stream?)"),
          row(Invoke("close", 0), "ends"), row(Invoke("_error", 3), "stays 8"),
          row(bwcheck + bwcheck, "stays 8 replies _result _result"),
          // Answers to the server's check await no result: connect's and createStream's
          // results still find their calls and play goes out.
          row(bwcheck + Invoke("_result", 1) + bwcheck + Invoke("_result", 2, amf::num(1)),
              "stays 8 replies _result 5 4 createStream _result 4 play"),
          row(Message12(3, 0x14, 0, amf::num(1)), "stays 8"),
          row(Message12(2, 4, 0, "\x06"), "stays 8"), row(Message12(2, 7, 0, "xyz"), "stays 8"),
          row(Message12(2, 6, 0, std::string("\0\0\0\0\x02", 5)), "stays 8"),
          row(meta("onMetaData", duration(12)), "stays 18 duration 12"),
          row(meta("onMetaData", amf::object({{"width", amf::num(2)}})), "stays 18"),
          // The search for the duration ends in the first nested object.
          row(meta("onMetaData", amf::object({{"in", duration(1)}}) + duration(2)),
              "stays 18 duration 1"),
          row(meta("@setDataFrame", amf::str("onMetaData") + duration(3)), "stays 18 duration 3"),
          row(meta("@setDataFrame", amf::str("onCuePoint")), "stays 8"),
          row(meta("onCuePoint", amf::num(1)), "stays 8"),
          row(Message12(5, 0x12, 1, std::string("\x02\x00\x0A", 3) + "onMe"), "stays 8"),
          row(Message12(4, 0x16, 1, tag + BigEndian(13, 4)), "stays 22"),
          row(Message12(4, 0x16, 1, "\x09" + tag.substr(1)), "stays 22"),
          row(Message12(4, 0x16, 1, "\x07" + tag.substr(1)), "stays 8"),
          row(Invoke("_result", 1) + Invoke("_result", 2, amf::num(1)) + Invoke("_result", 9) +
                  Invoke("_result", 10),
              "stays 8 replies 5 4 createStream 4 play")}) {
        SCOPED_TRACE(c.second);
        const size_t at = c.second.find("replies");
        const int replies = at == std::string::npos
                                ? 0
                                : int(std::count(c.second.begin() + long(at), c.second.end(), ' '));
        const bool stays = c.second[0] == 's';
        ScriptedRtmpServer server(std::vector<Step>{
            {c.first, replies, 1}, {stays ? Message12(4, 8, 1, "A") : "", kUntilClose}});
        CRTMP client;
        ASSERT_TRUE(client.Connect("127.0.0.1", server.port(), "s", "a", 0, nullptr, 0));
        RTMPPacket packet;
        std::ostringstream outcome;
        const bool got = client.GetNextMediaPacket(packet);
        outcome << (client.IsConnected() ? "stays" : "ends");
        if (got) outcome << " " << int(packet.packetType);
        if (client.GetDuration() != 0) outcome << " duration " << client.GetDuration();
        if (!client.GetServerError().empty()) outcome << " " << client.GetServerError();
        if (replies > 0) outcome << " replies";
        packet.free();
        client.Close();
        int checks = 0;
        for (size_t r = 1; r < server.messages().size(); ++r) {
            const std::string& body = server.messages()[r].body;
            const int type = server.messages()[r].type;
            outcome << " "
                    << (type == 0x14 ? body.substr(3, uint8_t(body[2])) : std::to_string(type));
            // "_result", the clock, a null and the counter, which each answer raises.
            const bool answer = body.substr(0, 10) == amf::str("_result");
            EXPECT_TRUE(!answer || body.substr(19) == amf::null() + amf::num(double(checks++)));
        }
        EXPECT_EQ(outcome.str(), c.second);
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
    EXPECT_FALSE(client.GetNextMediaPacket(packet) || client.IsConnected());
    ScriptedRtmpServer gone(std::vector<Step>{
        {Invoke("_result", 1) + Invoke("_result", 2, amf::num(1)) + Message12(4, 8, 1, "A")}});
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
    out << "ch" << p.channel << " t" << int(p.packetType) << " ts" << uint32_t(p.info1) << " sid"
        << p.info2 << " " << p.bodySize;
    if (!p.ready()) out << "/" << p.bytesRead << (p.body ? " BODY!" : "");
    return out.str() + (p.ready() ? " " + (p.body ? text(p) : "") : "");
}

class ChunkStreamTest : public ::testing::Test {
  protected:
    // A server that accepts, sends |bytes| in sends of |piece| bytes and closes.
    void connectTo(const std::string& bytes, size_t piece = 0, int read = 0) {
        client_.Close();
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
             {Message12(4, 8, 1, f('a', 128) + f('b', 128) + f('c', 44)),
              {"ch4 t8 ts0 sid1 300/128", "ch4 t8 ts0 sid1 300/256",
               "ch4 t8 ts0 sid1 300 " + f('a', 128) + f('b', 128) + f('c', 44)}},
             {hdr4 + f('x', 128) + "\x05" + BigEndian(7, 3) + BigEndian(200, 3) + "\x09" + sid1 +
                  f('y', 128) + "\xC4" + f('x', 22) + "\xC5" + f('y', 72),
              {"ch4 t8 ts0 sid1 150/128", "ch5 t9 ts7 sid1 200/128",
               "ch4 t8 ts0 sid1 150 " + f('x', 150), "ch5 t9 ts7 sid1 200 " + f('y', 200)}},
             {Message12(6, 9, 1, "abcd", 128, 40) + "\x86" + BigEndian(20, 3) + "efgh\xC6ijkl",
              {"ch6 t9 ts40 sid1 4 abcd", "ch6 t9 ts20 sid1 4 efgh", "ch6 t9 ts20 sid1 4 ijkl"}},
             // A new header cuts an incomplete message.
             {hdr4 + f('x', 128) + "\x44" + BigEndian(5, 3) + BigEndian(3, 3) + "\x08" + "new",
              {"ch4 t8 ts0 sid1 150/128", "ch4 t8 ts5 sid1 3 new"}},
             {Message12(7, 8, 1, "") + Message12(7, 9, 1, "v") + "\xC9",
              {"ch7 t8 ts0 sid1 0 ", "ch7 t9 ts0 sid1 1 v", "ch9 t0 ts0 sid0 0 "}},
             {Message12(2, 1, 0, BigEndian(4096, 4)) + Message12(4, 9, 1, f('z', 3000), 4096),
              {"ch2 t1 ts0 sid0 4 " + BigEndian(4096, 4), "ch4 t9 ts0 sid1 3000 " + f('z', 3000)}},
             {Message12(4, 8, 1, f('e', 200), 128, 0x01020304) + "\xC4" + ext + "next",
              {e + "/128", e + " " + f('e', 200)}},
             {Message12(4, 8, 1, "ab") + "\x44\xFF\xFF\xFF" + BigEndian(3, 3) + "\x08" + ext +
                  "cde" + "\x84\xFF\xFF\xFF" + ext2 + "fgh\xC4" + ext2 + "ijk\x84" +
                  BigEndian(9, 3) + "lmn\xC4opq",
              {"ch4 t8 ts0 sid1 2 ab", "ch4 t8 ts16909060 sid1 3 cde",
               "ch4 t8 ts33554432 sid1 3 fgh", "ch4 t8 ts33554432 sid1 3 ijk",
               "ch4 t8 ts9 sid1 3 lmn", "ch4 t8 ts9 sid1 3 opq"}},
             // Continuation chunks without the repeat: their bytes are body, also when fewer
             // than four remain before the next header or the end.
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
            for (RTMPPacket packet; client_.ReadPacket(packet); packet.free()) {
                results.push_back(describe(packet));
                if (packet.ready() && packet.packetType == 1) client_.HandleChangeChunkSize(packet);
            }
            EXPECT_EQ(results, c.second);
            EXPECT_FALSE(client_.IsConnected());
        }
    }
}

long residentBytes() {
    long pages = 0, resident = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm && std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    if (statm) std::fclose(statm);
    return resident * sysconf(_SC_PAGESIZE);
}

// 16 MiB announced on each of 64 channels with 128 bytes behind each: 1 GiB if bodies were
// allocated as announced rather than as chunks arrive.
TEST_F(ChunkStreamTest, AnnouncedBodiesWithoutDataCostNoMemory) {
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
}

TEST_F(ChunkStreamTest, ChunkSizesAtAndBeyondTheLimits) {
    const std::string body(2000, 'q');
    const uint32_t sizes[] = {0, 0x80000000u, 0xFFFFFFFFu, 1, 0xFFFFFF, 0x1000000, 0x7FFFFFFF};
    const int32_t applied[] = {0, 0, 0, 1, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF};  // 0: the end
    for (int i = 0; i < 7; ++i) {
        connectTo(Message12(2, 1, 0, BigEndian(sizes[i], 4)) +
                  Message12(4, 9, 1, body, applied[i] > 0 ? uint32_t(applied[i]) : 128));
        RTMPPacket packet;
        ASSERT_EQ(client_.GetNextMediaPacket(packet), applied[i] > 0) << i;
        EXPECT_EQ(client_.GetChunkSize(), applied[i] > 0 ? applied[i] : 128);
        EXPECT_EQ(applied[i] > 0 ? text(packet) : body, body);
        packet.free();
    }
}

// The bytes the client writes: compressed headers, chunks of 128 whatever size the server's own
// have, extended timestamps, basic headers of every length.
TEST_F(ChunkStreamTest, WritesCompressedHeadersAndChunks) {
    connectTo("", 0, 8);
    std::string size64 = BigEndian(64, 4);
    RTMPPacket packet;
    packet.bodySize = 4;
    packet.body = reinterpret_cast<uint8_t*>(&size64[0]);
    client_.HandleChangeChunkSize(packet);
    const std::string i25 = amf::str("call") + std::string(18, 'i');
    const std::string i300 = amf::str("long") + std::string(293, 'j'), n300(300, 'n');
    const std::string ext = BigEndian(0x01000000, 4), size300 = BigEndian(300, 3);
    for (auto s :
         {std::make_tuple(3, 1, 0x14, 0, i25), std::make_tuple(3, 1, 0x14, 0, i25),
          std::make_tuple(3, 1, 0x14, 0, i300), std::make_tuple(5, 0, 0x14, 0x01000000, i300),
          std::make_tuple(5, 1, 0x14, 0x01000000, i300), std::make_tuple(5, 1, 0x14, 7, i300),
          std::make_tuple(70, 0, 0x14, 0x01000000, i300), std::make_tuple(400, 1, 0x12, 9, n300)}) {
        packet.channel = std::get<0>(s);
        packet.headerType = uint8_t(std::get<1>(s));
        packet.packetType = uint8_t(std::get<2>(s));
        packet.info1 = std::get<3>(s);
        packet.bodySize = uint32_t(std::get<4>(s).size());
        packet.body = reinterpret_cast<uint8_t*>(&std::get<4>(s)[0]);
        EXPECT_TRUE(client_.SendPacket(packet));
    }
    packet.reset();
    const auto chunked = [](const std::string& head, const std::string& more,
                            const std::string& body) {
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

}  // namespace
