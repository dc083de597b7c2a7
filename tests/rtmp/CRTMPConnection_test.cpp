#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/TextConversion.h"
#include "rtmp/CRTMP.h"
#include "rtmp/ParseUrl.h"
#include "sources/RecordingLog.h"
#include "support/NginxServer.h"
#include "support/ScriptedRtmpServer.h"
#include "support/TestMedia.h"

namespace {

using RTMP_LIB::CRTMP;
using RTMP_LIB::ParseUrl;
using RTMP_LIB::RTMPPacket;
using namespace testing_support;
using amf::member;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

std::string text(const RTMPPacket& p) {
    return std::string((const char*)p.body, p.bodySize);
}
bool logged(recording_log::Recorder& log, const std::string& line) {
    const std::vector<std::wstring> lines = log.log().lines();
    return std::find(lines.begin(), lines.end(), utf8ToWide(line)) != lines.end();
}

// A bent handshake is tolerated with a warning where the client can go on; the rest fail in time.
TEST(CRTMPConnectTest, HandshakesConnectAndUnreachableServers) {
    const auto connectBody = [](const char* app, const char* tcUrl) {
        return amf::str("connect") + amf::num(1.0) +
               amf::object(
                   (app ? member("app", amf::str(app)) : "") +
                   member("flashVer", amf::str("LNX 9,0,124,0")) +
                   (tcUrl ? member("tcUrl", amf::str(tcUrl)) : "") +
                   member("fpad", amf::boolean(false)) + member("capabilities", amf::num(15.0)) +
                   member("audioCodecs", amf::num(1639.0)) +
                   member("videoCodecs", amf::num(252.0)) + member("videoFunction", amf::num(1.0)));
    };
    struct Case {
        HandshakeScript script;
        const char *app = "a", *tcUrl = nullptr;
        std::string host = "127.0.0.1";
        unsigned above = 0;  // added to the scripted server's port
    };
    const std::string longApp(300, 'p');
    for (const Case& c : std::vector<Case>{{{}, nullptr},
                                           {{6}, longApp.c_str()},
                                           {{3, false}, "a", "rtmp://h/a"},
                                           {{3, true, -1, false}},
                                           {{3, true, 1}},
                                           {{3, true, 1537}},
                                           {{3, true, 3072}},
                                           {{}, "a", nullptr, ""},
                                           {{}, "a", nullptr, "no-such-host.invalid"},
                                           {{}, "a", nullptr, "127.0.0.1", 65536}}) {
        recording_log::Recorder log;
        RtmpMessage connect;
        ScriptedRtmpServer server([&](RtmpServerConnection& s) {
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
        const std::string warning = c.script.version != 3
                                        ? ": Type mismatch: client sent 3, server answered 6"
                                    : c.script.echoC1 ? ""
                                                      : ", client signiture does not match!";
        EXPECT_TRUE(warning.empty() || logged(log, "2 RTMP_LIB::CRTMP::HandShake" + warning));
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
        const Lines expected = {
            "2 0 5 0 " + BigEndian(1250000, 4),
            "2 1 4 0 " + BigEndian(3, 2) + BigEndian(0, 4) + BigEndian(300, 4),
            "3 1 20 0 " + amf::str("createStream") + amf::num(2.0) + amf::null,
            "2 3 4 0 " + BigEndian(3, 2) + BigEndian(1, 4) + BigEndian(36000000, 4),
            "8 0 20 1 " + amf::str("play") + amf::num(0) + amf::null + amf::str(playpath) +
                amf::num(0),
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

using Row = std::pair<std::string, std::string>;

// Whether the stream ends, the first message type handed out, what the server said or the
// duration it set, and the client's replies.
TEST(CRTMPCommandsTest, HandlesEachServerMessage) {
    const auto meta = [](const std::string& name, const std::string& values) {
        return Message12(5, 0x12, 1, amf::str(name) + values, 4096);
    };
    const auto duration = [](int d) { return amf::object(member("duration", amf::num(d))); };
    const std::string tag = "\x08" + BigEndian(2, 3) + BigEndian(0, 7) + "\xAF\x01";
    const std::string bwcheck = Invoke("_onbwcheck", 0);
    for (const auto& c :
         {Row(OnStatus("NetStream.Play.Failed"), "ends NetStream.Play.Failed"),
          Row(OnStatus("NetStream.Failed"), "ends NetStream.Failed"),
          Row(OnStatus("NetStream.Play.StreamNotFound", "error", "No such stream\n"),
              "ends NetStream.Play.StreamNotFound (No such stream?)"),
          Row(OnStatus("NetConnection.Connect.Rejected", "error", "No such stream\n", "_error"),
              "ends NetConnection.Connect.Rejected (No such stream?)"),
          Row(Invoke("close", 0), "ends"), Row(Invoke("_error", 3), "stays 8"),
          // Answers to the server's check await no result of their own; results of no call
          // change nothing.
          Row(bwcheck + Invoke("_result", 1) + bwcheck + Invoke("_result", 2, amf::num(1)) +
                  Invoke("_result", 9) + Invoke("_result", 10),
              "stays 8 _result 5 4 createStream _result 4 play"),
          Row(Message12(3, 0x14, 0, amf::num(1)), "stays 8"),
          Row(Message12(2, 4, 0, "\x06"), "stays 8"), Row(Message12(2, 7, 0, "xyz"), "stays 8"),
          Row(Message12(2, 6, 0, std::string("\0\0\0\0\x02", 5)), "stays 8"),
          Row(meta("onMetaData", duration(12)), "stays 18 duration 12"),
          Row(meta("onMetaData", amf::object(member("width", amf::num(2)))), "stays 18"),
          // The search for the duration ends in the first nested object.
          Row(meta("onMetaData", amf::object(member("in", duration(1))) + duration(2)),
              "stays 18 duration 1"),
          Row(meta("@setDataFrame", amf::str("onMetaData") + duration(3)), "stays 18 duration 3"),
          Row(meta("@setDataFrame", amf::str("onCuePoint")), "stays 8"),
          Row(meta("onCuePoint", amf::num(1)), "stays 8"),
          Row(Message12(5, 0x12, 1, std::string("\x02\x00\x0A", 3) + "onMe"), "stays 8"),
          Row(Message12(4, 0x16, 1, tag + BigEndian(13, 4)), "stays 22"),
          Row(Message12(4, 0x16, 1, "\x09" + tag.substr(1)), "stays 22"),
          Row(Message12(4, 0x16, 1, "\x07" + tag.substr(1)), "stays 8")}) {
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
            EXPECT_TRUE(m.body.substr(0, 10) != amf::str("_result") ||
                        m.body.substr(19) == amf::null + amf::num(double(checks++)));
        }
        EXPECT_EQ(outcome.str(), c.second);
    }
}

// ffmpeg's one-client server sends all and goes: a failed answer stops only the sending.
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
    out << "ch" << p.channel << " t" << int(p.packetType) << " ts" << p.timeSlot << " sid"
        << p.info2 << " " << p.bodySize;
    if (!p.ready()) out << "/" << p.bytesRead << (p.body ? " BODY!" : "");
    return out.str() + (p.ready() ? " " + (p.body ? text(p) : "") : "");
}

class ChunkStreamTest : public ::testing::Test {
  protected:
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

// Chunks of 128 whatever size the server's own have.
TEST_F(ChunkStreamTest, WritesCompressedHeadersAndChunks) {
    connectTo(Message12(2, 1, 0, BigEndian(64, 4)), 0, 8);
    RTMPPacket packet;
    ASSERT_TRUE(client_.ReadPacket(packet));
    client_.HandleChangeChunkSize(packet);
    packet.free();
    const std::string i25 = amf::str("call") + std::string(18, 'i');
    const std::string i300 = amf::str("long") + std::string(293, 'j'), n300(300, 'n');
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
        RTMPPacket packet;
        int frames = 0;
        for (; client.GetNextMediaPacket(packet); packet.free()) frames += packet.bodySize > 0;
        EXPECT_GT(frames, 20) << chunkSize;
        EXPECT_FALSE(client.IsConnected());
        EXPECT_GT(client.GetDuration(), 0.5);
    }
}

// URL, protocol, host, port, application, play path ("-": not set; "@": a host of 250 bytes).
TEST(ParseUrl, FindsThePartsAndLeavesTheRest) {
    const auto check = [](std::string row) {
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
    };
    std::istringstream rows(
        "rtmp://@:1935/a/s 0 @ 1935 a s|rtmp://@:19350/a/s 0 - 19350 a s|rtmp://h:/a/s 0 h 1935 a "
        "s|"
        "rtmp://server/vod/clips/intro.flv 0 server - vod/clips intro|rtmp://h/a/.flv 0 h - a |"
        "rtmp://server:1936/live/stream 0 server 1936 live stream|rtmp://h/app? 0 h - app? -|"
        "rtmp://server:0/live/stream 0 server 1935 live stream|rtmp://h/a/b/ 0 h - a b/|"
        "rtmp://server/ondemand/a/b.flv 0 server - ondemand a/b|rtmp://h/app/s? 0 h - app s?|"
        "rtmp://s/app?slist=mp4:movie&x=1 0 s - app?slist=mp4:movie&x=1 mp4:movie|"
        "rtmp://server/app?id=7 0 server - app?id=7 id=7|RTMPE://server/app/s 3 server - app s|"
        "Rtmpt://H/a/s 1 H - a s|rtmps://h/a/s 2 h - a s|rtmpTE://h/a/s 4 h - a s|"
        "rtmfp://h/a/s 5 h - a s|http://h/a/s 0 h - a s|rtmpx://h/a/s 0 h - a s|"
        "rtmp:/h/a/s 0 - - - -|rtmp://h:99999/a/s 0 h 99999 a s|rtmp://h:123456/a/s 0 h - a s|"
        "rtmp://h:-1/a/s 0 h 1935 a s|rtmp://server 0 server - - -|rtmp://h/app/ 0 h - app -|"
        "rtmp://server:1936 0 server 1936 - -|rtmp://server?a/b 0 server - - -|rtmp://h/ 0 h -  -|"
        "rtmp://h/app 0 h - app -|rtmp://h/live/stream-a/x 0 h - live/stream-a x|"
        "rtmp://h/Ondemand/a/b 0 h - Ondemand/a b|rtmp://h/a/clip.FLV 0 h - a clip.FLV|"
        "rtmp://h/a/clip.flv 0 h - a clip|rtmp://h/a?slist=b.flv 0 h - a?slist=b.flv b.flv");
    for (std::string row; std::getline(rows, row, '|');) check(row);
    int protocol = 9;
    char sentinel[] = "kept";
    char *host = sentinel, *app = sentinel, *playpath = sentinel;
    unsigned int port = 77;
    const std::string url = "rtmp://" + std::string(300, 'h') + "/";
    EXPECT_TRUE(ParseUrl(url.c_str(), &protocol, &host, &port, &app, &playpath));
    EXPECT_TRUE(host == sentinel && playpath == sentinel && port == 77u && protocol == 0);
    EXPECT_STREQ("", app);
    std::free(app);
    protocol = 9;
    EXPECT_FALSE(ParseUrl(nullptr, &protocol, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(0, protocol);
    EXPECT_TRUE(ParseUrl("rtmp://h:1/a/s", nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(std::string(RTMP_LIB::RtmpProtocolName(4)) + RTMP_LIB::RtmpProtocolName(-1) +
                  RTMP_LIB::RtmpProtocolName(6),
              "RTMPTE");
}

}  // namespace
