#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/TextConversion.h"
#include "flv/FLVHeader.h"
#include "flv/FLVPacket.h"
#include "host/RecordingHost.h"
#include "platform/Sockets.h"
#include "sources/RTMPClient.h"
#include "support/ScriptedRtmpServer.h"

namespace {

using namespace testing_support;
using namespace testing_support::amf;

std::string flvTag(uint8_t type, uint32_t time, const std::string& data) {
    return char(type) + BigEndian(data.size(), 3) + BigEndian(time & 0xFFFFFF, 3) +
           char(time >> 24) + BigEndian(0, 3) + data + BigEndian(11 + data.size(), 4);
}
const auto audio = [](const std::string& name) { return "\x2F" + name; };

class RTMPClientTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // A source that waits for bytes that never come fails in seconds rather than 30.
        setenv("ZOVOZUDO_RTMP_RECEIVE_TIMEOUT_MS", "3000", 0);
        setenv("ZOVOZUDO_RTMP_CONNECT_TIMEOUT_MS", "3000", 0);
    }
    // One start-up held here, so that a clean-up too many shows.
    void SetUp() override {
        platform::SocketsStartup(), sockets_ = platform::SocketsStartupCount();
    }
    void TearDown() override {
        EXPECT_EQ(platform::SocketsStartupCount(), sockets_);
        platform::SocketsCleanup();
    }
    // A server that answers connect and createStream up to play, then sends |bytes|.
    void serve(const std::string& bytes, bool awaitClose = false) {
        server_ = std::make_unique<ScriptedRtmpServer>(
            std::vector<Step>{{Invoke("_result", 1), 3},
                              {Invoke("_result", 2, num(1)), 2},
                              {bytes, awaitClose ? kUntilClose : 0}});
    }
    std::string url(const std::string& path = "/live/s") const {
        return "rtmp://127.0.0.1:" + std::to_string(server_->port()) + path;
    }
    bool open(RTMPClient& client, const std::string& location) {
        error_.code.reset(), error_.message.reset();
        return client.open(utf8ToWide(location), &error_);
    }
    // "type time payload" of each tag, "end" for none.
    static std::string describe(const FLVPacket* p) {
        return !p ? "end"
                  : std::to_string(p->tagType) + " " + std::to_string(p->timestamp) + " " +
                        std::string((const char*)p->data, p->dataSize);
    }
    static std::string next(RTMPClient& client, size_t n, std::string tags = "") {
        while (n-- > 0)
            tags += "|" + describe(std::unique_ptr<FLVPacket>(client.readPacket()).get());
        return tags;
    }
    void expectFailure(const std::string& location, int code, const std::string& message,
                       bool connects = true) {
        SCOPED_TRACE(location);
        RTMPClient client;
        EXPECT_FALSE(open(client, location));
        EXPECT_EQ(std::to_string(code) + " " + message,
                  std::to_string(error_.code.value_or(0)) + " " + error_.message.value_or(""));
        EXPECT_EQ(platform::SocketsStartupCount(), sockets_ + (connects ? 1 : 0));
        EXPECT_EQ("|end", next(client, 1));
        EXPECT_TRUE(client.close() && client.close());
        EXPECT_EQ(platform::SocketsStartupCount(), sockets_);
    }

    int sockets_ = 0;
    host::RecordingError error_;
    std::unique_ptr<ScriptedRtmpServer> server_;
};

TEST_F(RTMPClientTest, FailsSayingWhatHappenedOrStreamsTagsToTheEnd) {
    const std::string port = std::to_string(ScriptedRtmpServer([](ScriptedRtmpServer&) {}).port());
    const std::string refused = "rtmp://127.0.0.1:" + port;
    for (const std::string& location :
         {"rtmp:/127.0.0.1:" + port + "/app/s", refused + "/app/.flv", refused,
          "rtmp://" + std::string(256, 'h') + ":" + port + "/a/s"})
        expectFailure(location, 2, "RTMP input: URL format not supported.", false);
    expectFailure(refused + "/a/s", 404, "RTMP input: Failed to connect to URL.");
    // A server that paces by the buffer length has it before play.
    serve("");
    expectFailure(url("/vod/clips/intro.flv"), 2, "RTMP input: Failed to parse metadata.");
    const std::vector<RtmpMessage>& got = server_->messages();
    ASSERT_EQ(got.size(), 6u);
    EXPECT_NE(got[0].body.find(member("app", str("vod/clips")) +
                               member("flashVer", str("LNX 9,0,124,0")) +
                               member("tcUrl", str("rtmp://127.0.0.1/vod/clips"))),
              std::string::npos);
    EXPECT_EQ(std::to_string(got[4].type) + got[4].body,
              "4" + BigEndian(3, 2) + BigEndian(1, 4) + BigEndian(36000000, 4));
    EXPECT_EQ(got[5].body, str("play") + num(0) + null + str("intro") + num(0));
    // nginx keeps the connection open.
    serve(OnStatus("NetStream.Play.StreamNotFound", "error", "No such stream"), true);
    expectFailure(url("/vod/missing.flv"), 404,
                  "RTMP input: The server reported an error: NetStream.Play.StreamNotFound (No "
                  "such stream).");
    const std::string onMetaData = str("onMetaData") + object(member("width", num(2)));
    const std::string aggregate =
        flvTag(9, 40, "\x22v1") + flvTag(8, 40, audio("a1")) + flvTag(9, 0x01000005, "\x22v2");
    // Times past 24 bits, and one made of the channel's time and a delta.
    const std::string a0 = Message12(4, 8, 1, audio("a0"), 128, 0x01000000),
                      a1 = "\x44" + BigEndian(40, 3) + BigEndian(3, 3) + "\x08" + audio("a1");
    const std::string cut = flvTag(8, 0, audio("x")).substr(0, 12);
    const std::string noTag = Message12(4, 0x16, 1, cut.substr(0, 4)) + Message12(4, 0x16, 1, cut);
    // Rows not ending in "end" send nothing more until the client closes: the first message must
    // come out before any further read. A tag owns its message: it outlives the source.
    using Row = std::pair<std::string, std::string>;  // tags joined by "|"
    for (const auto& [bytes, expected] :
         {Row(Message12(5, 0x12, 1, onMetaData), "18 0 " + onMetaData),
          Row(Message12(4, 0x16, 1, aggregate, 128, 40), "9 40 v1|8 40 a1|9 16777221 v2"),
          Row(a0 + OnStatus("NetStream.Play.Stop") + a1, "8 16777216 a0|end|end"),
          Row(a0 + a1 + OnStatus("NetStream.Play.UnpublishNotify") + a0,
              "8 16777216 a0|8 16777256 a1|end|end"),
          Row(noTag + a0 + noTag + a1, "8 16777216 a0|8 40 a1|end|end")}) {
        const bool ends = expected.rfind("end") == expected.size() - 3;
        serve(bytes, !ends || bytes.find("NetStream") != std::string::npos);
        auto client = std::make_unique<RTMPClient>();
        ASSERT_TRUE(open(*client, url()));
        EXPECT_EQ(platform::SocketsStartupCount(), sockets_ + 1);
        EXPECT_EQ(nullptr, std::unique_ptr<FLVHeader>(client->readHeader()));
        std::unique_ptr<FLVPacket> first(client->readPacket());
        EXPECT_EQ(expected, next(*client, size_t(std::count(expected.begin(), expected.end(), '|')),
                                 describe(first.get())));
        EXPECT_TRUE(!ends || (client->close() && client->close()));
        EXPECT_EQ(platform::SocketsStartupCount(), sockets_ + (ends ? 0 : 1));
        client.reset();
        EXPECT_EQ(expected.substr(0, expected.find('|')), describe(first.get()));
    }
}

}  // namespace
