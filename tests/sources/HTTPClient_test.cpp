// The HTTP source against a real nginx (a file, redirects, sources at once) and against a scripted
// server for what nginx will not do (silence, cut transfers, wrong lengths, endless bodies).
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
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

// Qt is not built for ThreadSanitizer, which then reports races inside Qt and on objects that Qt
// hands between its threads; our own hand-overs use instrumented locks and are still checked.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libQt6Core.so.6\nrace:libQt6Network.so.6\nrace:libglib-2.0.so.0\n";
}

namespace {

using namespace std::chrono_literals;
using flv_bytes::Bytes;
using flv_bytes::Tag;
using std::chrono::steady_clock;
using namespace testing_support;

std::vector<Tag> readTags(HTTPClient& source) {
    delete source.readHeader();
    return flv_bytes::drain([&] { return source.readPacket(); });
}

long countEntries(const char* folder) {
    return std::distance(std::filesystem::directory_iterator(folder), {});
}

// "" when |source| opens |url|, else the error's code and message.
std::string open(HTTPClient& source, const std::string& url) {
    host::RecordingError error;
    if (source.open(utf8ToWide(url), &error)) return "";
    return std::to_string(error.code.value_or(0)) + " " + error.message.value_or("");
}

// The ERROR lines logged so far, each followed by "|".
std::string errors(recording_log::Recorder& recorder) {
    std::wstring all;
    for (const std::wstring& line : recorder.log().lines(1)) all += line + L"|";
    return wideToUtf8(all);
}

class NginxHTTPClientTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        const std::string root = TestMedia::tempDir();
        const Bytes bytes = flv_bytes::file(300, 1000, &tags);
        WriteTempFile(root + "/x.flv", flv_bytes::asString(bytes));
        size = int64_t(bytes.size());
        server = new NginxServer(NginxServer::httpConfig(
            root,
            "    location = /r1 { return 302 http://127.0.0.1:${PORT}/r2; }\n"
            "    location = /r2 { absolute_redirect off; return 301 /x.flv; }\n"));
    }
    static void TearDownTestSuite() { delete server; }
    void SetUp() override {
        if (!server->running()) GTEST_SKIP() << server->why();
    }

    static inline std::vector<Tag> tags;
    static inline int64_t size = 0;
    static inline NginxServer* server = nullptr;
};

TEST_F(NginxHTTPClientTest, DeliversTheFileDirectlyAndAfterRedirects) {
    for (const char* path : {"/x.flv", "/r1"}) {
        SCOPED_TRACE(path);
        recording_log::Recorder recorder;
        HTTPClient source;
        ASSERT_EQ("", open(source, server->url(path)));
        EXPECT_EQ(size, source.seek(0, 0x10000));
        EXPECT_EQ(L"video/x-flv", source.getContentType());
        uint8_t bytes[9];
        ASSERT_EQ(9, source.read(bytes, 9));
        EXPECT_EQ(0, std::memcmp(bytes, "FLV", 3));
        EXPECT_EQ(9, source.seek(0, 1));
        EXPECT_EQ(-1, source.seek(0, 2));
        EXPECT_EQ(0, source.seek(-9, 1));
        EXPECT_TRUE(readTags(source) == tags);
        EXPECT_EQ("", errors(recorder));
        // At the end: nothing more to read, nor to wait for.
        EXPECT_EQ(-1, source.read(bytes, 1));
        EXPECT_EQ(-1, source.seek(size + 40000, 0));
        EXPECT_EQ(-1, source.seek(size + 10, 0)) << "reachable, but the transfer is over";
        EXPECT_EQ(size - 1, source.seek(-1, 1));
        EXPECT_TRUE(source.close());
        EXPECT_EQ(0, source.read(bytes, 1));
        EXPECT_EQ(-1, source.seek(0, 0));
        EXPECT_EQ(nullptr, source.readPacket());
    }
}

// Regression: the first HTTP sources of a process, opened at the same moment, each started a Qt
// application of their own (or replaced the starting one's thread, which ends the process).
TEST_F(NginxHTTPClientTest, SourcesOpenedAtOnceShareOneApplicationAndLeaveNothingBehind) {
    {
        // Qt keeps a descriptor of its own from the first HTTP use of the process on.
        HTTPClient warmUp;
        ASSERT_EQ("", open(warmUp, server->url("/x.flv")));
    }
    const long threads = countEntries("/proc/self/task");
    const long descriptors = countEntries("/proc/self/fd");
    std::FILE* printed = std::tmpfile();  // takes whatever Qt or the client might print
    std::fflush(stderr);
    const int savedErr = ::dup(2);
    ::dup2(::fileno(printed), 2);
    for (int round = 0; round < 10; ++round) {
        std::promise<void> start;
        const std::shared_future<void> go = start.get_future().share();
        std::vector<std::vector<Tag>> got(6);
        std::vector<std::thread> sources;
        for (int i = 0; i < 6; ++i) {
            sources.emplace_back([&got, i, go, missing = i == round % 6 && round % 3 == 2] {
                go.wait();
                HTTPClient source;
                const std::string path = missing ? "/missing.flv" : "/x.flv";
                EXPECT_NE(missing, source.open(utf8ToWide(server->url(path)), nullptr));
                got[i] = missing ? tags : readTags(source);
            });
        }
        start.set_value();
        for (std::thread& source : sources) source.join();
        for (const std::vector<Tag>& mine : got) EXPECT_TRUE(mine == tags) << "round " << round;
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

enum Mode { kAnswer, kSilentHead, kSilentGet, kResetGet, kHoldGet };

// Answers HEAD with |headStatus| and the length, and GET with |getStatus|, the header lines
// |extra| (a redirect's Location goes to HEAD) and the file cut after |cut| bytes; |length|
// stands in for the file's own when set.
ScriptedHttpServer::Handler fileScript(const Bytes& file, size_t cut = SIZE_MAX,
                                       uint64_t length = UINT64_MAX, Mode mode = kAnswer,
                                       int headStatus = 200, int getStatus = 200,
                                       const std::string& extra = "") {
    const uint64_t announced = length != UINT64_MAX ? length : file.size();
    const std::string body(file.begin(), file.begin() + long(std::min(cut, file.size())));
    return [=](const HttpRequest& request, HttpConnection& connection) {
        const bool head = request.method == "HEAD", redirect = headStatus / 100 == 3;
        if (mode == (head ? kSilentHead : kSilentGet)) return connection.holdOpen();
        const std::string answer =
            head ? ScriptedHttpServer::responseHead(headStatus, announced, redirect ? extra : "")
                 : ScriptedHttpServer::responseHead(getStatus, announced, extra) + body;
        if ((head || mode != kResetGet) && connection.send(answer) && !head && mode == kHoldGet) {
            connection.holdOpen();
        }
    };
}

TEST(HTTPClientTest, TransfersAndFailedOpensAsTheServerScriptsThem) {
    const auto production = HTTPClient::timeoutsForTesting();
    EXPECT_EQ(std::make_pair(15000, 15000), production);
    std::vector<Tag> all;
    const Bytes f = flv_bytes::file(10, 50, &all);  // 659 bytes: tags of 65 after 9 of header
    const std::string stalled =
        "HTTPClient::transferStalled : no data for 300 ms, transfer "
        "abandoned|";
    const auto cut = [](const std::string& counts, int code) {
        return "HTTPClient::getRequestFinished : transfer ended early, " + counts +
               " bytes received (network error " + std::to_string(code) + ")|";
    };
    const std::string headError = "HTTPClient::open: Head request error 404|";
    const std::string serverError = "404 HTTP input: Server error.";
    const std::string pad = "X-Padding: " + std::string(256 * 1024, 'p') + "\r\n";
    const size_t whole = SIZE_MAX, own = SIZE_MAX;
    const auto S = [](auto&&... args) { return fileScript(args...); };
    struct Case {
        const char* name;
        ScriptedHttpServer::Handler script;
        size_t tags;         // read after a successful open
        std::string failed;  // the open's error, code and message
        std::string errors;
    };
    const Case cases[] = {
        {"whole file", S(f), 10, "", ""},
        {"unknown-content HEAD", S(f, whole, own, kAnswer, 451), 10, "", ""},
        {"cut in a tag", S(f, 9 + 3 * 65 + 30), 3, "", cut("234 of 659", 2)},
        {"stall mid-body", S(f, 9 + 3 * 65 + 30, own, kHoldGet), 3, "",
         stalled + cut("234 of 659", 5)},
        // Qt drops the length then, and waits for the close.
        {"header line of 256 KiB", S(f, whole, own, kHoldGet, 200, 200, pad), 10, "", stalled},
        {"HEAD answered 404", S(f, whole, own, kAnswer, 404), 0, serverError,
         "HTTPClient::open : Received network error 203|" + headError},
        {"redirect loop", S(f, whole, own, kAnswer, 302, 200, "Location: /a.flv\r\n"), 0,
         serverError, "HTTPClient::open : more than 10 redirects|" + headError},
        {"redirect to a file", S(f, whole, own, kAnswer, 301, 200, "Location: file:///a\r\n"), 0,
         serverError, "HTTPClient::open : redirect to file:///a refused|" + headError},
        {"no answer to HEAD", S(f, whole, own, kSilentHead), 0,
         "404 HTTP input: URL cannot be reached", "HTTPClient::open: Head request timeout|"},
        {"no GET data", S(f, whole, own, kSilentGet), 0, "404 HTTP: Header request timeout",
         "HTTPClient::open: Header not received in time!|"},
        {"GET reset after a good HEAD", S(f, whole, own, kResetGet), 0,
         serverError + " The connection failed before any data came (network error 2).",
         "HTTPClient::open : Received network error 2 before any GET data|"},
        {"GET with an empty body", S(f, 0, 0), 0, serverError + " The file is empty.",
         "HTTPClient::open : GET answer with HTTP status 200 has an empty body|"},
        {"GET answered 503", S(f, 0, 0, kAnswer, 200, 503), 0,
         serverError + " The server answered the file request with HTTP status 503.",
         "HTTPClient::open : GET answered with HTTP status 503|"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The time-out that a row does not end by is long: a wait bounded by it shows.
        const bool headTimeout = c.failed.find("reached") != std::string::npos;
        HTTPClient::setTimeoutsForTesting(
            headTimeout ? 300 : 60000,
            c.failed.find("Header request") != std::string::npos ? 300 : 60000, 300);
        ScriptedHttpServer server(c.script);
        recording_log::Recorder recorder;
        HTTPClient source;
        const auto start = steady_clock::now();
        EXPECT_EQ(c.failed, open(source, server.url("/a.flv")));
        EXPECT_EQ(c.failed.empty() || headTimeout ? 0 : 404, source.getStatus());
        EXPECT_TRUE(readTags(source) == std::vector<Tag>(all.begin(), all.begin() + long(c.tags)));
        EXPECT_LT(steady_clock::now() - start, 10s);
        EXPECT_EQ(c.errors, errors(recorder));
        const std::vector<HttpRequest> requests = server.requests();
        EXPECT_EQ("HEAD", requests.at(0).method);
        EXPECT_TRUE(!c.failed.empty() || (requests.size() == 2 && requests[1].method == "GET"));
        for (const HttpRequest& request : requests) {
            EXPECT_EQ("/a.flv", request.target);
            EXPECT_NE(std::string::npos, request.head.find("\r\nx-flash-version: 9,0,47,0\r\n"));
            EXPECT_NE(std::string::npos, request.head.find("\r\nUser-Agent: Mozilla/4.0\r\n"));
        }
    }
    HTTPClient::setTimeoutsForTesting(production.first, production.second);
}

TEST(HTTPClientTest, TheCapHoldsTheBodyBackButNeverWhatAReaderWaitsForNorTheEnd) {
    HTTPClient::setUnreadCapForTesting(64 * 1024);
    std::atomic<uint64_t> sent(0);
    ScriptedHttpServer endless([&](const HttpRequest& request, HttpConnection& connection) {
        connection.send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");  // and no length
        std::string piece(64 * 1024, 0);
        for (uint64_t i = 0; request.method == "GET"; sent = i) {
            for (char& byte : piece) byte = char(i * 7 + (i >> 16)), ++i;
            if (!connection.send(piece)) return;
        }
    });
    const Bytes small = flv_bytes::file(40, 13000);
    ScriptedHttpServer pausedServer(fileScript(small));
    recording_log::Recorder recorder;
    HTTPClient source, paused;
    ASSERT_EQ("", open(source, endless.url("/a.flv")));
    ASSERT_EQ("", open(paused, pausedServer.url("/a.flv")));
    // A read that waits for bytes the cap holds back would wait until close: fail, not hang.
    std::promise<void> done;
    std::atomic<bool> fired(false);
    std::thread watchdog([&, finished = done.get_future()] {
        if (finished.wait_for(20s) == std::future_status::ready) return;
        fired = true;
        source.close();
        paused.close();
    });
    // Until the server is held back: its count stops growing.
    uint64_t last = 0;
    for (int unchanged = 0, tries = 0; unchanged < 20 && tries < 800; ++tries) {
        std::this_thread::sleep_for(25ms);
        unchanged = sent.load() == last ? unchanged + 1 : 0;
        last = sent.load();
    }
    // The cap, Qt's reply buffer and the sockets' buffers; an unbounded client takes everything.
    EXPECT_LT(last, uint64_t(48) << 20);
    std::string got(3 << 20, 0);
    EXPECT_EQ(3 << 20, source.read(reinterpret_cast<uint8_t*>(&got[0]), 3 << 20));
    for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(char(i * 7 + (i >> 16)), got[i]) << i;
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
    Bytes bytes(small.size() + 1);
    EXPECT_EQ(int32_t(small.size()), paused.read(bytes.data(), int64_t(small.size())));
    EXPECT_TRUE(std::equal(small.begin(), small.end(), bytes.begin()));
    EXPECT_EQ(-1, paused.read(bytes.data(), 1));
    done.set_value();
    watchdog.join();
    EXPECT_FALSE(fired.load()) << "a read waited for bytes held back, or for an end never seen";
    HTTPClient::setUnreadCapForTesting(HTTPClient::kDefaultUnreadCap);
}

}  // namespace
