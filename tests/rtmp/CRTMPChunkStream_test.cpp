// The chunk stream against a scripted server: messages read chunk by chunk from every
// segmentation of the server's bytes, and the exact bytes written for compressed headers, split
// invokes and extended timestamps.
#include <unistd.h>

#include <cstdio>
#include <list>
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
using testing_support::BasicHeader;
using testing_support::BigEndian;
using testing_support::LittleEndian;
using testing_support::Message12;
using testing_support::RtmpMessage;
using testing_support::RtmpServerConnection;
using testing_support::ScriptedRtmpServer;

// One ReadPacket result: "ch4 t8 ts0 sid1 300/128" while a message is incomplete, or
// "ch4 t8 ts0 sid1 300 <body>" when it is complete.
std::string describe(const RTMPPacket& p) {
    std::string text = "ch" + std::to_string(p.channel) + " t" + std::to_string(p.packetType) +
                       " ts" + std::to_string(uint32_t(p.info1)) + " sid" +
                       std::to_string(p.info2) + " " + std::to_string(p.bodySize);
    if (!p.ready()) return text + "/" + std::to_string(p.bytesRead) + (p.body ? " BODY!" : "");
    return text + " " + (p.body ? std::string(reinterpret_cast<char*>(p.body), p.bodySize) : "");
}

std::string filled(char c, size_t n) { return std::string(n, c); }

// The server's bytes after the handshake and connect, played with every segmentation.
struct ReadCase {
    std::string name;
    std::string bytes;
    std::vector<std::string> expected;  // ReadPacket results before the server closes
};

// Channel 4 carries 300 bytes of audio in chunks of 128.
const std::string kAudio300 =
    Message12(4, 8, 1, filled('a', 128) + filled('b', 128) + filled('c', 44));

std::vector<ReadCase> readCases() {
    const std::string hdr5 = std::string("\x05") + BigEndian(7, 3) + BigEndian(200, 3) + "\x09" +
                             LittleEndian(1, 4);
    const std::string hdr4 = std::string("\x04") + BigEndian(0, 3) + BigEndian(150, 3) + "\x08" +
                             LittleEndian(1, 4);
    const std::string ext = BigEndian(0x01020304, 4);
    return {
        {"ThreeChunks", kAudio300,
         {"ch4 t8 ts0 sid1 300/128", "ch4 t8 ts0 sid1 300/256",
          "ch4 t8 ts0 sid1 300 " + filled('a', 128) + filled('b', 128) + filled('c', 44)}},
        {"InterleavedChannels",
         hdr4 + filled('x', 128) + hdr5 + filled('y', 128) + "\xC4" + filled('x', 22) + "\xC5" +
             filled('y', 72),
         {"ch4 t8 ts0 sid1 150/128", "ch5 t9 ts7 sid1 200/128",
          "ch4 t8 ts0 sid1 150 " + filled('x', 150), "ch5 t9 ts7 sid1 200 " + filled('y', 200)}},
        {"ShortHeadersReuseTheChannel",
         Message12(6, 9, 1, "abcd", 128, 40) + "\x86" + BigEndian(20, 3) + "efgh" + "\xC6" + "ijkl",
         {"ch6 t9 ts40 sid1 4 abcd", "ch6 t9 ts20 sid1 4 efgh", "ch6 t9 ts20 sid1 4 ijkl"}},
        {"NewHeaderCutsAnIncompleteMessage",
         hdr4 + filled('x', 128) + "\x44" + BigEndian(5, 3) + BigEndian(3, 3) + "\x08" + "new",
         {"ch4 t8 ts0 sid1 150/128", "ch4 t8 ts5 sid1 3 new"}},
        {"EmptyBody", Message12(7, 8, 1, "") + Message12(7, 9, 1, "v"),
         {"ch7 t8 ts0 sid1 0 ", "ch7 t9 ts0 sid1 1 v"}},
        {"OneByteHeaderOnAFreshChannel", "\xC9", {"ch9 t0 ts0 sid0 0 "}},
        {"ChunkSizeChange",
         Message12(2, 1, 0, BigEndian(4096, 4)) + Message12(4, 9, 1, filled('z', 3000), 4096),
         {"ch2 t1 ts0 sid0 4 " + BigEndian(4096, 4), "ch4 t9 ts0 sid1 3000 " + filled('z', 3000)}},
        {"ExtendedTimestampOnEveryChunk",
         Message12(4, 8, 1, filled('e', 200), 128, 0x01020304) + "\xC4" + ext + "next",
         {"ch4 t8 ts16909060 sid1 200/128", "ch4 t8 ts16909060 sid1 200 " + filled('e', 200)}},
        {"ExtendedTimestampOnShortHeaders",
         Message12(4, 8, 1, "ab") + "\x44\xFF\xFF\xFF" + BigEndian(3, 3) + "\x08" + ext + "cde" +
             "\x84\xFF\xFF\xFF" + BigEndian(0x02000000, 4) + "fgh" + "\xC4" +
             BigEndian(0x02000000, 4) + "ijk" + "\x84" + BigEndian(9, 3) + "lmn" + "\xC4" + "opq",
         {"ch4 t8 ts0 sid1 2 ab", "ch4 t8 ts16909060 sid1 3 cde", "ch4 t8 ts33554432 sid1 3 fgh",
          "ch4 t8 ts33554432 sid1 3 ijk", "ch4 t8 ts9 sid1 3 lmn", "ch4 t8 ts9 sid1 3 opq"}},
        // Later chunks without the repeat: their bytes are body, also when fewer than four
        // remain before the next header or the end of the stream.
        {"ExtendedTimestampOnlyOnTheFirstChunk",
         Message12(4, 8, 1, filled('e', 200), 128, 0x01020304, false) +
             Message12(5, 9, 1, filled('f', 130), 128, 0x01020304, false) +
             Message12(6, 9, 1, "g") + Message12(7, 9, 1, filled('h', 130), 128, 0x01020304, false),
         {"ch4 t8 ts16909060 sid1 200/128", "ch4 t8 ts16909060 sid1 200 " + filled('e', 200),
          "ch5 t9 ts16909060 sid1 130/128", "ch5 t9 ts16909060 sid1 130 " + filled('f', 130),
          "ch6 t9 ts0 sid1 1 g", "ch7 t9 ts16909060 sid1 130/128",
          "ch7 t9 ts16909060 sid1 130 " + filled('h', 130)}},
        {"ChannelIdsOfTwoAndThreeBytes",
         Message12(64, 8, 1, filled('p', 130)) + Message12(319, 9, 1, "s") +
             Message12(320, 8, 1, filled('q', 130)) + Message12(65599, 9, 1, "z") +
             BasicHeader(3, 319) + "t",
         {"ch64 t8 ts0 sid1 130/128", "ch64 t8 ts0 sid1 130 " + filled('p', 130),
          "ch319 t9 ts0 sid1 1 s", "ch320 t8 ts0 sid1 130/128",
          "ch320 t8 ts0 sid1 130 " + filled('q', 130), "ch65599 t9 ts0 sid1 1 z",
          "ch319 t9 ts0 sid1 1 t"}},
    };
}

class ChunkStreamTest : public ::testing::Test {
protected:
    // Connects to a server that accepts, sends |bytes| in sends of |piece| bytes and closes.
    void connectTo(const std::string& bytes, size_t piece) {
        server_ = std::make_unique<ScriptedRtmpServer>([bytes, piece](RtmpServerConnection& c) {
            RtmpMessage connect;
            if (c.acceptConnect(&connect)) c.send(bytes, piece);
        });
        ASSERT_TRUE(client_.Connect("127.0.0.1", server_->port(), "stream", "live", 0, nullptr, 0));
    }

    // ReadPacket until it fails, as GetNextMediaPacket would apply chunk sizes.
    std::vector<std::string> readAll() {
        std::vector<std::string> results;
        RTMPPacket packet;
        while (client_.ReadPacket(packet)) {
            results.push_back(describe(packet));
            if (packet.ready() && packet.packetType == 1) client_.HandleChangeChunkSize(packet);
            packet.free();
        }
        return results;
    }

    RtmpLogCapture log_;
    CRTMP client_;
    std::unique_ptr<ScriptedRtmpServer> server_;
};

TEST_F(ChunkStreamTest, AssemblesMessagesFromEverySegmentation) {
    for (const ReadCase& c : readCases()) {
        for (size_t piece : {0, 1, 2, 5, 13, 127, 129}) {
            SCOPED_TRACE(c.name + " in pieces of " + std::to_string(piece));
            connectTo(c.bytes, piece);
            EXPECT_EQ(readAll(), c.expected);
            EXPECT_FALSE(client_.IsConnected());
            server_.reset();
        }
    }
}

TEST_F(ChunkStreamTest, ChunkSizesAtAndBeyondTheLimits) {
    struct Case {
        uint32_t announced;
        int32_t applied;  // 0: the connection closes
    };
    const std::string body = filled('q', 2000);
    for (const Case& c : {Case{0, 0}, Case{0x80000000u, 0}, Case{0xFFFFFFFFu, 0}, Case{1, 1},
                          Case{0xFFFFFF, 0xFFFFFF}, Case{0x1000000, 0xFFFFFF},
                          Case{0x7FFFFFFF, 0xFFFFFF}}) {
        SCOPED_TRACE(c.announced);
        log_.clear();
        connectTo(Message12(2, 1, 0, BigEndian(c.announced, 4)) +
                      Message12(4, 9, 1, body, c.applied > 0 ? uint32_t(c.applied) : 128),
                  0);
        RTMPPacket packet;
        const bool got = client_.GetNextMediaPacket(packet);
        if (c.applied == 0) {
            EXPECT_FALSE(got);
            EXPECT_FALSE(client_.IsConnected());
            ASSERT_FALSE(log_.lines().empty());
            EXPECT_EQ(log_.lines().back(),
                      "ERROR RTMP_LIB::CRTMP::HandleChangeChunkSize, received invalid chunk size " +
                          std::to_string(int32_t(c.announced)) + ", closing");
        } else {
            ASSERT_TRUE(got);
            EXPECT_EQ(client_.GetChunkSize(), c.applied);
            EXPECT_EQ(std::string(reinterpret_cast<char*>(packet.body), packet.bodySize), body);
        }
        packet.free();
        client_.Close();
        server_.reset();
    }
}

long residentBytes() {
    long pages = 0, resident = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) return 0;
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(statm);
    return resident * sysconf(_SC_PAGESIZE);
}

TEST_F(ChunkStreamTest, AnnouncedBodiesWithoutDataCostNoMemory) {
    // 16 MiB announced on each of 64 channels, one chunk of 128 bytes behind each: 1 GiB if
    // bodies were allocated as announced.
    std::string bytes;
    std::vector<std::string> expected;
    for (int channel = 2; channel < 66; ++channel) {
        bytes += BasicHeader(0, channel) + BigEndian(0, 3) + BigEndian(0xFFFFFF, 3) + "\x09" +
                 LittleEndian(1, 4) + filled('m', 128);
        expected.push_back("ch" + std::to_string(channel) + " t9 ts0 sid1 16777215/128");
    }
    const long before = residentBytes();
    connectTo(bytes, 0);
    RTMPPacket packet;
    for (const std::string& result : expected) {
        ASSERT_TRUE(client_.ReadPacket(packet));
        EXPECT_EQ(describe(packet), result);
    }
    EXPECT_LT(residentBytes() - before, 64L << 20);
}

// The bytes the client writes: compressed headers, chunks of 128 whatever size the server's own
// chunks have, extended timestamps, basic headers of every length.
TEST_F(ChunkStreamTest, WritesCompressedHeadersAndChunks) {
    std::vector<RtmpMessage> received;
    server_ = std::make_unique<ScriptedRtmpServer>([&received](RtmpServerConnection& c) {
        RtmpMessage message;
        if (!c.acceptConnect(&message)) return;
        for (int i = 0; i < 9 && c.readMessage(&message); ++i) received.push_back(message);
    });
    ASSERT_TRUE(client_.Connect("127.0.0.1", server_->port(), "stream", "live", 0, nullptr, 0));
    RTMPPacket serverChunkSize;
    const std::string size64 = BigEndian(64, 4);
    serverChunkSize.bodySize = 4;
    serverChunkSize.body = reinterpret_cast<uint8_t*>(const_cast<char*>(size64.data()));
    client_.HandleChangeChunkSize(serverChunkSize);
    serverChunkSize.reset();

    const auto send = [this](uint32_t channel, uint8_t headerType, uint8_t type, uint32_t info1,
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
    const std::string invoke25 = testing_support::amf::str("call") + filled('i', 18);
    const std::string invoke300 = testing_support::amf::str("long") + filled('j', 293);
    send(3, 1, 0x14, 0, invoke25);
    send(3, 1, 0x14, 0, invoke25);
    send(3, 1, 0x14, 0, invoke300);
    send(5, 0, 0x14, 0x01000000, invoke300);
    send(5, 1, 0x14, 0x01000000, invoke300);
    send(5, 1, 0x14, 7, invoke300);
    send(4, 0, 0x12, 0, filled('n', 300));
    send(70, 0, 0x14, 0x01000000, invoke300);
    send(400, 1, 0x12, 9, filled('o', 300));
    server_->join();

    const std::string ext = BigEndian(0x01000000, 4);
    const auto chunked = [](const std::string& head, const std::string& more,
                            const std::string& body) {
        return head + body.substr(0, 128) + more + body.substr(128, 128) + more + body.substr(256);
    };
    const std::vector<std::string> expected = {
        std::string("\x43") + BigEndian(0, 3) + BigEndian(25, 3) + "\x14" + invoke25,
        "\xC3" + invoke25,
        chunked(std::string("\x43") + BigEndian(0, 3) + BigEndian(300, 3) + "\x14", "\xC3",
                invoke300),
        chunked(std::string("\x05\xFF\xFF\xFF") + BigEndian(300, 3) + "\x14" + LittleEndian(0, 4) +
                    ext,
                "\xC5" + ext, invoke300),
        chunked("\x85\xFF\xFF\xFF" + ext, "\xC5" + ext, invoke300),
        chunked("\x85" + BigEndian(7, 3), "\xC5", invoke300),
        chunked(std::string("\x04") + BigEndian(0, 3) + BigEndian(300, 3) + "\x12" +
                    LittleEndian(0, 4),
                "\xC4", filled('n', 300)),
        chunked(BasicHeader(0, 70) + "\xFF\xFF\xFF" + BigEndian(300, 3) + "\x14" +
                    LittleEndian(0, 4) + ext,
                BasicHeader(3, 70) + ext, invoke300),
        chunked("\x41\x50\x01" + BigEndian(9, 3) + BigEndian(300, 3) + "\x12", "\xC1\x50\x01",
                filled('o', 300)),
    };
    ASSERT_EQ(received.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(received[i].wire, expected[i]) << i;
    EXPECT_EQ(client_.GetPendingCalls(),
              (std::list<std::string>{"connect", "call", "call", "long", "long", "long", "long",
                                      "long"}));
}

}  // namespace

namespace {

// Each message's time on the stream: absolute behind a 12-byte header, the channel's previous
// time plus the delta behind 8- and 4-byte headers, plus the previous delta again for a new
// message behind a 1-byte header; channels keep their own clocks.
TEST_F(ChunkStreamTest, MessageTimesAddUpAcrossHeaderTypes) {
    const std::string bytes =
        Message12(4, 8, 1, "a", 128, 1000) +                                // 1000
        "\x44" + BigEndian(40, 3) + BigEndian(1, 3) + "\x08" + "b" +        // 1040
        Message12(5, 9, 1, "v", 128, 7) +                                   // channel 5: 7
        "\x84" + BigEndian(20, 3) + "c" +                                   // 1060
        "\xC4" "d" "\xC4" "e" +                                             // 1080, 1100
        Message12(4, 8, 1, "f", 128, 5) + "\xC4" "g" +                      // 5, 10
        "\x44\xFF\xFF\xFF" + BigEndian(1, 3) + "\x08" + BigEndian(0x01000000, 4) + "h" +
        "\xC5" "w";                                                          // channel 5: 14
    for (size_t piece : {bytes.size(), size_t(1)}) {
        SCOPED_TRACE(piece);
        connectTo(bytes, piece);
        std::vector<uint32_t> times;
        RTMPPacket packet;
        while (client_.ReadPacket(packet)) {
            if (packet.ready()) times.push_back(packet.timeSlot);
            packet.free();
        }
        EXPECT_EQ((std::vector<uint32_t>{1000, 1040, 7, 1060, 1080, 1100, 5, 10, 10 + 0x01000000,
                                         14}),
                  times);
        client_.Close();
    }
}

}  // namespace
