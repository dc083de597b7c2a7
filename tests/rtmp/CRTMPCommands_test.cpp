// What the client does with each kind of message a server sends after connect: which ones end
// the stream, which are answered, which are handed out, and what is logged.
#include <algorithm>
#include <atomic>
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
using testing_support::Invoke;
using testing_support::Message12;
using testing_support::OnStatus;
using testing_support::RtmpMessage;
using testing_support::RtmpServerConnection;
using testing_support::ScriptedRtmpServer;
namespace amf = testing_support::amf;

struct CommandCase {
    std::string name;
    std::string bytes;                 // sent after the connect command
    std::vector<std::string> replies;  // what the client then writes: invoke methods, or types
    bool staysConnected;               // then a 1-byte audio message follows
    int delivered;               // packet type GetNextMediaPacket returns first, 0: none
    std::vector<std::string> logged;
};

std::string metadata(const std::string& name, const std::string& values) {
    return Message12(5, 0x12, 1, amf::str(name) + values, 4096);
}

// A status whose level says it failed, as servers send for a missing stream or a refusal.
std::string errorStatus(const std::string& method, const std::string& code) {
    return Message12(5, 0x14, 1,
                     amf::str(method) + amf::num(0) + amf::null() +
                         amf::object({{"level", amf::str("error")},
                                      {"code", amf::str(code)},
                                      {"description", amf::str("No such stream\n")}}));
}

// The method of an invoke the client wrote, or "type N" for any other message.
std::string replyName(const RtmpMessage& m) {
    if (m.type != 0x14 || m.body.size() < 3) return "type " + std::to_string(m.type);
    return m.body.substr(3, size_t(uint8_t(m.body[1])) << 8 | uint8_t(m.body[2]));
}

std::vector<CommandCase> commandCases() {
    const std::string audio = Message12(4, 8, 1, "A");
    const std::string playStarts = Invoke("_result", 2, amf::num(1));
    const std::string flvAudioTag =
        std::string("\x08") + BigEndian(2, 3) + BigEndian(0, 4) + BigEndian(0, 3) + "\xAF\x01";
    return {
        {"play stop", OnStatus("NetStream.Play.Stop"), {}, false, 0,
         {"DEBUG RTMP_LIB::CRTMP::HandleInvoke, onStatus: NetStream.Play.Stop"}},
        {"publisher gone", OnStatus("NetStream.Play.UnpublishNotify"), {}, false, 0, {}},
        {"play failed", OnStatus("NetStream.Play.Failed"), {}, false, 0,
         {"ERROR RTMP_LIB::CRTMP::HandleInvoke, server error: NetStream.Play.Failed, closing"}},
        {"stream failed", OnStatus("NetStream.Failed"), {}, false, 0, {}},
        {"stream not found", errorStatus("onStatus", "NetStream.Play.StreamNotFound"), {}, false, 0,
         {"ERROR RTMP_LIB::CRTMP::HandleInvoke, server error: NetStream.Play.StreamNotFound (No "
          "such stream?), closing"}},
        {"connect rejected", errorStatus("_error", "NetConnection.Connect.Rejected"), {}, false, 0,
         {"ERROR rtmp server sent error",
          "ERROR RTMP_LIB::CRTMP::HandleInvoke, server error: NetConnection.Connect.Rejected (No "
          "such stream?), closing"}},
        {"play start", OnStatus("NetStream.Play.Start"), {}, true, 8,
         {"DEBUG RTMP_LIB::CRTMP::HandleInvoke, onStatus: NetStream.Play.Start"}},
        {"close", Invoke("close", 0), {}, false, 0, {"ERROR rtmp server requested close"}},
        {"error", Invoke("_error", 3), {}, true, 8, {"ERROR rtmp server sent error"}},
        {"bandwidth check", Invoke("_onbwcheck", 0) + Invoke("_onbwcheck", 0),
         {"_result", "_result"}, true, 8, {}},
        // The answer to the server's check awaits no result, so connect's and createStream's
        // results still find their calls and play goes out.
        {"bandwidth check during connect",
         Invoke("_onbwcheck", 0) + Invoke("_result", 1) + Invoke("_onbwcheck", 0) + playStarts,
         {"_result", "type 5", "type 4", "createStream", "_result", "type 4", "play"}, true, 8,
         {}},
        {"no string method", Message12(3, 0x14, 0, amf::num(1)), {}, true, 8,
         {"WARN RTMP_LIB::CRTMP::HandleInvoke, Sanity failed. no string method in invoke packet"}},
        {"ping without type", Message12(2, 4, 0, "\x06"), {}, true, 8,
         {"DEBUG RTMP_LIB::CRTMP::HandlePing, received ping. type: -1"}},
        {"unknown type", Message12(2, 0x07, 0, "xyz"), {}, true, 8,
         {"DEBUG iRTMP_LIB::CRTMP::GetNextMediaPacket, unknown packet type received: 0x07"}},
        {"server bandwidth",
         Message12(2, 5, 0, BigEndian(2500000, 4)) + Message12(2, 6, 0, "\0\0\0\0\x02"), {}, true, 8,
         {"DEBUG RTMP_LIB::CRTMP::GetNextMediaPacket, received: server BW",
          "DEBUG RTMP_LIB::CRTMP::GetNextMediaPacket, received: client BW"}},
        {"empty audio", Message12(4, 8, 1, "") + Message12(6, 9, 1, ""), {}, true, 8, {}},
        {"metadata", metadata("onMetaData", amf::object({{"duration", amf::num(12.5)}})), {}, true,
         0x12, {"DEBUG Set duration: 12.500000"}},
        {"metadata without duration", metadata("onMetaData", amf::object({{"width", amf::num(2)}})),
         {}, true, 0x12, {}},
        {"relayed metadata",
         metadata("@setDataFrame",
                  amf::str("onMetaData") + amf::object({{"duration", amf::num(3)}})),
         {}, true, 0x12, {"DEBUG Set duration: 3.000000"}},
        {"relayed other notify", metadata("@setDataFrame", amf::str("onCuePoint")), {}, true, 8, {}},
        {"other notify", metadata("onCuePoint", amf::num(1)), {}, true, 8, {}},
        {"undecodable notify", Message12(5, 0x12, 1, "\x02\x00\x0A" "onMe"), {}, true, 8, {}},
        {"flv aggregate", Message12(4, 0x16, 1, flvAudioTag + BigEndian(13, 4)), {}, true, 0x16, {}},
        {"flv aggregate of video", Message12(4, 0x16, 1, "\x09" + flvAudioTag.substr(1)), {}, true,
         0x16, {}},
        {"flv aggregate of another tag", Message12(4, 0x16, 1, "\x07" + flvAudioTag.substr(1)), {},
         true, 8, {}},
        {"result without a pending call",
         Invoke("_result", 1) + Invoke("_result", 2, amf::num(1)) + Invoke("_result", 9) +
             Invoke("_result", 10),
         {}, true, 8,
         {"DEBUG RTMP_LIB::CRTMP::HandleInvoke, received result for method call <>"}},
    };
}

TEST(CRTMPCommandsTest, HandlesEachServerMessage) {
    for (const CommandCase& c : commandCases()) {
        SCOPED_TRACE(c.name);
        RtmpLogCapture log;
        std::vector<RtmpMessage> replies;
        ScriptedRtmpServer server([&c, &replies](RtmpServerConnection& s) {
            RtmpMessage m;
            if (!s.acceptConnect(&m) || !s.send(c.bytes, 1)) return;
            while (replies.size() < c.replies.size() && s.readMessage(&m)) replies.push_back(m);
            if (c.staysConnected) s.send(Message12(4, 8, 1, "A"));
            s.waitForClose();
        });
        CRTMP client;
        ASSERT_TRUE(client.Connect("127.0.0.1", server.port(), "s", "a", 0, nullptr, 0));
        RTMPPacket packet;
        const bool got = client.GetNextMediaPacket(packet);
        EXPECT_EQ(got, c.delivered != 0);
        if (got) {
            EXPECT_EQ(packet.packetType, c.delivered);
        }
        EXPECT_EQ(client.IsConnected(), c.staysConnected);
        packet.free();
        client.Close();
        server.join();
        const std::vector<std::string> lines = log.lines();
        for (const std::string& line : c.logged) {
            EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
        }
        std::vector<std::string> names;
        int checks = 0;
        for (const RtmpMessage& reply : replies) {
            names.push_back(replyName(reply));
            if (names.back() != "_result") continue;
            // "_result", the clock, a null and the counter, which each answer raises.
            EXPECT_EQ(reply.channel, 3);
            ASSERT_EQ(reply.body.size(), 10u + 9 + 1 + 9);
            EXPECT_EQ(reply.body.substr(19), amf::null() + amf::num(double(checks++)));
        }
        EXPECT_EQ(names, c.replies);
    }
}

TEST(CRTMPCommandsTest, PlayWithoutPlaypathEndsTheConnection) {
    // No playpath: nothing to play, so the connection ends instead of waiting for a refusal.
    RtmpLogCapture log;
    ScriptedRtmpServer server([](RtmpServerConnection& s) {
        RtmpMessage m;
        if (!s.acceptConnect(&m)) return;
        s.send(Invoke("_result", 1));
        for (int i = 0; i < 3; ++i) s.readMessage(&m);
        s.send(Invoke("_result", 2, amf::num(5)));
        s.waitForClose();
    });
    CRTMP client;
    ASSERT_TRUE(client.Connect("127.0.0.1", server.port(), nullptr, "a", 0, nullptr, 0));
    RTMPPacket packet;
    EXPECT_FALSE(client.GetNextMediaPacket(packet));
    EXPECT_FALSE(client.IsConnected());
    const std::vector<std::string> lines = log.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "ERROR RTMP_LIB::CRTMP::SendPlay, no playpath to play, closing"),
              lines.end());
}

// A server that keeps talking but sends no media holds the client no longer than the receive
// time-out: the bound is on the whole wait, not on each read.
TEST(CRTMPCommandsTest, ChatterWithoutMediaEndsAfterTheReceiveTimeout) {
    RtmpLogCapture log;
    std::atomic<bool> cutShort{false};
    ScriptedRtmpServer server([&cutShort](RtmpServerConnection& s) {
        RtmpMessage m;
        if (!s.acceptConnect(&m)) return;
        const std::string chatter = Message12(2, 4, 0, std::string("\0\0\0\0\0\1", 6)) +
                                    Message12(4, 8, 1, "") + OnStatus("NetStream.Play.Start") +
                                    Message12(2, 5, 0, BigEndian(2500000, 4));
        // Bounded, so that a client without the bound ends too, but only once this has stopped.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < until) {
            if (!s.send(chatter)) {
                cutShort = true;
                return;
            }
        }
    });
    CRTMP client;
    client.SetReceiveTimeout(300);
    ASSERT_TRUE(client.Connect("127.0.0.1", server.port(), "s", "a", 0, nullptr, 0));
    RTMPPacket packet;
    EXPECT_FALSE(client.GetNextMediaPacket(packet));
    EXPECT_FALSE(client.IsConnected());
    server.join();
    EXPECT_TRUE(cutShort);
    const std::vector<std::string> lines = log.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "ERROR RTMP_LIB::CRTMP::GetNextMediaPacket, no media message for 300 ms, "
                        "closing"),
              lines.end());
}

// ffmpeg's one-client server sends the whole stream after createStream's result and goes: the
// client's answers then meet a reset, and what the server sent must still be read.
TEST(CRTMPCommandsTest, WhatAServerSentBeforeItWentAwayIsRead) {
    ScriptedRtmpServer server([](RtmpServerConnection& s) {
        RtmpMessage m;
        if (!s.acceptConnect(&m)) return;
        s.send(Invoke("_result", 1) + Invoke("_result", 2, amf::num(1)) + Message12(4, 8, 1, "A"));
    });
    CRTMP client;
    ASSERT_TRUE(client.Connect("127.0.0.1", server.port(), "s", "a", 0, nullptr, 0));
    server.join();
    RTMPPacket packet;
    ASSERT_TRUE(client.GetNextMediaPacket(packet));
    EXPECT_EQ(std::string(1, 'A'), std::string(reinterpret_cast<char*>(packet.body), 1));
    packet.free();
    EXPECT_FALSE(client.GetNextMediaPacket(packet));
}

TEST(CRTMPCommandsTest, FindPropertyDeepStopsAtTheFirstNestedObject) {
    RTMP_LIB::AMFObject object;
    const std::string bytes = amf::str("onMetaData") +
                              amf::object({{"inner", amf::object({{"width", amf::num(1)}})}}) +
                              amf::object({{"duration", amf::num(2)}});
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    ASSERT_GT(object.Decode(data, int(bytes.size()), false), 0);
    RTMP_LIB::AMFObjectProperty found;
    EXPECT_TRUE(CRTMP::FindPropertyDeep(object, "width", found));
    EXPECT_EQ(found.GetNumber(), 1.0);
    // "duration" sits in the object after the first nested one, which ends the search.
    EXPECT_FALSE(CRTMP::FindPropertyDeep(object, "duration", found));
}

}  // namespace
