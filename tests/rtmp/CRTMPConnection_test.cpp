// Connect, the handshake and the command exchange against a scripted server: the exact bytes
// the client writes, the handshake's bent answers, the time-outs, and a whole session from
// connect to the server's stop with pings and the bytes-read report.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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
using testing_support::BigEndian;
using testing_support::HandshakeScript;
using testing_support::Invoke;
using testing_support::Message12;
using testing_support::OnStatus;
using testing_support::RtmpMessage;
using testing_support::RtmpServerConnection;
using testing_support::ScriptedRtmpServer;
namespace amf = testing_support::amf;

bool hasLine(const RtmpLogCapture& log, const std::string& line) {
    const std::vector<std::string> lines = log.lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string member(const std::string& name, const std::string& value) {
    return BigEndian(name.size(), 2) + name + value;
}

// The connect body as the protocol exchange lays it out, optional settings only when given.
std::string connectBody(const char* app, const char* tcUrl) {
    std::string body = amf::str("connect") + amf::num(1.0) + "\x03";
    if (app) body += member("app", amf::str(app));
    body += member("flashVer", amf::str("LNX 9,0,124,0"));
    if (tcUrl) body += member("tcUrl", amf::str(tcUrl));
    body += member("fpad", amf::boolean(false)) + member("capabilities", amf::num(15.0)) +
            member("audioCodecs", amf::num(1639.0)) + member("videoCodecs", amf::num(252.0)) +
            member("videoFunction", amf::num(1.0));
    return body + std::string("\x00\x00\x09", 3);
}

TEST(CRTMPConnectTest, HandshakeAndConnectBytes) {
    struct Case {
        const char* app;
        const char* tcUrl;
    };
    const std::string longApp(300, 'p');
    for (const Case& c : {Case{"live", "rtmp://127.0.0.1/live"}, Case{nullptr, nullptr},
                          Case{longApp.c_str(), nullptr}}) {
        SCOPED_TRACE(c.app ? c.app : "no app");
        RtmpMessage connect;
        std::string c0c1, c2, s1;
        ScriptedRtmpServer server([&](RtmpServerConnection& s) {
            s.acceptConnect(&connect);
            c0c1 = s.c0c1();
            c2 = s.c2();
            s1 = s.s1();
        });
        CRTMP client;
        ASSERT_TRUE(client.Connect("127.0.0.1", server.port(), "stream", c.app, 0, c.tcUrl, 0));
        server.join();
        ASSERT_EQ(c0c1.size(), 1537u);
        EXPECT_EQ(c0c1[0], '\x03');
        EXPECT_EQ(c0c1.substr(5, 4), std::string(4, '\0'));
        EXPECT_EQ(c2, s1);
        const std::string body = connectBody(c.app, c.tcUrl);
        EXPECT_EQ(connect.body, body);
        // A 12-byte header on channel 3 and the body in chunks of 128.
        EXPECT_EQ(connect.wire, Message12(3, 0x14, 0, body));
        EXPECT_EQ(client.GetPendingCalls().front(), "connect");
    }
}

TEST(CRTMPConnectTest, BentHandshakes) {
    struct Case {
        std::string name;
        HandshakeScript script;
        bool connects;
        std::string logged;
    };
    HandshakeScript version6, badEcho, silent;
    version6.version = 6;
    badEcho.echoC1 = false;
    silent.answer = false;
    std::vector<Case> cases = {
        {"version 6", version6, true,
         "WARN RTMP_LIB::CRTMP::HandShake: Type mismatch: client sent 3, server answered 6"},
        {"bad echo", badEcho, true,
         "WARN RTMP_LIB::CRTMP::HandShake, client signiture does not match!"},
        {"silent", silent, false, "ERROR RTMP_LIB::CRTMP::Connect, handshake failed."},
    };
    for (int cut : {0, 1, 700, 1537, 3072}) {
        HandshakeScript closing;
        closing.closeAfter = cut;
        cases.push_back({"close after " + std::to_string(cut), closing, false,
                         "ERROR RTMP_LIB::CRTMP::Connect, handshake failed."});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RtmpLogCapture log;
        ScriptedRtmpServer server([&c](RtmpServerConnection& s) {
            if (s.handshake(c.script) || !c.script.answer) s.waitForClose();
        });
        CRTMP client;
        client.SetConnectTimeout(300);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(client.Connect("127.0.0.1", server.port(), "s", "a", 0, nullptr, 0), c.connects);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_EQ(client.IsConnected(), c.connects);
        EXPECT_TRUE(hasLine(log, c.logged));
        client.Close();
    }
}

TEST(CRTMPConnectTest, FailuresBeforeTheHandshake) {
    // A port that nothing listens on: bound once, then released.
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ::close(probe);

    struct Case {
        const char* host;
        unsigned int port;
        std::string logged;
    };
    for (const Case& c :
         {Case{"127.0.0.1", ntohs(address.sin_port),
               "ERROR RTMP_LIB::CRTMP::Connect, failed to connect socket. Error: 111"},
          Case{"127.0.0.1", 70000,
               "ERROR RTMP_LIB::CRTMP::Connect, failed to connect socket. Error: 22"},
          Case{"no-such-host.invalid", 1935,
               "ERROR Problem accessing the DNS. (addr: no-such-host.invalid)"},
          Case{"", 1935, "ERROR Problem accessing the DNS. (addr: )"}}) {
        SCOPED_TRACE(c.host);
        RtmpLogCapture log;
        CRTMP client;
        client.SetConnectTimeout(2000);
        EXPECT_FALSE(client.Connect(c.host, c.port, "s", "a", 0, nullptr, 0));
        EXPECT_FALSE(client.IsConnected());
        EXPECT_TRUE(hasLine(log, c.logged));
    }
}

TEST(CRTMPConnectTest, SilenceAfterConnectEndsWithTheReceiveTimeout) {
    RtmpLogCapture log;
    ScriptedRtmpServer server([](RtmpServerConnection& s) {
        RtmpMessage connect;
        if (s.acceptConnect(&connect)) s.waitForClose();
    });
    CRTMP client;
    client.SetReceiveTimeout(200);
    ASSERT_TRUE(client.Connect("localhost", server.port(), "s", "a", 0, nullptr, 0));
    RTMPPacket packet;
    EXPECT_FALSE(client.GetNextMediaPacket(packet));
    EXPECT_FALSE(client.IsConnected());
    EXPECT_TRUE(hasLine(log, "ERROR RTMP_LIB::CRTMP::ReadN, RTMP recv error 110"));
}

// A server that takes the client's bytes only now and then must not hold one write past the send
// time-out: the bound is on the whole write, not on each piece that the kernel takes.
TEST(CRTMPConnectTest, SlowReaderBoundsTheWholeWrite) {
    RtmpLogCapture log;
    ScriptedRtmpServer server([](RtmpServerConnection& s) {
        RtmpMessage connect;
        std::string taken;
        if (!s.acceptConnect(&connect)) return;
        while (s.pause(20) && s.read(256 * 1024, &taken)) {
        }
    });
    CRTMP client;
    client.SetSendTimeout(300);
    ASSERT_TRUE(client.Connect("127.0.0.1", server.port(), "s", "a", 0, nullptr, 0));
    const std::vector<uint8_t> flood(64 << 20, 'f');
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.WriteN(flood.data(), int(flood.size())));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_FALSE(client.IsConnected());
    const std::vector<std::string> lines = log.lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.rfind("ERROR RTMP_LIB::CRTMP::WriteN, RTMP send error 110 (", 0) == 0;
    }));
}

// The server ends the connection inside a message, by a reset or an orderly close: what came
// before is delivered, and the end is an error in the log, not a quiet end of the stream.
TEST(CRTMPSessionTest, ConnectionEndingInsideAMessageIsAnError) {
    for (bool reset : {true, false}) {
        SCOPED_TRACE(reset ? "reset" : "close");
        RtmpLogCapture log;
        ScriptedRtmpServer server([reset](RtmpServerConnection& s) {
            RtmpMessage connect;
            if (!s.acceptConnect(&connect)) return;
            const std::string cut = Message12(4, 9, 1, std::string(300, 'v'));
            s.send(Message12(4, 8, 1, "a") + cut.substr(0, 200));
            reset ? s.reset() : s.close();
        });
        CRTMP client;
        ASSERT_TRUE(client.Connect("127.0.0.1", server.port(), "s", "a", 0, nullptr, 0));
        server.join();
        RTMPPacket packet;
        ASSERT_TRUE(client.GetNextMediaPacket(packet));
        EXPECT_EQ(packet.bodySize, 1u);
        packet.free();
        EXPECT_FALSE(client.GetNextMediaPacket(packet));
        EXPECT_TRUE(hasLine(log, reset ? "ERROR RTMP_LIB::CRTMP::ReadN, RTMP recv error 104"
                                       : "ERROR RTMP_LIB::CRTMP::ReadPacket, failed to read "
                                         "RTMP packet body. len: 300"));
    }
}

// A whole session: connect, createStream, play, pings, media, the bytes-read report, stop. The
// server sends its own chunks at 64, which the client must not take for its own (the play path
// needs more than one), and it paces an on-demand play as nginx-rtmp does: by the buffer length
// it knows when play arrives. A length announced only behind play left the client with three
// frames and nothing more.
TEST(CRTMPSessionTest, ExchangeFromConnectToStop) {
    const std::string playpath(48, 'p');
    for (uint32_t window : {0u, 300000u}) {
        SCOPED_TRACE(window);
        const uint32_t reportAt = window != 0 ? window : 614400;
        const int big = int(reportAt / 6144) + 4;  // video messages of 6144 bytes on the wire
        std::vector<RtmpMessage> got;
        ScriptedRtmpServer server([&](RtmpServerConnection& s) {
            RtmpMessage m;
            const auto next = [&] { return s.readMessage(&m) ? (got.push_back(m), true) : false; };
            if (!s.acceptConnect(&m)) return;
            std::string hello = Message12(2, 1, 0, BigEndian(64, 4));
            if (window != 0) hello += Message12(2, 5, 0, BigEndian(window, 4));
            const std::string success = amf::str("NetConnection.Connect.Success");
            s.send(hello + Invoke("_result", 1, amf::object({{"code", success}}), 64));
            if (!next() || !next() || !next()) return;  // server BW, ping 3, createStream
            s.send(Invoke("_result", 2, amf::num(1.0), 64));
            if (!next() || !next()) return;  // ping 3 with the buffer length, play
            std::string frames;
            for (int i = 0; i < 3; ++i) frames += Message12(4, 8, 1, std::string(10, 'f'), 64);
            s.send(OnStatus("NetStream.Play.Start", 64) + frames);
            if (got[got.size() - 2].type != 0x04) {
                s.waitForClose();
                return;
            }
            const std::string ping6("\0\x06\x01\x02\x03\x04", 6);
            s.send(Message12(2, 4, 0, ping6, 64));
            if (!next()) return;  // ping 7
            std::string media = Message12(2, 1, 0, BigEndian(65536, 4));
            for (int i = 0; i < big; ++i) {
                media += Message12(6, 9, 1, std::string(6132, 'v'), 65536);
            }
            s.send(media + Message12(4, 8, 1, std::string(10, 'b')));
            if (!next()) return;  // bytes read
            s.send(OnStatus("NetStream.Play.Stop"));
            s.waitForClose();
        });
        CRTMP client;
        client.SetBufferTime(36000000);
        client.SetReceiveTimeout(1000);
        ASSERT_TRUE(
            client.Connect("127.0.0.1", server.port(), playpath.c_str(), "live", 0, nullptr, 0));
        RTMPPacket packet;
        int media = 0;
        while (client.GetNextMediaPacket(packet)) {
            ++media;
            EXPECT_TRUE(client.IsPlaying());
            packet.free();
        }
        server.join();
        EXPECT_EQ(media, big + 4);
        EXPECT_FALSE(client.IsConnected());
        EXPECT_EQ(client.GetStreamId(), 1);

        struct Expected {
            int channel, headerType, type;
            uint32_t streamId;
            std::string body;
        };
        const std::vector<Expected> expected = {
            {2, 0, 0x05, 0, BigEndian(1250000, 4)},
            {2, 1, 0x04, 0, BigEndian(3, 2) + BigEndian(0, 4) + BigEndian(300, 4)},
            {3, 1, 0x14, 0, amf::str("createStream") + amf::num(2.0) + amf::null()},
            {2, 3, 0x04, 0, BigEndian(3, 2) + BigEndian(1, 4) + BigEndian(36000000, 4)},
            {8, 0, 0x14, 1,
             amf::str("play") + amf::num(0) + amf::null() + amf::str(playpath) + amf::num(0)},
            {2, 1, 0x04, 0, BigEndian(7, 2) + std::string("\x01\x02\x03\x04")},
        };
        ASSERT_EQ(got.size(), expected.size() + 1);
        for (size_t i = 0; i < expected.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(got[i].channel, expected[i].channel);
            EXPECT_EQ(got[i].headerType, expected[i].headerType);
            EXPECT_EQ(got[i].type, expected[i].type);
            EXPECT_EQ(got[i].streamId, expected[i].streamId);
            EXPECT_EQ(got[i].body, expected[i].body);
        }
        // The report goes with the receive that reaches the window.
        const RtmpMessage& report = got.back();
        EXPECT_EQ(report.type, 0x03);
        ASSERT_EQ(report.body.size(), 4u);
        const uint32_t reported = uint32_t(uint8_t(report.body[0])) << 24 |
                                  uint32_t(uint8_t(report.body[1])) << 16 |
                                  uint32_t(uint8_t(report.body[2])) << 8 | uint8_t(report.body[3]);
        EXPECT_GE(reported, reportAt);
        EXPECT_LT(reported, reportAt + uint32_t(CRTMP::kReceiveBufferSize));
    }
}

}  // namespace
