// What the client does with each kind of message a server sends after connect: which ones end
// the stream, which are answered, which are handed out, and what is logged.
#include <algorithm>
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
    std::string bytes;           // sent after the connect command
    int replies;                 // client messages the server then reads
    bool staysConnected;         // then a 1-byte audio message follows
    int delivered;               // packet type GetNextMediaPacket returns first, 0: none
    std::vector<std::string> logged;
};

std::string metadata(const std::string& name, const std::string& values) {
    return Message12(5, 0x12, 1, amf::str(name) + values, 4096);
}

std::vector<CommandCase> commandCases() {
    const std::string audio = Message12(4, 8, 1, "A");
    const std::string flvAudioTag =
        std::string("\x08") + BigEndian(2, 3) + BigEndian(0, 4) + BigEndian(0, 3) + "\xAF\x01";
    return {
        {"play stop", OnStatus("NetStream.Play.Stop"), 0, false, 0,
         {"DEBUG RTMP_LIB::CRTMP::HandleInvoke, onStatus: NetStream.Play.Stop"}},
        {"play failed", OnStatus("NetStream.Play.Failed"), 0, false, 0, {}},
        {"stream failed", OnStatus("NetStream.Failed"), 0, false, 0, {}},
        {"play start", OnStatus("NetStream.Play.Start"), 0, true, 8,
         {"DEBUG RTMP_LIB::CRTMP::HandleInvoke, onStatus: NetStream.Play.Start"}},
        {"close", Invoke("close", 0), 0, false, 0, {"ERROR rtmp server requested close"}},
        {"error", Invoke("_error", 3), 0, true, 8, {"ERROR rtmp server sent error"}},
        {"bandwidth check", Invoke("_onbwcheck", 0) + Invoke("_onbwcheck", 0), 2, true, 8, {}},
        {"no string method", Message12(3, 0x14, 0, amf::num(1)), 0, true, 8,
         {"WARN RTMP_LIB::CRTMP::HandleInvoke, Sanity failed. no string method in invoke packet"}},
        {"ping without type", Message12(2, 4, 0, "\x06"), 0, true, 8,
         {"DEBUG RTMP_LIB::CRTMP::HandlePing, received ping. type: -1"}},
        {"unknown type", Message12(2, 0x07, 0, "xyz"), 0, true, 8,
         {"DEBUG iRTMP_LIB::CRTMP::GetNextMediaPacket, unknown packet type received: 0x07"}},
        {"server bandwidth",
         Message12(2, 5, 0, BigEndian(2500000, 4)) + Message12(2, 6, 0, "\0\0\0\0\x02"), 0, true, 8,
         {"DEBUG RTMP_LIB::CRTMP::GetNextMediaPacket, received: server BW",
          "DEBUG RTMP_LIB::CRTMP::GetNextMediaPacket, received: client BW"}},
        {"empty audio", Message12(4, 8, 1, "") + Message12(6, 9, 1, ""), 0, true, 8, {}},
        {"metadata", metadata("onMetaData", amf::object({{"duration", amf::num(12.5)}})), 0, true,
         0x12, {"DEBUG Set duration: 12.500000"}},
        {"metadata without duration", metadata("onMetaData", amf::object({{"width", amf::num(2)}})),
         0, true, 0x12, {}},
        {"relayed metadata",
         metadata("@setDataFrame",
                  amf::str("onMetaData") + amf::object({{"duration", amf::num(3)}})),
         0, true, 0x12, {"DEBUG Set duration: 3.000000"}},
        {"relayed other notify", metadata("@setDataFrame", amf::str("onCuePoint")), 0, true, 8, {}},
        {"other notify", metadata("onCuePoint", amf::num(1)), 0, true, 8, {}},
        {"undecodable notify", Message12(5, 0x12, 1, "\x02\x00\x0A" "onMe"), 0, true, 8, {}},
        {"flv aggregate", Message12(4, 0x16, 1, flvAudioTag + BigEndian(13, 4)), 0, true, 0x16, {}},
        {"flv aggregate of video", Message12(4, 0x16, 1, "\x09" + flvAudioTag.substr(1)), 0, true,
         0x16, {}},
        {"flv aggregate of another tag", Message12(4, 0x16, 1, "\x07" + flvAudioTag.substr(1)), 0,
         true, 8, {}},
        {"result without a pending call",
         Invoke("_result", 1) + Invoke("_result", 2, amf::num(1)) + Invoke("_result", 9) +
             Invoke("_result", 10),
         0, true, 8,
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
            for (int i = 0; i < c.replies && s.readMessage(&m); ++i) replies.push_back(m);
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
        ASSERT_EQ(replies.size(), size_t(c.replies));
        for (size_t i = 0; i < replies.size(); ++i) {
            // "_result", the clock, a null and the counter, which each answer raises.
            const std::string& body = replies[i].body;
            EXPECT_EQ(replies[i].channel, 3);
            // The second answer differs only in its timestamp, which compression ignores.
            EXPECT_EQ(replies[i].headerType, i == 0 ? 1 : 3);
            ASSERT_EQ(body.size(), 10u + 9 + 1 + 9);
            EXPECT_EQ(body.substr(0, 10), amf::str("_result"));
            EXPECT_EQ(body.substr(19), amf::null() + amf::num(double(i)));
        }
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
