// The RTMP source against a scripted server: what open refuses and how it says so, what it sends
// before play, the first message handed out before any further read, the stream times of the
// tags, the end of a stream, and one socket start-up per source.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <ostream>
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

struct Tag {
    uint32_t type, timestamp;
    std::string payload;  // behind the audio or video header byte
    bool operator==(const Tag& o) const {
        return type == o.type && timestamp == o.timestamp && payload == o.payload;
    }
};
void PrintTo(const Tag& t, std::ostream* out) {
    *out << "{" << t.type << ", " << t.timestamp << ", \"" << t.payload << "\"}";
}
const Tag kEnd = {0, 0, "<null>"};

// A tag as aggregate messages carry it: 11-byte header, data, back-pointer.
std::string flvTag(uint8_t type, uint32_t time, const std::string& data) {
    return char(type) + BigEndian(data.size(), 3) + BigEndian(time & 0xFFFFFF, 3) +
           char(time >> 24) + BigEndian(0, 3) + data + BigEndian(11 + data.size(), 4);
}
std::string audio(const std::string& name) {
    return "\x2F" + name;
}
std::string video(const std::string& name) {
    return "\x22" + name;
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
    static std::vector<Tag> next(RTMPClient& client, size_t n) {
        std::vector<Tag> tags;
        while (tags.size() < n) {
            std::unique_ptr<FLVPacket> p(client.readPacket());
            tags.push_back(p ? Tag{p->tagType, p->timestamp,
                                   std::string(reinterpret_cast<const char*>(p->data), p->dataSize)}
                             : kEnd);
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
        EXPECT_EQ(code, error_.code.value_or(0));
        EXPECT_EQ(message, error_.message.value_or(""));
        EXPECT_EQ(platform::SocketsStartupCount(), sockets_ + (connects ? 1 : 0));
        EXPECT_EQ(std::vector<Tag>{kEnd}, next(client, 1));
        EXPECT_TRUE(client.close());
        EXPECT_TRUE(client.close());
        EXPECT_EQ(platform::SocketsStartupCount(), sockets_);
    }

    int sockets_ = 0;
    host::RecordingError error_;
    std::unique_ptr<ScriptedRtmpServer> server_;
};

TEST_F(RTMPClientTest, FailuresSayWhatHappened) {
    // A listening socket of our own shows that no connection was attempted.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    ASSERT_EQ(0, ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length));
    ASSERT_EQ(0, ::listen(listener, 4));
    const std::string port = std::to_string(ntohs(address.sin_port));
    for (const std::string& location :
         {"rtmp:/127.0.0.1:" + port + "/app/s", "rtmp://127.0.0.1:" + port + "/app/",
          "rtmp://127.0.0.1:" + port, "rtmp://" + std::string(256, 'h') + ":" + port + "/a/s"}) {
        expectFailure(location, 2, "RTMP input: URL format not supported.", false);
        EXPECT_LT(::accept(listener, nullptr, nullptr), 0) << location;
    }
    ::close(listener);

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
    for (auto c : std::vector<std::pair<std::string, std::string>>{
             {"rtmp", "/live/stream"}, {"rtmpt", "/vod/clips/intro.flv"}}) {
        serve("");
        RTMPClient client;
        EXPECT_FALSE(open(client, c.first + url(c.second).substr(4)));
        const std::vector<RtmpMessage>& got = server_->messages();
        ASSERT_EQ(got.size(), 6u);
        const std::string app = c.first == "rtmp" ? "live" : "vod/clips";
        EXPECT_NE(got[0].body.find("tcUrl" + amf::str("rtmp://127.0.0.1/" + app)),
                  std::string::npos);
        EXPECT_EQ(got[0].body.find(std::to_string(server_->port())), std::string::npos);
        EXPECT_EQ(got[4].type, 4);
        EXPECT_EQ(got[4].body, BigEndian(3, 2) + BigEndian(1, 4) + BigEndian(36000000, 4));
        EXPECT_EQ(got[5].body.substr(0, 7), amf::str("play"));
    }
}

// The server sends nothing behind the first message until the client closes: a source that read
// the network before handing out its tags would wait for the receive time-out and end.
TEST_F(RTMPClientTest, FirstMessageIsHandedOutBeforeAnyFurtherRead) {
    const std::string onMetaData = amf::str("onMetaData") + amf::object({{"width", amf::num(2)}});
    const std::string aggregate = flvTag(9, 40, video("v1")) + flvTag(8, 40, audio("a1")) +
                                  flvTag(9, 0x01000005, video("v2"));
    for (auto c : std::vector<std::pair<std::string, std::vector<Tag>>>{
             {Message12(5, 0x12, 1, onMetaData), {{18, 0, onMetaData}}},
             {Message12(4, 0x16, 1, aggregate, 128, 40),
              {{9, 40, "v1"}, {8, 40, "a1"}, {9, 0x01000005, "v2"}}}}) {
        serve(c.first, true);
        RTMPClient client;  // destroyed without close: its clean-up is the destructor's
        ASSERT_TRUE(open(client, url()));
        EXPECT_EQ(platform::SocketsStartupCount(), sockets_ + 1);
        EXPECT_EQ(c.second, next(client, c.second.size()));
    }
}

TEST_F(RTMPClientTest, TagsCarryTheStreamTimeThroughEveryHeaderSize) {
    const auto header8 = [](int channel, uint32_t delta, uint8_t type) {
        return char(0x40 | channel) + BigEndian(delta, 3) + BigEndian(3, 3) + char(type);
    };
    const auto header4 = [](int channel, uint32_t delta) {
        return char(0x80 | channel) + BigEndian(delta, 3);
    };
    const std::string bytes =
        Message12(4, 8, 1, audio("a0"), 128, 1000) + Message12(6, 9, 1, video("v0"), 128, 1010) +
        header8(4, 40, 8) + audio("a1") + header8(6, 33, 9) + video("v1") + header4(4, 20) +
        audio("a2") + "\xC4" + audio("a3") + "\xC6" + video("v2") +
        Message12(4, 8, 1, audio("a4"), 128, 0x01000000) + header4(4, 25) + audio("a5") +
        "\x44\xFF\xFF\xFF" + BigEndian(3, 3) + "\x08" + BigEndian(0x01000000, 4) + audio("a6");
    // A 1-byte header repeats its channel's last delta; channels keep clocks of their own.
    const std::vector<Tag> expected = {{8, 1000, "a0"},
                                       {9, 1010, "v0"},
                                       {8, 1040, "a1"},
                                       {9, 1043, "v1"},
                                       {8, 1060, "a2"},
                                       {8, 1080, "a3"},
                                       {9, 1076, "v2"},
                                       {8, 0x01000000, "a4"},
                                       {8, 0x01000019, "a5"},
                                       {8, 0x02000019, "a6"},
                                       kEnd};
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
    const std::string a0 = Message12(4, 8, 1, audio("a0")), a1 = Message12(4, 8, 1, audio("a1"));
    const std::string cut = flvTag(8, 0, audio("x")).substr(0, 12);
    const std::string noTag = Message12(4, 0x16, 1, cut.substr(0, 4)) + Message12(4, 0x16, 1, cut);
    struct Case {
        std::string bytes;
        bool awaitClose;
        std::vector<Tag> tags;
    };
    for (const Case& c : {Case{a0 + OnStatus("NetStream.Play.Stop") + a1, true, {kEnd, kEnd}},
                          Case{a0 + a1 + OnStatus("NetStream.Play.UnpublishNotify") + a0,
                               true,
                               {{8, 0, "a1"}, kEnd, kEnd}},
                          Case{a0 + a1, false, {{8, 0, "a1"}, kEnd, kEnd}},
                          Case{noTag + a0 + noTag + a1, false, {{8, 0, "a1"}, kEnd, kEnd}}}) {
        serve(c.bytes, c.awaitClose);
        auto client = std::make_unique<RTMPClient>();
        ASSERT_TRUE(open(*client, url()));
        EXPECT_EQ(nullptr, std::unique_ptr<FLVHeader>(client->readHeader()));
        std::unique_ptr<FLVPacket> first(client->readPacket());
        ASSERT_NE(nullptr, first);
        EXPECT_EQ(c.tags, next(*client, c.tags.size()));
        EXPECT_TRUE(client->close());
        EXPECT_EQ(platform::SocketsStartupCount(), sockets_);
        EXPECT_TRUE(client->close());
        client.reset();
        EXPECT_EQ("a0", std::string(reinterpret_cast<const char*>(first->data), first->dataSize));
    }
}

}  // namespace
