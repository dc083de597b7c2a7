// The HTTP source against a real nginx (files, redirects, 404, a slow location) and against a
// scripted server for what nginx will not do (silence, cut transfers, wrong lengths, endless
// bodies).
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/TextConversion.h"
#include "flv/FLVHeader.h"
#include "flv/FLVPacket.h"
#include "host/RecordingHost.h"
#include "sources/HTTPClient.h"
#include "sources/LocalClient.h"
#include "sources/RecordingLog.h"
#include "support/FlvBytes.h"
#include "support/NginxServer.h"
#include "support/ScriptedHttpServer.h"

// Qt is not built for ThreadSanitizer: its locks, joins and wake-ups are invisible to the tool,
// which then reports races inside Qt and on objects that Qt hands between its threads. Our own
// hand-overs go through instrumented locks and events and are still checked.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libQt6Core.so.6\n"
           "race:libQt6Network.so.6\n"
           "race:libglib-2.0.so.0\n";
}

namespace {

using flv_bytes::Bytes;
using testing_support::HttpConnection;
using testing_support::HttpRequest;
using testing_support::NginxServer;
using testing_support::ScriptedHttpServer;

struct Tag {
    uint32_t type;
    uint32_t timestamp;
    Bytes payload;
    bool operator==(const Tag& o) const {
        return type == o.type && timestamp == o.timestamp && payload == o.payload;
    }
};

// Every tag of |source| up to its first null; |header| tells whether the header came.
std::vector<Tag> readTags(FLVNetworkClient& source, bool* header = nullptr) {
    std::unique_ptr<FLVHeader> first(source.readHeader());
    if (header != nullptr) *header = first != nullptr;
    std::vector<Tag> tags;
    while (FLVPacket* packet = source.readPacket()) {
        tags.push_back({packet->tagType, packet->timestamp,
                        Bytes(packet->data, packet->data + packet->dataSize)});
        delete packet;
    }
    return tags;
}

int countEntries(const char* folder) {
    int count = 0;
    DIR* dir = ::opendir(folder);
    while (dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
    ::closedir(dir);
    return count;
}

// Sets short time-outs for one test and restores the production ones after it.
class ShortTimeouts {
  public:
    explicit ShortTimeouts(int32_t ms, int32_t transferMs = HTTPClient::kTransferTimeoutMs) {
        HTTPClient::setTimeoutsForTesting(ms, ms, transferMs);
    }
    ~ShortTimeouts() {
        HTTPClient::setTimeoutsForTesting(HTTPClient::kHeadTimeoutMs, HTTPClient::kGetTimeoutMs);
    }
};

class HTTPClientTest : public ::testing::Test {
  protected:
    bool open(HTTPClient& source, const std::string& url) {
        return source.open(utf8ToWide(url), &error);
    }
    host::RecordingError error;
};

// ---- Against nginx ----

class NginxHTTPClientTest : public HTTPClientTest {
  protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/zovozudo-www-XXXXXX";
        root = new std::string(::mkdtemp(pattern));
        const Bytes small = flv_bytes::file(300, 1000);
        std::ofstream(*root + "/x.flv", std::ios::binary)
            .write(reinterpret_cast<const char*>(small.data()), std::streamsize(small.size()));
        fileSize = small.size();
        server = new NginxServer(NginxServer::httpConfig(
            *root,
            "    location = /r1 { return 302 http://127.0.0.1:${PORT}/r2; }\n"
            "    location = /r2 { absolute_redirect off; return 301 /x.flv; }\n"
            "    location = /loop { absolute_redirect off; return 302 /loop; }\n"
            "    location = /local { return 302 file://" +
                *root +
                "/x.flv; }\n"
                // nginx sends the first second's share at once: the 300 kB file takes about 2 s.
                "    location /slow/ { alias " +
                *root + "/; limit_rate 150k; }\n"));
    }
    static void TearDownTestSuite() {
        delete server;
        std::remove((*root + "/x.flv").c_str());
        ::rmdir(root->c_str());
        delete root;
    }
    void SetUp() override {
        if (!server->running()) GTEST_SKIP() << server->why();
    }

    std::vector<Tag> localTags() {
        LocalClient local;
        EXPECT_TRUE(local.open(utf8ToWide(*root + "/x.flv"), &error));
        return readTags(local);
    }

    static std::string* root;
    static size_t fileSize;
    static NginxServer* server;
};

std::string* NginxHTTPClientTest::root = nullptr;
size_t NginxHTTPClientTest::fileSize = 0;
NginxServer* NginxHTTPClientTest::server = nullptr;

TEST_F(NginxHTTPClientTest, DeliversWhatTheLocalFileHoldsDirectlyAfterRedirectsAndWhenSlow) {
    const std::vector<Tag> expected = localTags();
    ASSERT_EQ(300u, expected.size());
    for (const char* path : {"/x.flv", "/r1", "/slow/x.flv"}) {
        recording_log::Recorder recorder;
        HTTPClient source;
        ASSERT_TRUE(open(source, server->url(path))) << path;
        EXPECT_EQ(int64_t(fileSize), source.seek(0, 0x10000)) << path;
        EXPECT_EQ(L"video/x-flv", source.getContentType()) << path;
        bool header = false;
        EXPECT_TRUE(readTags(source, &header) == expected) << path;
        EXPECT_TRUE(header) << path;
        EXPECT_TRUE(source.close());
        EXPECT_EQ(nullptr, source.readPacket()) << "a closed source has nothing more";
        EXPECT_TRUE(recorder.log().lines(1).empty()) << path;
    }
}

TEST_F(NginxHTTPClientTest, MissingFilesRedirectLoopsAndClosedPortsFailAsServerErrors) {
    const std::string headError = "HTTPClient::open: Head request error 404";
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {server->url("/missing.flv"), {"HTTPClient::open : Received network error 203", headError}},
        {server->url("/loop"), {"HTTPClient::open : more than 10 redirects", headError}},
        {server->url("/local"),
         {"HTTPClient::open : redirect to file://" + *root + "/x.flv refused", headError}},
        {"http://127.0.0.1:1/x.flv", {"HTTPClient::open : Received network error 1", headError}},
    };
    for (const auto& [url, errors] : cases) {
        recording_log::Recorder recorder;
        HTTPClient source;
        error.code.reset();
        error.message.reset();
        EXPECT_FALSE(open(source, url)) << url;
        EXPECT_EQ(404, error.code.value_or(0)) << url;
        EXPECT_EQ("HTTP input: Server error.", error.message.value_or("")) << url;
        EXPECT_EQ(404, source.getStatus()) << url;
        EXPECT_EQ(nullptr, source.readHeader()) << url;
        std::vector<std::wstring> expected;
        for (const std::string& line : errors) expected.push_back(utf8ToWide(line));
        EXPECT_EQ(expected, recorder.log().lines(1)) << url;
    }
}

TEST_F(NginxHTTPClientTest, SeveralSourcesReadAtOnce) {
    const std::vector<Tag> expected = localTags();
    HTTPClient first;
    HTTPClient second;
    ASSERT_TRUE(open(first, server->url("/x.flv")));
    ASSERT_TRUE(open(second, server->url("/r1")));
    std::unique_ptr<FLVHeader>(first.readHeader());
    std::unique_ptr<FLVHeader>(second.readHeader());
    std::vector<Tag> a;
    std::vector<Tag> b;
    for (;;) {
        std::unique_ptr<FLVPacket> p(first.readPacket());
        std::unique_ptr<FLVPacket> q(second.readPacket());
        if (!p && !q) break;
        if (p) a.push_back({p->tagType, p->timestamp, Bytes(p->data, p->data + p->dataSize)});
        if (q) b.push_back({q->tagType, q->timestamp, Bytes(q->data, q->data + q->dataSize)});
    }
    EXPECT_TRUE(a == expected);
    EXPECT_TRUE(b == expected);
}

TEST_F(NginxHTTPClientTest, RandomAccessReadsAndSeeksWithinWhatArrived) {
    HTTPClient source;
    ASSERT_TRUE(open(source, server->url("/x.flv")));
    uint8_t bytes[9];
    ASSERT_EQ(9, source.read(bytes, 9));
    EXPECT_EQ(0, std::memcmp(bytes, "FLV", 3));
    EXPECT_EQ(9, source.seek(0, 1));
    EXPECT_EQ(0, source.seek(0, 0));
    ASSERT_EQ(9, source.read(bytes, 9));
    EXPECT_EQ(-1, source.seek(0, 2));
    // Wait for the whole file, then ask for more than there is.
    std::vector<uint8_t> rest(fileSize - 9);
    ASSERT_EQ(int32_t(rest.size()), source.read(rest.data(), int64_t(rest.size())));
    EXPECT_EQ(-1, source.read(bytes, 1));
    EXPECT_EQ(-1, source.seek(int64_t(fileSize) + 40000, 0));
    EXPECT_EQ(-1, source.seek(int64_t(fileSize) + 10, 0)) << "reachable, but the transfer is over";
    EXPECT_EQ(int64_t(fileSize) - 1, source.seek(-1, 1));
    source.close();
    EXPECT_EQ(0, source.read(bytes, 1));
    EXPECT_EQ(-1, source.seek(0, 0));
}

TEST_F(NginxHTTPClientTest, ManyCyclesLeaveNoThreadNorDescriptorAndPrintNothing) {
    // Qt keeps a descriptor of its own from the first HTTP use of the process on; a warm-up
    // cycle makes the count independent of which test ran first.
    {
        HTTPClient warmUp;
        ASSERT_TRUE(open(warmUp, server->url("/x.flv")));
    }
    const int threads = countEntries("/proc/self/task");
    const int descriptors = countEntries("/proc/self/fd");

    // Everything Qt or the client might print goes to a file while the cycles run.
    char errPath[] = "/tmp/zovozudo-stderr-XXXXXX";
    const int errFile = ::mkstemp(errPath);
    std::fflush(stderr);
    const int savedErr = ::dup(2);
    ::dup2(errFile, 2);
    for (int cycle = 0; cycle < 200; ++cycle) {
        HTTPClient source;
        const bool missing = cycle % 50 == 49;
        ASSERT_EQ(!missing, open(source, server->url(missing ? "/missing.flv" : "/x.flv")));
        if (!missing) {
            std::unique_ptr<FLVHeader> header(source.readHeader());
            std::unique_ptr<FLVPacket> packet(source.readPacket());
            ASSERT_NE(nullptr, packet) << "cycle " << cycle;
        }
        source.close();
    }
    std::fflush(stderr);
    ::dup2(savedErr, 2);
    ::close(savedErr);
    const off_t printed = ::lseek(errFile, 0, SEEK_END);
    ::close(errFile);
    std::remove(errPath);
    EXPECT_EQ(0, printed) << "the plug-in printed on stderr";

    // Threads that Qt ends on its own take a moment to be gone.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (countEntries("/proc/self/task") > threads &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // A thread that an earlier test or the sanitizer runtime had running may end meanwhile.
    EXPECT_LE(countEntries("/proc/self/task"), threads);
    EXPECT_LE(countEntries("/proc/self/fd"), descriptors);
}

// ---- Against a scripted server ----

// Answers HEAD with the file's length and GET with the file, cut after |cut| bytes when |cut| is
// set, with |length| as Content-Length when set; the GET answer then keeps the connection open
// when |hold| is set, and carries |getHeaders|.
struct FileScript {
    Bytes file;
    size_t cut = SIZE_MAX;
    uint64_t length = UINT64_MAX;
    int headStatus = 200;
    int getStatus = 200;
    bool silentHead = false;
    bool silentGet = false;
    bool resetGet = false;
    bool hold = false;
    std::string getHeaders;

    void operator()(const HttpRequest& request, HttpConnection& connection) const {
        const uint64_t announced = length != UINT64_MAX ? length : file.size();
        if (request.method == "HEAD") {
            if (silentHead) return connection.holdOpen();
            connection.send(ScriptedHttpServer::responseHead(headStatus, announced));
            return;
        }
        if (silentGet) return connection.holdOpen();
        if (resetGet) return;
        std::string answer = ScriptedHttpServer::responseHead(getStatus, announced, getHeaders);
        answer.append(file.begin(), file.begin() + std::min(cut, file.size()));
        if (connection.send(answer) && hold) connection.holdOpen();
    }
};

TEST_F(HTTPClientTest, SendsTheFlashHeadersWithHeadThenGet) {
    FileScript script;
    script.file = flv_bytes::file(5);
    ScriptedHttpServer server(script);
    HTTPClient source;
    ASSERT_TRUE(open(source, server.url("/a.flv")));
    EXPECT_EQ(5u, readTags(source).size());
    const std::vector<HttpRequest> requests = server.requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ("HEAD", requests[0].method);
    EXPECT_EQ("GET", requests[1].method);
    for (const HttpRequest& request : requests) {
        EXPECT_EQ("/a.flv", request.target);
        EXPECT_EQ("9,0,47,0", request.headers.at("x-flash-version"));
        EXPECT_EQ("Mozilla/4.0", request.headers.at("user-agent"));
    }
}

TEST_F(HTTPClientTest, TransfersThatEndEarlyOrLateYieldTheCompleteTagsAndSayWhenCutShort) {
    ShortTimeouts shortTimeouts(HTTPClient::kGetTimeoutMs, 300);
    const Bytes file = flv_bytes::file(10, 50);  // 659 bytes: tags of 65 after a 9-byte header
    struct Case {
        const char* name;
        size_t cut;
        uint64_t length;
        int headStatus;
        bool hold;    // the connection stays open after the bytes sent
        bool padded;  // a header line of 256 KiB: Qt then drops the length, waits for the close
        size_t tags;
        bool stalled;
        const char* counts;  // of the cut-short line, if one is expected
        int error;
    };
    const Case cases[] = {
        {"whole file", SIZE_MAX, UINT64_MAX, 200, false, false, 10, false, nullptr, 0},
        {"cut in a tag", 9 + 3 * 65 + 30, UINT64_MAX, 200, false, false, 3, false, "234 of 659", 2},
        {"cut in 15 bytes", 9 + 5 * 65 + 7, UINT64_MAX, 200, false, false, 5, false, "341 of 659",
         2},
        {"longer than its length", SIZE_MAX, 9 + 6 * 65 + 10, 200, false, false, 6, false, nullptr,
         0},
        {"shorter than its length", SIZE_MAX, 100000, 200, false, false, 10, false, "659 of 100000",
         2},
        {"unknown-content HEAD", SIZE_MAX, UINT64_MAX, 451, false, false, 10, false, nullptr, 0},
        {"stall mid-body", 9 + 3 * 65 + 30, UINT64_MAX, 200, true, false, 3, true, "234 of 659", 5},
        {"header line of 256 KiB", SIZE_MAX, UINT64_MAX, 200, true, true, 10, true, nullptr, 0},
    };
    for (const Case& c : cases) {
        FileScript script;
        script.file = file;
        script.cut = c.cut;
        script.length = c.length;
        script.headStatus = c.headStatus;
        script.hold = c.hold;
        if (c.padded) script.getHeaders = "X-Padding: " + std::string(256 * 1024, 'p') + "\r\n";
        ScriptedHttpServer server(script);
        recording_log::Recorder recorder;
        HTTPClient source;
        ASSERT_TRUE(open(source, server.url("/a.flv"))) << c.name;
        EXPECT_EQ(c.tags, readTags(source).size()) << c.name;
        std::vector<std::wstring> errors;
        if (c.stalled)
            errors.push_back(
                L"HTTPClient::transferStalled : no data for 300 ms, "
                L"transfer abandoned");
        if (c.counts) {
            errors.push_back(utf8ToWide("HTTPClient::getRequestFinished : transfer ended early, " +
                                        std::string(c.counts) + " bytes received (network error " +
                                        std::to_string(c.error) + ")"));
        }
        EXPECT_EQ(errors, recorder.log().lines(1)) << c.name;
    }
}

TEST_F(HTTPClientTest, SilentServersFailOpenWithTheirOwnMessages) {
    ShortTimeouts shortTimeouts(300);
    struct Case {
        const char* name;
        bool silentHead;
        bool silentGet;
        bool resetGet;
        int getStatus;
        bool empty;
        const char* message;
        const wchar_t* logged;
    };
    const Case cases[] = {
        {"no answer to HEAD", true, false, false, 200, false, "HTTP input: URL cannot be reached",
         L"HTTPClient::open: Head request timeout"},
        {"no GET data", false, true, false, 200, false, "HTTP: Header request timeout",
         L"HTTPClient::open: Header not received in time!"},
        {"GET reset after a good HEAD", false, false, true, 200, false,
         "HTTP input: Server error. The connection failed before any data came (network "
         "error 2).",
         L"HTTPClient::open : Received network error 2 before any GET data"},
        {"GET with an empty body", false, false, false, 200, true,
         "HTTP input: Server error. The file is empty.",
         L"HTTPClient::open : GET answer with HTTP status 200 has an empty body"},
        {"GET answered 503", false, false, false, 503, true,
         "HTTP input: Server error. The server answered the file request with HTTP status 503.",
         L"HTTPClient::open : GET answered with HTTP status 503"},
    };
    for (const Case& c : cases) {
        FileScript script;
        script.file = flv_bytes::file(3);
        script.silentHead = c.silentHead;
        script.silentGet = c.silentGet;
        script.resetGet = c.resetGet;
        script.getStatus = c.getStatus;
        if (c.empty) script.cut = script.length = 0;
        ScriptedHttpServer server(script);
        recording_log::Recorder recorder;
        HTTPClient source;
        error.code.reset();
        error.message.reset();
        EXPECT_FALSE(open(source, server.url("/a.flv"))) << c.name;
        EXPECT_EQ(404, error.code.value_or(0)) << c.name;
        EXPECT_EQ(c.message, error.message.value_or("")) << c.name;
        EXPECT_EQ(std::vector<std::wstring>{c.logged}, recorder.log().lines(1)) << c.name;
        EXPECT_TRUE(source.close());
    }
}

TEST_F(HTTPClientTest, AWaitingReaderReturnsSoonAfterClose) {
    FileScript script;
    script.file = flv_bytes::file(3, 5000);
    script.cut = 9 + 15 + 100;  // the GET then holds the connection open
    ScriptedHttpServer server([&](const HttpRequest& request, HttpConnection& connection) {
        script(request, connection);
        if (request.method == "GET") connection.holdOpen();
    });
    HTTPClient source;
    ASSERT_TRUE(open(source, server.url("/a.flv")));
    std::unique_ptr<FLVHeader> header(source.readHeader());
    ASSERT_NE(nullptr, header);
    std::chrono::steady_clock::time_point closedAt;
    std::atomic<bool> closing(false);
    std::thread reader([&] {
        EXPECT_EQ(nullptr, source.readPacket());
        EXPECT_TRUE(closing.load()) << "the reader gave up before close";
    });
    // The reader is waiting for the rest of the tag; nothing else will end its wait.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    closing = true;
    closedAt = std::chrono::steady_clock::now();
    source.close();
    reader.join();
    // Loose, so that a loaded machine does not fail it; a reader that missed the close would
    // wait forever.
    EXPECT_LT(std::chrono::steady_clock::now() - closedAt, std::chrono::seconds(3));
}

TEST_F(HTTPClientTest, AnEndlessBodyIsHeldBackWhileTheReaderIsBehind) {
    HTTPClient::setUnreadCapForTesting(1 << 20);
    std::atomic<uint64_t> sent(0);
    ScriptedHttpServer server([&](const HttpRequest& request, HttpConnection& connection) {
        if (request.method == "HEAD") {
            connection.send(
                "HTTP/1.1 200 OK\r\nContent-Type: video/x-flv\r\nConnection: close\r\n\r\n");
            return;
        }
        const Bytes start = flv_bytes::header();
        connection.send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" +
                        flv_bytes::asString(start));
        const Bytes tag = flv_bytes::tag(9, 0, Bytes(64 * 1024, 0x17));
        const std::string piece = flv_bytes::asString(tag);
        while (connection.send(piece)) sent += piece.size();
    });
    HTTPClient source;
    ASSERT_TRUE(open(source, server.url("/endless.flv")));
    // Until the server is held back: its count stops growing.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    uint64_t last = 0;
    int unchanged = 0;
    while (unchanged < 20 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        const uint64_t now = sent.load();
        unchanged = now == last ? unchanged + 1 : 0;
        last = now;
    }
    // The cap, Qt's reply buffer and the sockets' buffers; an unbounded client takes everything.
    EXPECT_LT(sent.load(), uint64_t(48) << 20);
    std::unique_ptr<FLVHeader> header(source.readHeader());
    for (int i = 0; i < 200; ++i) {
        std::unique_ptr<FLVPacket> packet(source.readPacket());
        ASSERT_NE(nullptr, packet) << "tag " << i;
    }
    source.close();
    HTTPClient::setUnreadCapForTesting(HTTPClient::kDefaultUnreadCap);
}

TEST_F(HTTPClientTest, ReadsSeeksAndAnEndWhilePausedAreNotHeldBackByTheCap) {
    HTTPClient::setUnreadCapForTesting(64 * 1024);
    FileScript script;
    script.file.resize(8 << 20);  // far beyond the cap and Qt's own read buffer
    for (size_t i = 0; i < script.file.size(); ++i) script.file[i] = uint8_t(i * 7 + (i >> 16));
    ScriptedHttpServer server(script);
    HTTPClient source;
    ASSERT_TRUE(open(source, server.url("/a.flv")));
    // A read that waits for bytes the cap holds back would wait until close: fail, not hang.
    std::promise<void> done;
    std::thread watchdog([&source, finished = done.get_future()] {
        if (finished.wait_for(std::chrono::seconds(20)) != std::future_status::ready)
            source.close();
    });
    Bytes got(3 << 20);
    EXPECT_EQ(int32_t(got.size()), source.read(got.data(), int64_t(got.size())));
    EXPECT_TRUE(std::equal(got.begin(), got.end(), script.file.begin()));
    // Each offset lies just past what had arrived while the cap was full.
    int64_t reached = 0;
    for (int64_t offset = 3 << 20; offset < (4 << 20) && source.seek(3 << 20, 0) == (3 << 20) &&
                                   source.seek(offset, 0) == offset;
         offset += 16 * 1024) {
        reached = offset;
    }
    EXPECT_EQ((4 << 20) - 16 * 1024, reached);
    done.set_value();
    watchdog.join();
    source.close();

    // A GET that ends while bytes beyond the cap wait in Qt's reply still yields all of them.
    script.file = flv_bytes::file(40, 13000);
    ScriptedHttpServer paused(script);
    recording_log::Recorder recorder;
    HTTPClient late;
    ASSERT_TRUE(open(late, paused.url("/a.flv")));
    // Qt reports the end while all but the cap's 64 KiB are still in the reply.
    const auto endedWhilePaused = [&] {
        const std::vector<std::wstring> lines = recorder.log().lines(3);
        return std::count(lines.begin(), lines.end(),
                          L"HTTPClient::getRequestFinished - 455073 bytes left") == 1;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!endedWhilePaused() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(endedWhilePaused());
    EXPECT_EQ(40u, readTags(late).size());
    HTTPClient::setUnreadCapForTesting(HTTPClient::kDefaultUnreadCap);
}

}  // namespace
