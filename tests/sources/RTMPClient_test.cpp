// The RTMP source against a scripted server: what open refuses and how it says so, what it sends
// before play, the first message handed out before any further read, the stream times of the
// tags, the end of a stream, and one socket start-up per source.
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
using Tags = std::vector<std::string>;

// A tag as aggregate messages carry it: 11-byte header, data, back-pointer.
std::string flvTag(uint8_t type, uint32_t time, const std::string& data) {
    return char(type) + BigEndian(data.size(), 3) + BigEndian(time & 0xFFFFFF, 3) +
           char(time >> 24) + BigEndian(0, 3) + data + BigEndian(11 + data.size(), 4);
}

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
    void serve(const std::string& bytes, bool awaitClose = false, size_t piece = 0) {
        server_.reset();
        server_ = std::make_unique<ScriptedRtmpServer>(PlaySteps(bytes, awaitClose, piece));
    }
    std::string url(const std::string& path = "/live/s", unsigned port = 0) const {
        return "rtmp://127.0.0.1:" + std::to_string(port ? port : server_->port()) + path;
    }
    bool open(RTMPClient& client, const std::string& location) {
        error_.code.reset();
        error_.message.reset();
        return client.open(utf8ToWide(location), &error_);
    }
    // "type time payload" of each tag (the payload behind its header byte), "end" for none.
    static Tags next(RTMPClient& client, size_t n) {
        Tags tags;
        while (tags.size() < n) {
            std::unique_ptr<FLVPacket> p(client.readPacket());
            tags.push_back(!p ? "end"
                              : std::to_string(p->tagType) + " " + std::to_string(p->timestamp) +
                                    " " + std::string((const char*)p->data, p->dataSize));
        }
        return tags;
    }
    // open fails with |code| and |message|, with the sockets started only when it got as far as
    // connecting; the source then reads nothing and closes cleanly, twice.
    void expectFailure(const std::string& location, int code, const std::string& message,
                       bool connects = true) {
        SCOPED_TRACE(location);
        RTMPClient client;
        EXPECT_FALSE(open(client, location));
        EXPECT_EQ(std::to_string(code) + " " + message,
                  std::to_string(error_.code.value_or(0)) + " " + error_.message.value_or(""));
        EXPECT_EQ(platform::SocketsStartupCount(), sockets_ + (connects ? 1 : 0));
        EXPECT_EQ(Tags{"end"}, next(client, 1));
        EXPECT_TRUE(client.close() && client.close());
        EXPECT_EQ(platform::SocketsStartupCount(), sockets_);
    }

    int sockets_ = 0;
    host::RecordingError error_;
    std::unique_ptr<ScriptedRtmpServer> server_;
};

TEST_F(RTMPClientTest, FailuresSayWhatHappened) {
    bool accepted = false;  // a location that cannot be used must not even connect
    server_ = std::make_unique<ScriptedRtmpServer>([&](RtmpServerConnection&) { accepted = true; });
    const std::string port = std::to_string(server_->port());
    for (const std::string& location :
         {"rtmp:/127.0.0.1:" + port + "/app/s", "rtmp://127.0.0.1:" + port + "/app/",
          "rtmp://127.0.0.1:" + port, "rtmp://" + std::string(256, 'h') + ":" + port + "/a/s"})
        expectFailure(location, 2, "RTMP input: URL format not supported.", false);
    server_.reset();
    EXPECT_FALSE(accepted);

    const unsigned refused = ScriptedRtmpServer([](RtmpServerConnection&) {}).port();
    expectFailure(url("/live/s", refused), 404, "RTMP input: Failed to connect to URL.");
    serve("");  // play is answered by nothing but the close
    expectFailure(url(), 2, "RTMP input: Failed to parse metadata.");
    // Refused as nginx does, keeping the connection open: the open ends at once all the same.
    serve(OnStatus("NetStream.Play.StreamNotFound", "error", "No such stream"), true);
    expectFailure(url("/vod/missing.flv"), 404,
                  "RTMP input: The server reported an error: NetStream.Play.StreamNotFound (No "
                  "such stream).");
}

// The tcUrl names host and application without the port. The buffer length of ten hours goes
// before play, so that a server that paces by it never waits for it.
TEST_F(RTMPClientTest, ConnectsWithTheTcUrlAndTheBufferLengthBeforePlay) {
    for (const char* path : {"/live/stream", "/vod/clips/intro.flv"}) {
        serve("");
        RTMPClient client;
        EXPECT_FALSE(open(client, url(path)));
        const std::vector<RtmpMessage>& got = server_->messages();
        ASSERT_EQ(got.size(), 6u);
        const std::string app = path[1] == 'l' ? "live" : "vod/clips";
        EXPECT_NE(got[0].body.find("tcUrl" + amf::str("rtmp://127.0.0.1/" + app)),
                  std::string::npos);
        EXPECT_EQ(got[0].body.find(std::to_string(server_->port())), std::string::npos);
        EXPECT_EQ(std::to_string(got[4].type) + got[4].body,
                  "4" + BigEndian(3, 2) + BigEndian(1, 4) + BigEndian(36000000, 4));
        EXPECT_EQ(got[5].body.substr(0, 7), amf::str("play"));
    }
}

// The server sends nothing behind the first message until the client closes: a source that read
// the network before handing out its tags would wait for the receive time-out and end.
TEST_F(RTMPClientTest, FirstMessageIsHandedOutBeforeAnyFurtherRead) {
    const std::string onMetaData = amf::str("onMetaData") + amf::object({{"width", amf::num(2)}});
    const std::string aggregate = flvTag(9, 40, "\x22v1") +
                                  flvTag(8, 40,
                                         "\x2F"
                                         "a1") +
                                  flvTag(9, 0x01000005, "\x22v2");
    for (auto c : std::vector<std::pair<std::string, Tags>>{
             {Message12(5, 0x12, 1, onMetaData), {"18 0 " + onMetaData}},
             {Message12(4, 0x16, 1, aggregate, 128, 40),
              {"9 40 v1", "8 40 a1", "9 16777221 v2"}}}) {
        serve(c.first, true);
        RTMPClient client;  // destroyed without close: its clean-up is the destructor's
        ASSERT_TRUE(open(client, url()));
        EXPECT_EQ(platform::SocketsStartupCount(), sockets_ + 1);
        EXPECT_EQ(c.second, next(client, c.second.size()));
    }
}

// A 1-byte header repeats its channel's last delta; channels keep clocks of their own.
TEST_F(RTMPClientTest, TagsCarryTheStreamTimeThroughEveryHeaderSize) {
    const auto a = [](const std::string& name) { return "\x2F" + name; };
    const std::string bytes =
        Message12(4, 8, 1, a("a0"), 128, 1000) + Message12(6, 9, 1, "\x22v0", 128, 1010) + "\x44" +
        BigEndian(40, 3) + BigEndian(3, 3) + "\x08" + a("a1") + "\x46" + BigEndian(33, 3) +
        BigEndian(3, 3) + "\x09\x22v1\x84" + BigEndian(20, 3) + a("a2") + "\xC4" + a("a3") +
        "\xC6\x22v2" + Message12(4, 8, 1, a("a4"), 128, 0x01000000) + "\x84" + BigEndian(25, 3) +
        a("a5") + "\x44\xFF\xFF\xFF" + BigEndian(3, 3) + "\x08" + BigEndian(0x01000000, 4) +
        a("a6");
    const Tags expected = {"8 1000 a0",     "9 1010 v0",     "8 1040 a1", "9 1043 v1",
                           "8 1060 a2",     "8 1080 a3",     "9 1076 v2", "8 16777216 a4",
                           "8 16777241 a5", "8 33554457 a6", "end"};
    for (size_t piece : {0, 1}) {
        serve(bytes, false, piece);
        RTMPClient client;
        ASSERT_TRUE(open(client, url()));
        EXPECT_EQ(expected, next(client, expected.size())) << piece;
    }
}

// After the end every read is null, and a tag handed out before stays valid after the source is
// gone, since it owns its message. Aggregates with no readable tag in them end nothing.
TEST_F(RTMPClientTest, StreamEndsAtPlayStopUnpublishOrCloseOnly) {
    const std::string a0 = Message12(4, 8, 1,
                                     "\x2F"
                                     "a0"),
                      a1 = Message12(4, 8, 1,
                                     "\x2F"
                                     "a1");
    const std::string cut = flvTag(8, 0, "\x2Fx").substr(0, 12);
    const std::string noTag = Message12(4, 0x16, 1, cut.substr(0, 4)) + Message12(4, 0x16, 1, cut);
    for (auto c : std::vector<std::pair<std::string, Tags>>{
             {a0 + OnStatus("NetStream.Play.Stop") + a1, {"end", "end"}},
             {a0 + a1 + OnStatus("NetStream.Play.UnpublishNotify") + a0, {"8 0 a1", "end", "end"}},
             {a0 + a1, {"8 0 a1", "end", "end"}},
             {noTag + a0 + noTag + a1, {"8 0 a1", "end", "end"}}}) {
        serve(c.first, c.first.find("NetStream") != std::string::npos);
        auto client = std::make_unique<RTMPClient>();
        ASSERT_TRUE(open(*client, url()));
        EXPECT_EQ(nullptr, std::unique_ptr<FLVHeader>(client->readHeader()));
        std::unique_ptr<FLVPacket> first(client->readPacket());
        ASSERT_NE(nullptr, first);
        EXPECT_EQ(c.second, next(*client, c.second.size()));
        EXPECT_TRUE(client->close());
        EXPECT_EQ(platform::SocketsStartupCount(), sockets_);
        EXPECT_TRUE(client->close());
        client.reset();
        EXPECT_EQ("a0", std::string((const char*)first->data, first->dataSize));
    }
}

}  // namespace
