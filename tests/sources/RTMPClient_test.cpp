// The RTMP source against a scripted server: what open refuses and how it says so, the tcUrl it
// connects with, the first message handed out before any further read, the stream times of the
// tags, and the end of a stream.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/TextConversion.h"
#include "flv/FLVHeader.h"
#include "flv/FLVPacket.h"
#include "host/RecordingHost.h"
#include "sources/RTMPClient.h"
#include "sources/RecordingLog.h"
#include "support/ScriptedRtmpServer.h"

namespace {

using testing_support::BigEndian;
using testing_support::Invoke;
using testing_support::Message12;
using testing_support::OnStatus;
using testing_support::RtmpMessage;
using testing_support::RtmpServerConnection;
using testing_support::ScriptedRtmpServer;
namespace amf = testing_support::amf;

struct Tag {
    uint32_t type;
    uint32_t timestamp;
    std::string payload;  // behind the audio or video header bytes
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
    return std::string(1, char(type)) + BigEndian(data.size(), 3) + BigEndian(time & 0xFFFFFF, 3) +
           char(time >> 24) + BigEndian(0, 3) + data + BigEndian(11 + data.size(), 4);
}

// An audio or video message body whose payload is |name|, behind one header byte.
std::string audio(const std::string& name) {
    return "\x2F" + name;
}
std::string video(const std::string& name) {
    return "\x22" + name;
}

// The chunk headers that leave out what the channel's previous message said.
std::string header8(int channel, uint32_t delta, uint32_t size, uint8_t type) {
    return char(0x40 | channel) + BigEndian(delta, 3) + BigEndian(size, 3) + char(type);
}
std::string header4(int channel, uint32_t delta) {
    return char(0x80 | channel) + BigEndian(delta, 3);
}
std::string header1(int channel) {
    return std::string(1, char(0xC0 | channel));
}

// Binds |socket| to a free loopback port and returns the port.
uint16_t bindLoopback(int socket) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

// Answers connect and createStream as a server does and waits for play and its ping.
bool startPlay(RtmpServerConnection& s, RtmpMessage* connect) {
    RtmpMessage m;
    if (!s.acceptConnect(connect) ||
        !s.send(Invoke("_result", 1,
                       amf::object({{"code", amf::str("NetConnection.Connect.Success")}})))) {
        return false;
    }
    for (int i = 0; i < 3; ++i) {  // server bandwidth, ping, createStream
        if (!s.readMessage(&m)) return false;
    }
    return s.send(Invoke("_result", 2, amf::num(1))) && s.readMessage(&m) && s.readMessage(&m);
}

class RTMPClientTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // A client that waits for bytes that never come fails in seconds rather than 30.
        setenv("ZOVOZUDO_RTMP_RECEIVE_TIMEOUT_MS", "5000", 0);
        setenv("ZOVOZUDO_RTMP_CONNECT_TIMEOUT_MS", "5000", 0);
    }
    void TearDown() override { release(); }

    // A server that sends |before| once play has come, |after| once release() is called, and
    // then closes, or with |awaitClose| waits for the client to close first. Each send() carries
    // at most |piece| bytes (0: all at once).
    void serve(const std::string& before, const std::string& after = "", bool awaitClose = false,
               size_t piece = 0) {
        release();
        server_.reset();
        go_ = std::promise<void>();
        released_ = false;
        std::shared_future<void> go = go_.get_future().share();
        server_ = std::make_unique<ScriptedRtmpServer>(
            [this, before, after, awaitClose, piece, go](RtmpServerConnection& s) {
                if (!startPlay(s, &connect_) || !s.send(before, piece)) return;
                if (go.wait_for(std::chrono::seconds(10)) != std::future_status::ready) return;
                if (s.send(after, piece) && awaitClose) s.waitForClose();
            });
    }
    void release() {
        if (!released_) go_.set_value();
        released_ = true;
    }
    std::string url(const std::string& path, uint16_t port = 0) const {
        return "rtmp://127.0.0.1:" + std::to_string(port ? port : server_->port()) + path;
    }
    bool open(RTMPClient& client, const std::string& location) {
        error_.code.reset();
        error_.message.reset();
        return client.open(utf8ToWide(location), &error_);
    }
    static Tag next(RTMPClient& client) {
        std::unique_ptr<FLVPacket> p(client.readPacket());
        if (!p) return kEnd;
        return {p->tagType, p->timestamp,
                std::string(reinterpret_cast<const char*>(p->data), p->dataSize)};
    }
    static std::vector<Tag> next(RTMPClient& client, size_t n) {
        std::vector<Tag> tags;
        while (tags.size() < n) tags.push_back(next(client));
        return tags;
    }
    // open failed with |code| and |message| and logged |line|; the source then reads nothing
    // and closes cleanly, twice.
    void expectFailure(RTMPClient& client, const std::string& location, int code,
                       const std::string& message, const std::string& line) {
        SCOPED_TRACE(location);
        recording_log::Recorder recorder;
        EXPECT_FALSE(open(client, location));
        EXPECT_EQ(code, error_.code.value_or(0));
        EXPECT_EQ(message, error_.message.value_or(""));
        const std::vector<std::wstring> errors = recorder.log().lines(1);
        const std::wstring expected =
            utf8ToWide("RTMPClient::open " + line + " (" + location + ")!");
        EXPECT_NE(std::find(errors.begin(), errors.end(), expected), errors.end());
        EXPECT_EQ(kEnd, next(client));
        EXPECT_TRUE(client.close());
        EXPECT_TRUE(client.close());
    }

    RtmpMessage connect_;
    host::RecordingError error_;
    std::promise<void> go_;
    bool released_ = true;
    std::unique_ptr<ScriptedRtmpServer> server_;
};

// A listening socket of our own shows whether a connection was attempted at all.
TEST_F(RTMPClientTest, UnusableLocationsFailBeforeConnecting) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    const std::string port = std::to_string(bindLoopback(listener));
    ASSERT_EQ(0, ::listen(listener, 4));
    for (const std::string& location :
         {"rtmp:/127.0.0.1:" + port + "/app/s", "rtmp://127.0.0.1:" + port + "/app/",
          "rtmp://127.0.0.1:" + port, "rtmp://" + std::string(256, 'h') + ":" + port + "/a/s"}) {
        RTMPClient client;
        expectFailure(client, location, 2, "RTMP input: URL format not supported.",
                      "Couldn't parse the specified url");
        EXPECT_LT(::accept(listener, nullptr, nullptr), 0) << location;
    }
    ::close(listener);
}

TEST_F(RTMPClientTest, RefusedPortSilentServerAndMissingStreamFailWithTheirCodes) {
    // A port that nothing listens on: bound once, then released.
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    const uint16_t port = bindLoopback(probe);
    ::close(probe);
    RTMPClient refused;
    expectFailure(refused, url("/live/s", port), 404, "RTMP input: Failed to connect to URL.",
                  "Failed to connect to url");

    serve("");  // play is answered by nothing but the close
    release();
    RTMPClient empty;
    expectFailure(empty, url("/live/s"), 2, "RTMP input: Failed to parse metadata.",
                  "Failed to get header from url");

    // Refused as nginx does, keeping the connection open: the open ends at once all the same.
    serve(Message12(5, 0x14, 1,
                    amf::str("onStatus") + amf::num(0) + amf::null() +
                        amf::object({{"level", amf::str("error")},
                                     {"code", amf::str("NetStream.Play.StreamNotFound")},
                                     {"description", amf::str("No such stream")}})),
          "", true);
    release();
    RTMPClient missing;
    expectFailure(missing, url("/vod/missing.flv"), 404,
                  "RTMP input: The server reported an error: NetStream.Play.StreamNotFound (No "
                  "such stream).",
                  "The server refused url");
}

TEST_F(RTMPClientTest, TcUrlNamesHostAndAppWithoutThePort) {
    struct Case {
        std::string scheme, path, tcUrl;
    };
    for (const Case& c : {Case{"rtmp", "/live/stream", "rtmp://127.0.0.1/live"},
                          Case{"rtmpt", "/vod/clips/intro.flv", "rtmp://127.0.0.1/vod/clips"}}) {
        serve("");
        release();
        const std::string location = c.scheme + url(c.path).substr(4);
        RTMPClient client;
        EXPECT_FALSE(open(client, location));
        server_->join();
        const std::string field = BigEndian(5, 2) + "tcUrl" + amf::str(c.tcUrl);
        EXPECT_NE(std::string::npos, connect_.body.find(field)) << location;
        EXPECT_EQ(std::string::npos, connect_.body.find(std::to_string(server_->port())));
    }
}

// The server holds everything behind the first message until the tags are out: a source that
// read the network first would wait for the receive time-out and end the stream.
TEST_F(RTMPClientTest, FirstMessageIsHandedOutBeforeAnyFurtherRead) {
    struct Case {
        std::string name, first;
        std::vector<Tag> tags;
    };
    const std::string aggregate = flvTag(9, 40, video("v1")) + flvTag(8, 40, audio("a1")) +
                                  flvTag(9, 0x01000005, video("v2"));
    const std::string onMetaData = amf::str("onMetaData") + amf::object({{"width", amf::num(2)}});
    const std::vector<Case> cases = {
        {"onMetaData", Message12(5, 0x12, 1, onMetaData), {{18, 0, onMetaData}}},
        {"aggregate",
         Message12(4, 0x16, 1, aggregate, 128, 40),
         {{9, 40, "v1"}, {8, 40, "a1"}, {9, 0x01000005, "v2"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        serve(c.first, Message12(4, 8, 1, audio("after")));
        RTMPClient client;
        ASSERT_TRUE(open(client, url("/live/s")));
        EXPECT_EQ(c.tags, next(client, c.tags.size()));
        release();
        EXPECT_EQ((std::vector<Tag>{{8, 0, "after"}, kEnd, kEnd}), next(client, 3));
    }
}

TEST_F(RTMPClientTest, TagsCarryTheStreamTimeThroughEveryHeaderSize) {
    const std::string bytes =
        Message12(4, 8, 1, audio("a0"), 128, 1000) + Message12(6, 9, 1, video("v0"), 128, 1010) +
        header8(4, 40, 3, 8) + audio("a1") + header8(6, 33, 3, 9) + video("v1") + header4(4, 20) +
        audio("a2") + header1(4) + audio("a3") + header1(6) + video("v2") +
        Message12(4, 8, 1, audio("a4"), 128, 0x01000000) + header4(4, 25) + audio("a5");
    // A 1-byte header repeats its channel's last delta; channels keep clocks of their own.
    const std::vector<Tag> expected = {{8, 1000, "a0"},       {9, 1010, "v0"},
                                       {8, 1040, "a1"},       {9, 1043, "v1"},
                                       {8, 1060, "a2"},       {8, 1080, "a3"},
                                       {9, 1076, "v2"},       {8, 0x01000000, "a4"},
                                       {8, 0x01000019, "a5"}, kEnd};
    for (size_t piece : {size_t(0), size_t(1)}) {
        SCOPED_TRACE(piece);
        serve(bytes, "", false, piece);
        release();
        RTMPClient client;
        ASSERT_TRUE(open(client, url("/live/s")));
        EXPECT_EQ(expected, next(client, expected.size()));
    }
}

// After the end every read is null, and a tag handed out before stays valid after the source is
// gone, since it owns its message. Aggregates with no readable tag in them end nothing.
TEST_F(RTMPClientTest, StreamEndsAtPlayStopUnpublishOrCloseOnly) {
    struct Case {
        std::string name, bytes;
        bool awaitClose;
        std::vector<Tag> tags;
    };
    const std::string a0 = Message12(4, 8, 1, audio("a0"));
    const std::string a1 = Message12(4, 8, 1, audio("a1"));
    const std::string a2 = Message12(4, 8, 1, audio("a2"));
    const std::string tagPastTheEnd = flvTag(8, 0, audio("x")).substr(0, 12);
    const std::string noTag =
        Message12(4, 0x16, 1, tagPastTheEnd.substr(0, 4)) + Message12(4, 0x16, 1, tagPastTheEnd);
    for (const Case& c :
         {Case{"play stop", a0 + OnStatus("NetStream.Play.Stop") + a1, true, {}},
          Case{"publisher gone", a0 + a1 + OnStatus("NetStream.Play.UnpublishNotify") + a2, true,
               {{8, 0, "a1"}}},
          Case{"close", a0 + a1, false, {{8, 0, "a1"}}},
          Case{"aggregates without a tag", noTag + a0 + noTag + a1, false, {{8, 0, "a1"}}}}) {
        SCOPED_TRACE(c.name);
        serve(c.bytes, "", c.awaitClose);
        release();
        auto client = std::make_unique<RTMPClient>();
        ASSERT_TRUE(open(*client, url("/live/s")));
        EXPECT_EQ(nullptr, std::unique_ptr<FLVHeader>(client->readHeader()));
        std::unique_ptr<FLVPacket> first(client->readPacket());
        ASSERT_NE(nullptr, first);
        std::vector<Tag> tags = c.tags;
        tags.insert(tags.end(), {kEnd, kEnd});
        EXPECT_EQ(tags, next(*client, tags.size()));
        EXPECT_TRUE(client->close());
        EXPECT_TRUE(client->close());
        client.reset();
        EXPECT_EQ("a0", std::string(reinterpret_cast<const char*>(first->data), first->dataSize));
    }
}

}  // namespace
