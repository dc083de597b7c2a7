// The HTTP source against a real nginx (files, redirects, 404, a slow location) and against a
// scripted server for what nginx will not do (silence, cut transfers, wrong lengths, endless
// bodies).
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/TextConversion.h"
#include "flv/FLVHeader.h"
#include "host/RecordingHost.h"
#include "sources/HTTPClient.h"
#include "sources/RecordingLog.h"
#include "support/FlvBytes.h"
#include "support/NginxServer.h"
#include "support/ScriptedHttpServer.h"
#include "support/TempDir.h"
#include "support/TestMedia.h"

// Qt is not built for ThreadSanitizer: its locks, joins and wake-ups are invisible to the tool,
// which then reports races inside Qt and on objects that Qt hands between its threads. Our own
// hand-overs go through instrumented locks and events and are still checked.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libQt6Core.so.6\nrace:libQt6Network.so.6\nrace:libglib-2.0.so.0\n";
}

namespace {

using namespace std::chrono_literals;
using flv_bytes::Bytes;
using flv_bytes::Tag;
using std::chrono::steady_clock;
using testing_support::HttpConnection;
using testing_support::HttpRequest;
using testing_support::NginxServer;
using testing_support::ScriptedHttpServer;

std::vector<Tag> readTags(HTTPClient& source, bool* header = nullptr) {
    std::unique_ptr<FLVHeader> first(source.readHeader());
    if (header != nullptr) *header = first != nullptr;
    return flv_bytes::drain([&] { return source.readPacket(); });
}

int countEntries(const char* folder) {
    int count = 0;
    DIR* dir = ::opendir(folder);
    while (dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
    ::closedir(dir);
    return count;
}

// Time-outs for one test; the ones in force before come back after it.
struct Timeouts {
    Timeouts(int32_t head, int32_t get, int32_t transfer) {
        HTTPClient::setTimeoutsForTesting(head, get, transfer);
    }
    ~Timeouts() { HTTPClient::setTimeoutsForTesting(saved.first, saved.second); }
    const std::pair<int32_t, int32_t> saved = HTTPClient::timeoutsForTesting();
};

class HTTPClientTest : public ::testing::Test {
  protected:
    bool open(HTTPClient& source, const std::string& url) {
        error.code.reset();
        error.message.reset();
        return source.open(utf8ToWide(url), &error);
    }
    host::RecordingError error;
};

// ---- Against nginx ----

class NginxHTTPClientTest : public HTTPClientTest {
  protected:
    static void SetUpTestSuite() {
        const std::string root = testing_support::TestMedia::tempDir();
        const Bytes bytes = flv_bytes::file(300, 1000, &tags);
        WriteTempFile(root + "/x.flv", flv_bytes::asString(bytes));
        size = bytes.size();
        server = new NginxServer(NginxServer::httpConfig(
            root,
            "    location = /r1 { return 302 http://127.0.0.1:${PORT}/r2; }\n"
            "    location = /r2 { absolute_redirect off; return 301 /x.flv; }\n"
            "    location = /loop { absolute_redirect off; return 302 /loop; }\n"
            "    location = /local { return 302 file://" +
                root + "/x.flv; }\n" +
                // nginx sends the first second's share at once: the 300 kB take about 2 s.
                "    location /slow/ { alias " + root + "/; limit_rate 150k; }\n"));
    }
    static void TearDownTestSuite() { delete server; }
    void SetUp() override {
        if (!server->running()) GTEST_SKIP() << server->why();
    }

    static inline std::vector<Tag> tags;
    static inline size_t size = 0;
    static inline NginxServer* server = nullptr;
};

TEST_F(NginxHTTPClientTest, DeliversTheFileDirectlyAfterRedirectsAndWhenSlow) {
    for (const char* path : {"/x.flv", "/r1", "/slow/x.flv"}) {
        recording_log::Recorder recorder;
        HTTPClient source;
        ASSERT_TRUE(open(source, server->url(path))) << path;
        EXPECT_EQ(int64_t(size), source.seek(0, 0x10000)) << path;
        EXPECT_EQ(L"video/x-flv", source.getContentType()) << path;
        bool header = false;
        EXPECT_TRUE(readTags(source, &header) == tags && header) << path;
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
         {"HTTPClient::open : redirect to file://" + testing_support::TestMedia::tempDir() +
              "/x.flv refused",
          headError}},
        {"http://127.0.0.1:1/x.flv", {"HTTPClient::open : Received network error 1", headError}},
    };
    for (const auto& [url, errors] : cases) {
        recording_log::Recorder recorder;
        HTTPClient source;
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

// Regression: the first HTTP sources of a process, opened at the same moment, each started a Qt
// application of their own (or replaced the starting one's thread, which ends the process).
TEST_F(NginxHTTPClientTest, SourcesOpenedAtOnceShareOneApplicationAndEachGetsItsFile) {
    for (int round = 0; round < 3; ++round) {
        std::promise<void> start;
        const std::shared_future<void> go = start.get_future().share();
        std::vector<std::vector<Tag>> got(6);
        std::vector<std::thread> threads;
        for (std::vector<Tag>& mine : got) {
            threads.emplace_back([&mine, go] {
                go.wait();
                HTTPClient source;
                if (source.open(utf8ToWide(server->url("/x.flv")), nullptr)) {
                    mine = readTags(source);
                }
            });
        }
        start.set_value();
        for (std::thread& thread : threads) thread.join();
        for (const std::vector<Tag>& mine : got) EXPECT_TRUE(mine == tags) << "round " << round;
    }
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
    std::vector<uint8_t> rest(size - 9);
    ASSERT_EQ(int32_t(rest.size()), source.read(rest.data(), int64_t(rest.size())));
    EXPECT_EQ(-1, source.read(bytes, 1));
    EXPECT_EQ(-1, source.seek(int64_t(size) + 40000, 0));
    EXPECT_EQ(-1, source.seek(int64_t(size) + 10, 0)) << "reachable, but the transfer is over";
    EXPECT_EQ(int64_t(size) - 1, source.seek(-1, 1));
    source.close();
    EXPECT_EQ(0, source.read(bytes, 1));
    EXPECT_EQ(-1, source.seek(0, 0));
}

TEST_F(NginxHTTPClientTest, ManyCyclesLeaveNoThreadNorDescriptorAndPrintNothing) {
    {
        // Qt keeps a descriptor of its own from the first HTTP use of the process on.
        HTTPClient warmUp;
        ASSERT_TRUE(open(warmUp, server->url("/x.flv")));
    }
    const int threads = countEntries("/proc/self/task");
    const int descriptors = countEntries("/proc/self/fd");
    // Everything Qt or the client might print goes to a file while the cycles run.
    std::FILE* printed = std::tmpfile();
    std::fflush(stderr);
    const int savedErr = ::dup(2);
    ::dup2(::fileno(printed), 2);
    for (int cycle = 0; cycle < 200; ++cycle) {
        HTTPClient source;
        const bool missing = cycle % 50 == 49;
        ASSERT_EQ(!missing, open(source, server->url(missing ? "/missing.flv" : "/x.flv")));
        std::unique_ptr<FLVHeader> header(source.readHeader());
        EXPECT_EQ(missing, std::unique_ptr<FLVPacket>(source.readPacket()) == nullptr) << cycle;
    }
    std::fflush(stderr);
    ::dup2(savedErr, 2);
    ::close(savedErr);
    EXPECT_EQ(0, ::lseek(::fileno(printed), 0, SEEK_END)) << "the plug-in printed on stderr";
    std::fclose(printed);
    // Threads that Qt ends on its own take a moment to be gone.
    for (const auto deadline = steady_clock::now() + 10s;
         countEntries("/proc/self/task") > threads && steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(10ms);
    }
    // A thread that an earlier test or the sanitizer runtime had running may end meanwhile.
    EXPECT_LE(countEntries("/proc/self/task"), threads);
    EXPECT_LE(countEntries("/proc/self/fd"), descriptors);
}

// ---- Against a scripted server ----

// Answers HEAD with |headStatus| and the length, and GET with |getStatus|, the header lines
// |extra| and the file cut after |cut| bytes; |length| stands in for the file's own when set.
struct FileScript {
    enum Mode { kAnswer, kSilentHead, kSilentGet, kResetGet, kHoldGet };
    FileScript(Bytes f, size_t c = SIZE_MAX, uint64_t l = UINT64_MAX, Mode m = kAnswer,
               int head = 200, int get = 200, std::string x = "")
        : file(f), cut(c), length(l), mode(m), headStatus(head), getStatus(get), extra(x) {}
    Bytes file;
    size_t cut;
    uint64_t length;
    Mode mode;
    int headStatus, getStatus;
    std::string extra;

    void operator()(const HttpRequest& request, HttpConnection& connection) const {
        const uint64_t announced = length != UINT64_MAX ? length : file.size();
        const bool head = request.method == "HEAD";
        if (mode == (head ? kSilentHead : kSilentGet)) return connection.holdOpen();
        if (head)
            return (void)connection.send(ScriptedHttpServer::responseHead(headStatus, announced));
        if (mode == kResetGet) return;
        const std::string body(file.begin(), file.begin() + long(std::min(cut, file.size())));
        if (connection.send(ScriptedHttpServer::responseHead(getStatus, announced, extra) + body) &&
            mode == kHoldGet) {
            connection.holdOpen();
        }
    }
};

TEST_F(HTTPClientTest, TransfersAndFailedOpensAsTheServerScriptsThem) {
    EXPECT_EQ(std::make_pair(15000, 15000), HTTPClient::timeoutsForTesting()) << "production";
    std::vector<Tag> all;
    const Bytes f = flv_bytes::file(10, 50, &all);  // 659 bytes: tags of 65 after 9 of header
    const std::wstring stalled =
        L"HTTPClient::transferStalled : no data for 300 ms, transfer abandoned";
    const auto cut = [](const char* counts, int code) {
        return utf8ToWide(std::string("HTTPClient::getRequestFinished : transfer ended early, ") +
                          counts + " bytes received (network error " + std::to_string(code) + ")");
    };
    const std::string pad = "X-Padding: " + std::string(256 * 1024, 'p') + "\r\n";
    const size_t whole = SIZE_MAX;
    const uint64_t own = UINT64_MAX;
    using S = FileScript;
    struct Case {
        const char* name;
        FileScript script;
        size_t tags;          // read after a successful open
        const char* message;  // of a failed open
        std::vector<std::wstring> errors;
    };
    const Case cases[] = {
        {"whole file", {f}, 10, nullptr, {}},
        {"unknown-content HEAD", {f, whole, own, S::kAnswer, 451}, 10, nullptr, {}},
        {"cut in a tag", {f, 9 + 3 * 65 + 30}, 3, nullptr, {cut("234 of 659", 2)}},
        {"stall mid-body",
         {f, 9 + 3 * 65 + 30, own, S::kHoldGet},
         3,
         nullptr,
         {stalled, cut("234 of 659", 5)}},
        // Qt drops the length then, and waits for the close.
        {"header line of 256 KiB",
         {f, whole, own, S::kHoldGet, 200, 200, pad},
         10,
         nullptr,
         {stalled}},
        {"no answer to HEAD",
         {f, whole, own, S::kSilentHead},
         0,
         "HTTP input: URL cannot be reached",
         {L"HTTPClient::open: Head request timeout"}},
        {"no GET data",
         {f, whole, own, S::kSilentGet},
         0,
         "HTTP: Header request timeout",
         {L"HTTPClient::open: Header not received in time!"}},
        {"GET reset after a good HEAD",
         {f, whole, own, S::kResetGet},
         0,
         "HTTP input: Server error. The connection failed before any data came (network error 2).",
         {L"HTTPClient::open : Received network error 2 before any GET data"}},
        {"GET with an empty body",
         {f, 0, 0},
         0,
         "HTTP input: Server error. The file is empty.",
         {L"HTTPClient::open : GET answer with HTTP status 200 has an empty body"}},
        {"GET answered 503",
         {f, 0, 0, S::kAnswer, 200, 503},
         0,
         "HTTP input: Server error. The server answered the file request with HTTP status 503.",
         {L"HTTPClient::open : GET answered with HTTP status 503"}},
    };
    for (const Case& c : cases) {
        const bool silentHead = c.script.mode == S::kSilentHead;
        // The time-out that is not meant to end the row is long: a wait bounded by it shows.
        Timeouts timeouts(silentHead ? 300 : 60000, c.script.mode == S::kSilentGet ? 300 : 60000,
                          300);
        ScriptedHttpServer server(c.script);
        recording_log::Recorder recorder;
        HTTPClient source;
        const auto start = steady_clock::now();
        EXPECT_EQ(c.message == nullptr, open(source, server.url("/a.flv"))) << c.name;
        EXPECT_EQ(c.message ? 404 : 0, error.code.value_or(0)) << c.name;
        EXPECT_EQ(c.message ? c.message : "", error.message.value_or("")) << c.name;
        EXPECT_TRUE(readTags(source) == std::vector<Tag>(all.begin(), all.begin() + long(c.tags)))
            << c.name;
        EXPECT_LT(steady_clock::now() - start, 10s) << c.name;
        EXPECT_EQ(c.errors, recorder.log().lines(1)) << c.name;
        std::vector<HttpRequest> requests = server.requests();
        ASSERT_EQ(silentHead, requests.size() == 1) << c.name;  // Qt asks twice after a reset
        for (HttpRequest& request : requests) {
            EXPECT_EQ(&request == &requests[0] ? "HEAD" : "GET", request.method) << c.name;
            EXPECT_EQ("/a.flv", request.target);
            EXPECT_EQ("9,0,47,0", request.headers["x-flash-version"]);
            EXPECT_EQ("Mozilla/4.0", request.headers["user-agent"]);
        }
    }
}

TEST_F(HTTPClientTest, AWaitingReaderReturnsSoonAfterClose) {
    ScriptedHttpServer server(
        FileScript{flv_bytes::file(3, 5000), 9 + 15 + 100, UINT64_MAX, FileScript::kHoldGet});
    HTTPClient source;
    ASSERT_TRUE(open(source, server.url("/a.flv")));
    std::unique_ptr<FLVHeader> header(source.readHeader());
    std::atomic<bool> closing(false);
    std::thread reader([&] {
        EXPECT_EQ(nullptr, source.readPacket());
        EXPECT_TRUE(closing.load()) << "the reader gave up before close";
    });
    // Time for the reader to wait for the rest of the tag; only the close ends that wait.
    std::this_thread::sleep_for(300ms);
    closing = true;
    const auto closedAt = steady_clock::now();
    source.close();
    reader.join();
    // Loose for a loaded machine; a reader that missed the close would wait forever.
    EXPECT_LT(steady_clock::now() - closedAt, 3s);
}

TEST_F(HTTPClientTest, AnEndlessBodyIsHeldBackWhileTheReaderIsBehind) {
    HTTPClient::setUnreadCapForTesting(1 << 20);
    std::atomic<uint64_t> sent(0);
    ScriptedHttpServer server([&](const HttpRequest& request, HttpConnection& connection) {
        connection.send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");  // and no length
        if (request.method == "HEAD" || !connection.send(flv_bytes::asString(flv_bytes::header())))
            return;
        const std::string piece = flv_bytes::asString(flv_bytes::tag(9, 0, Bytes(64 << 10, 0x17)));
        while (connection.send(piece)) sent += piece.size();
    });
    HTTPClient source;
    ASSERT_TRUE(open(source, server.url("/endless.flv")));
    // Until the server is held back: its count stops growing.
    uint64_t last = 0;
    for (int unchanged = 0, tries = 0; unchanged < 20 && tries < 800; ++tries) {
        std::this_thread::sleep_for(25ms);
        unchanged = sent.load() == last ? unchanged + 1 : 0;
        last = sent.load();
    }
    // The cap, Qt's reply buffer and the sockets' buffers; an unbounded client takes everything.
    EXPECT_LT(sent.load(), uint64_t(48) << 20);
    std::unique_ptr<FLVHeader> header(source.readHeader());
    for (int i = 0; i < 200; ++i)
        ASSERT_NE(nullptr, std::unique_ptr<FLVPacket>(source.readPacket()));
    source.close();
    HTTPClient::setUnreadCapForTesting(HTTPClient::kDefaultUnreadCap);
}

TEST_F(HTTPClientTest, ReadsSeeksAndAnEndWhilePausedAreNotHeldBackByTheCap) {
    HTTPClient::setUnreadCapForTesting(64 * 1024);
    FileScript big{Bytes(8 << 20)};  // far beyond the cap and Qt's own read buffer
    for (size_t i = 0; i < big.file.size(); ++i) big.file[i] = uint8_t(i * 7 + (i >> 16));
    const FileScript small{flv_bytes::file(40, 13000)};
    ScriptedHttpServer server(big), pausedServer(small);
    recording_log::Recorder recorder;
    HTTPClient source, paused;
    ASSERT_TRUE(open(source, server.url("/a.flv")));
    ASSERT_TRUE(open(paused, pausedServer.url("/a.flv")));
    // A read that waits for bytes the cap holds back would wait until close: fail, not hang.
    std::promise<void> done;
    std::atomic<bool> fired(false);
    std::thread watchdog([&, finished = done.get_future()] {
        if (finished.wait_for(20s) == std::future_status::ready) return;
        fired = true;
        source.close();
        paused.close();
    });
    Bytes got(3 << 20);
    EXPECT_EQ(int32_t(got.size()), source.read(got.data(), int64_t(got.size())));
    EXPECT_TRUE(std::equal(got.begin(), got.end(), big.file.begin()));
    // Each offset lies just past what had arrived while the cap was full.
    int64_t reached = 0;
    for (int64_t at = 3 << 20;
         at < (4 << 20) && source.seek(3 << 20, 0) == (3 << 20) && source.seek(at, 0) == at;
         at += 16 * 1024) {
        reached = at;
    }
    EXPECT_EQ((4 << 20) - 16 * 1024, reached);

    // Qt ends the GET while all but the cap's 64 KiB of it are still in the reply; every byte
    // still comes, in order, and then the end.
    const auto endedWhilePaused = [&] {
        const std::vector<std::wstring> lines = recorder.log().lines(3);
        return std::count(lines.begin(), lines.end(),
                          L"HTTPClient::getRequestFinished - 455073 bytes left") == 1;
    };
    for (const auto deadline = steady_clock::now() + 10s;
         !endedWhilePaused() && steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(endedWhilePaused());
    got.assign(small.file.size() + 1, 0);
    EXPECT_EQ(int32_t(small.file.size()), paused.read(got.data(), int64_t(small.file.size())));
    EXPECT_TRUE(std::equal(small.file.begin(), small.file.end(), got.begin()));
    EXPECT_EQ(-1, paused.read(got.data(), 1));
    done.set_value();
    watchdog.join();
    EXPECT_FALSE(fired.load()) << "a read waited for bytes held back, or for an end never seen";
    HTTPClient::setUnreadCapForTesting(HTTPClient::kDefaultUnreadCap);
}

}  // namespace
