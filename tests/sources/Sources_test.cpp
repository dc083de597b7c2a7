#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <random>
#include <thread>
#include <tuple>

#include <QCoreApplication>
#include <QIODevice>

#include <gtest/gtest.h>

#include "common/TextConversion.h"
#include "common/Threads.h"
#include "flv/FLVHeader.h"
#include "flv/FLVPacket.h"
#include "host/RecordingHost.h"
#include "sources/HTTPClient.h"
#include "sources/LocalClient.h"
#include "sources/NetworkBuffer.h"
#include "sources/RecordingLog.h"
#include "support/FlvWriter.h"
#include "support/NginxServer.h"
#include "support/ScriptedHttpServer.h"
#include "support/TempDir.h"
#include "support/TestMedia.h"

// Qt is not built for ThreadSanitizer; our own hand-overs use instrumented locks and are checked.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libQt6Core.so.6\nrace:libQt6Network.so.6\nrace:libglib-2.0.so.0\n";
}

namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;
using namespace testing_support;

// Type, timestamp and payload of a tag as a reader gives it: the payload follows the codec byte.
using Tags = std::vector<std::tuple<uint32_t, uint32_t, std::string>>;

// A header and |count| tags alternating video and audio, 40 ms apart, of patterned |payload|
// bytes; the tags a reader should make of it go to |tags|.
std::string flvFile(int count, size_t payload, Tags* tags = nullptr) {
    FlvWriter out;
    out.header();
    for (uint32_t i = 0; i < uint32_t(count); ++i) {
        std::string data(payload, i % 2 == 0 ? 0x17 : 0x2F);
        for (size_t j = 1; j < payload; ++j) data[j] = char(i * 31 + j);
        out.tag(i % 2 == 0 ? 9 : 8, data, i * 40);
        if (tags) tags->emplace_back(i % 2 == 0 ? 9 : 8, i * 40, data.substr(1));
    }
    return out.bytes();
}

// Every tag that |next| gives up to its first null.
template <typename Next>
Tags drain(Next next) {
    Tags tags;
    while (std::unique_ptr<FLVPacket> p{next()})
        tags.emplace_back(p->tagType, p->timestamp, std::string(p->data, p->data + p->dataSize));
    return tags;
}

Tags readTags(HTTPClient& source) {
    delete source.readHeader();
    return drain([&] { return source.readPacket(); });
}

// "" when |source| opens |url|, else the error's code and message.
template <typename Source>
std::string open(Source&& source, const std::string& url) {
    host::RecordingError error;
    if (source.open(utf8ToWide(url), &error)) return "";
    return std::to_string(error.code.value_or(0)) + " " + error.message.value_or("");
}

// Polls |done| for up to 10 s; its last answer.
template <typename Done>
bool eventually(Done done) {
    for (const auto deadline = steady_clock::now() + 10s;
         !done() && steady_clock::now() < deadline;)
        std::this_thread::sleep_for(10ms);
    return done();
}

TEST(LocalClientTest, OpensByAnySpellingAndReadsUpToTheFirstIncompleteTag) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("sub dir"));
    Tags tags;
    // The fourth tag is cut after two bytes of data.
    WriteTempFile(dir.file("sub dir/caf\xC3\xA9.flv"), flvFile(4, 20, &tags).substr(0, 131));
    tags.pop_back();
    WriteTempFile(dir.file("short.flv"), "FLV\x01\x05");
    const std::tuple<std::string, std::string, bool> cases[] = {
        {"missing.flv", "404 File could not be found.", false},
        {"short.flv", "", false},
        {"sub dir", "", false},  // there, but no file
        {"sub dir\\caf\xC3\xA9.flv", "", true},
    };
    for (const auto& [name, failure, complete] : cases) {
        SCOPED_TRACE(name);
        LocalClient client;
        EXPECT_EQ(failure, open(client, dir.file(name)));
        EXPECT_EQ(complete, std::unique_ptr<FLVHeader>(client.readHeader()) != nullptr);
        EXPECT_TRUE(drain([&] { return client.readPacket(); }) == (complete ? tags : Tags()));
        // Closing ends reading, also of a medium not read yet, and may come twice.
        EXPECT_EQ(failure, open(client, dir.file(name)));
        EXPECT_TRUE(client.close() && client.close());
        EXPECT_TRUE(client.readHeader() == nullptr && client.readPacket() == nullptr);
    }
}

constexpr uint64_t kLimit = NetworkBuffer::historyLimit;

std::string pattern(size_t count, uint32_t seed) {
    std::string bytes(count, 0);
    for (size_t i = 0; i < count; ++i) bytes[i] = char((seed + i) * 2654435761u >> 24);
    return bytes;
}

void append(NetworkBuffer& buffer, const std::string& bytes) {
    buffer.append(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// |length| bytes or fewer, as read; one more byte of the result tells a write past the count.
std::string read(NetworkBuffer& buffer, uint32_t length) {
    std::string out(length + 1, '\xEE');
    const uint32_t got = buffer.read(reinterpret_cast<uint8_t*>(&out[0]), length);
    EXPECT_EQ('\xEE', out[got]) << "wrote past the count";
    return out.substr(0, got);
}

// Announces more than |bytes| and gives them in pieces of at most |piece|, or fails at once.
struct Device : QIODevice {
    Device(const std::string& all, size_t most, bool failing)
        : bytes(all), piece(most), fail(failing) {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    qint64 bytesAvailable() const override { return qint64(bytes.size() - given + 100); }
    bool isSequential() const override { return true; }
    qint64 readData(char* data, qint64 max) override {
        const size_t n = fail ? 0 : bytes.copy(data, std::min(size_t(max), piece), given);
        given += n;
        return fail ? -1 : qint64(n);
    }
    qint64 writeData(const char*, qint64) override { return -1; }
    const std::string bytes;
    const size_t piece, fail;
    size_t given = 0;
};

TEST(NetworkBufferTest, FollowsTheModelUnderRandomAppendsReadsSeeksAndClears) {
    std::mt19937 random(20261205);
    NetworkBuffer buffer;
    std::string stream;  // every byte appended; below |discarded| only to keep offsets
    uint64_t discarded = 0, position = 0;
    int step = 0, drops = 0, failures = 0;
    recording_log::Recorder recorder;
    // Sizes up to 3 MiB cross the history limit several times within about 100 MiB.
    std::uniform_int_distribution<size_t> size(0, 3 << 20);
    // First the history is kept up to the limit, then dropped one byte past it.
    const uint64_t first[] = {kLimit + 10, kLimit, 1};
    const auto length = [&] {
        return step < 3 ? first[step] : random() % 3 == 0 ? random() % 64 : size(random);
    };
    for (; step < 400; ++step) {
        SCOPED_TRACE(step);
        const unsigned what = step < 3 ? (step ? 2 : 0) : random() % 100 == 0 ? 4 : random() % 4;
        if (what == 4) {
            // The held bytes go; their stream offsets are taken anew.
            buffer.clear();
            stream.resize(discarded);
            position = discarded;
        } else if (what == 0) {
            const std::string bytes = pattern(length(), step);
            append(buffer, bytes);
            stream += bytes;
        } else if (what == 1) {
            Device device(pattern(length(), step), random() % 2 ? SIZE_MAX : length() + 1,
                          random() % 8 == 0);
            const uint64_t limit = random() % 2 ? UINT64_MAX : length();
            buffer.readFromNetwork(&device, limit);
            failures += device.fail;
            ASSERT_LE(device.given, limit);
            stream += device.bytes.substr(0, device.given);
        } else if (what == 2) {
            const uint32_t n = uint32_t(length());
            ASSERT_EQ(stream.substr(position, n), read(buffer, n));
            position = std::min<uint64_t>(position + n, stream.size());
            if (position - discarded > kLimit) ++drops, discarded = position;
        } else {
            // Callers seek only to held offsets; an offset below the dropped bytes is ignored.
            const int64_t target =
                int64_t(discarded) - 100 + int64_t(random() % (stream.size() - discarded + 101));
            const bool held = target >= int64_t(discarded) && target < int64_t(stream.size());
            if (held || target < int64_t(discarded)) buffer.seek(target);
            if (held) position = uint64_t(target);
        }
        ASSERT_EQ(stream.size() - position, buffer.available());
        ASSERT_EQ(position, buffer.position());
        ASSERT_EQ(discarded, buffer.discardedBytes());
        ASSERT_EQ(stream.size() - discarded, buffer.heldBytes());
        const int64_t start = int64_t(discarded), end = int64_t(stream.size());
        EXPECT_TRUE((start == end || buffer.isInBuffer(start)) && buffer.isReachable(end + 32767));
        EXPECT_FALSE(buffer.isInBuffer(start - 1) || buffer.isInBuffer(end) ||
                     buffer.isReachable(end + 32768) || buffer.isReachable(start - 1));
    }
    EXPECT_GE(drops, 2) << "the run should have dropped history repeatedly";
    EXPECT_EQ(size_t(failures), recorder.log().lines(2).size());
    EXPECT_EQ(size_t(drops), recorder.log().lines(4).size());
}

TEST(NetworkBufferTest, WaitForDataReturnsWhenBytesArriveOrTheStreamEnds) {
    NetworkBuffer buffer;
    std::thread producer([&] {
        for (int i = 0; i < 10; ++i) append(buffer, pattern(100, i));
    });
    // Generous time-outs: only a lost wake-up would make a wait last that long.
    EXPECT_TRUE(buffer.waitForData(1000, 60000));
    producer.join();
    EXPECT_FALSE(buffer.waitForData(1001, 0));
    std::thread ender([&] { buffer.setEndOfStream(true); });
    EXPECT_FALSE(buffer.waitForData(2000, 60000));
    ender.join();

    // wakeWaiters releases a waiter that nothing else would release.
    NetworkBuffer other;
    std::atomic<bool> released(false);
    std::thread waker([&] {
        while (!released.load()) other.wakeWaiters(), std::this_thread::yield();
    });
    EXPECT_FALSE(other.waitForData(1, 60000));
    released = true;
    waker.join();
}

TEST(FLVNetworkReadTest, GivesTheCompleteTagsWhateverPiecesTheBytesComeInAndWhereTheyEnd) {
    Tags all;
    const std::string file = flvFile(6, 30, &all);  // tags of 45 bytes after 9 of header
    // Pieces of 1, 7 or a random size; or, at a few ends, all at once and then only the stop event.
    for (size_t end = 0; end <= file.size(); ++end) {
        for (const size_t piece : {size_t(1), size_t(7), size_t(0), file.size()}) {
            if (piece == file.size() && end % 50 != 7) continue;
            NetworkBuffer buffer;
            PEvent stop;
            std::thread producer([&] {
                std::mt19937 random{unsigned(end)};
                for (size_t at = 0, n = 0; at < end; at += n) {
                    n = std::min(end - at, piece ? piece : 1 + random() % 100);
                    append(buffer, file.substr(at, n));
                }
                if (piece != file.size()) return buffer.setEndOfStream(true);
                EXPECT_FALSE(buffer.waitForData(end + 1, 300));  // the reader waits meanwhile
                stop.set();
            });
            const std::unique_ptr<FLVHeader> header(FLVHeader::read(buffer, stop));
            const Tags tags = drain([&] { return FLVPacket::read(buffer, stop); });
            EXPECT_EQ(piece == file.size(), stop.isSignalled()) << "gave up before the stop";
            producer.join();
            const long complete = end < 9 ? 0 : long(end - 9) / 45;
            EXPECT_EQ(end >= 9, header != nullptr) << end;
            EXPECT_TRUE(tags == Tags(all.begin(), all.begin() + complete))
                << "end " << end << ", pieces of " << piece;
        }
    }
    // A tag without data ends the medium.
    NetworkBuffer buffer;
    PEvent stop;
    append(buffer, FlvWriter().tag(9, "").tag(9, "\1", 40).bytes());
    buffer.setEndOfStream(true);
    EXPECT_EQ(nullptr, FLVPacket::read(buffer, stop));
}

typedef std::vector<int64_t> Ints;

long countEntries(const char* folder) {
    return std::distance(std::filesystem::directory_iterator(folder), {});
}

// The ERROR lines logged so far, each followed by "|", without the class name.
std::string errors(recording_log::Recorder& recorder) {
    std::string all;
    for (const std::wstring& line : recorder.log().lines(1)) all += wideToUtf8(line) + "|";
    for (size_t at; (at = all.find("HTTPClient::")) != std::string::npos;) all.erase(at, 12);
    return all;
}

class NginxHTTPClientTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        const std::string root = TestMedia::tempDir(), bytes = flvFile(300, 1000, &tags);
        WriteTempFile(root + "/x.flv", bytes);
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

    static inline Tags tags;
    static inline int64_t size = 0;
    static inline NginxServer* server = nullptr;
};

TEST_F(NginxHTTPClientTest, DeliversTheFileDirectlyAndAfterRedirects) {
    for (const char* path : {"/x.flv", "/r1"}) {
        SCOPED_TRACE(path);
        recording_log::Recorder recorder;
        HTTPClient source;
        ASSERT_EQ("", open(source, server->url(path)));
        uint8_t bytes[9];
        EXPECT_TRUE(source.seek(0, 0x10000) == size && source.getContentType() == L"video/x-flv");
        EXPECT_TRUE(source.read(bytes, 9) == 9 && std::memcmp(bytes, "FLV", 3) == 0);
        EXPECT_EQ((Ints{9, -1, 0}),
                  (Ints{source.seek(0, 1), source.seek(0, 2), source.seek(-9, 1)}));
        EXPECT_TRUE(readTags(source) == tags);
        EXPECT_EQ("", errors(recorder));
        // At the end nothing more is read nor waited for, not even within reach (size + 10).
        EXPECT_EQ(
            (Ints{-1, -1, -1, size - 1, 1, 0, -1}),
            (Ints{source.read(bytes, 1), source.seek(size + 40000, 0), source.seek(size + 10, 0),
                  source.seek(-1, 1), source.close(), source.read(bytes, 1), source.seek(0, 0)}));
        EXPECT_EQ(nullptr, source.readPacket());
    }
}

// Regression: the first HTTP sources of a process, opened at the same moment, each started a Qt
// application of their own (or replaced the starting one's thread, which ends the process).
TEST_F(NginxHTTPClientTest, SourcesOpenedAtOnceShareOneApplicationAndLeaveNothingBehind) {
    // Qt keeps a descriptor of its own from the first HTTP use of the process on.
    ASSERT_EQ("", open(HTTPClient(), server->url("/x.flv")));
    const long threads = countEntries("/proc/self/task"), fds = countEntries("/proc/self/fd");
    testing::internal::CaptureStderr();  // whatever Qt or the client might print
    for (int round = 0; round < 10; ++round) {
        std::promise<void> start;
        const std::shared_future<void> go = start.get_future().share();
        std::vector<Tags> got(6);
        std::vector<std::thread> sources;
        for (int i = 0; i < 6; ++i) {
            sources.emplace_back([&got, i, go, missing = i == round % 6 && round % 3 == 2] {
                go.wait();
                HTTPClient source;
                const std::string url = server->url(missing ? "/missing.flv" : "/x.flv");
                EXPECT_NE(missing, source.open(utf8ToWide(url), nullptr));
                got[i] = missing ? tags : readTags(source);
            });
        }
        start.set_value();
        for (std::thread& source : sources) source.join();
        for (const Tags& mine : got) EXPECT_TRUE(mine == tags) << "round " << round;
    }
    EXPECT_EQ("", testing::internal::GetCapturedStderr()) << "the plug-in printed on stderr";
    EXPECT_EQ(nullptr, QCoreApplication::instance()) << "the last source left the application";
    // Qt's threads take a moment to end; one of an earlier test may end meanwhile.
    EXPECT_TRUE(eventually([&] { return countEntries("/proc/self/task") <= threads; }));
    EXPECT_LE(countEntries("/proc/self/fd"), fds);
}

enum Mode { kAnswer, kSilentHead, kSilentGet, kResetGet, kHoldGet };

// Answers HEAD with |headStatus| and the file's length, and GET with |getStatus|, the header lines
// |extra| (a redirect's Location goes to HEAD) and the file cut after |cut| bytes (and announced
// empty when cut to nothing).
ScriptedHttpServer::Handler fileScript(const std::string& file, size_t cut = SIZE_MAX,
                                       Mode mode = kAnswer, int headStatus = 200,
                                       int getStatus = 200, const std::string& extra = "") {
    const size_t length = cut ? file.size() : 0;
    return [=, body = file.substr(0, cut)](const HttpRequest& request, HttpConnection& connection) {
        const bool head = request.method == "HEAD", redirect = headStatus / 100 == 3;
        if (mode == (head ? kSilentHead : kSilentGet)) return connection.holdOpen();
        const std::string answer =
            head ? ScriptedHttpServer::responseHead(headStatus, length, redirect ? extra : "")
                 : ScriptedHttpServer::responseHead(getStatus, length, extra) + body;
        if ((head || mode != kResetGet) && connection.send(answer) && !head && mode == kHoldGet) {
            connection.holdOpen();
        }
    };
}

TEST(HTTPClientTest, TransfersAndFailedOpensAsTheServerScriptsThem) {
    const auto production = HTTPClient::timeoutsForTesting();
    EXPECT_EQ(std::make_pair(15000, 15000), production);
    Tags all;
    const std::string f = flvFile(10, 50, &all);  // 659 bytes: tags of 65 after 9 of header
    const std::string stalled = "transferStalled : no data for 300 ms, transfer abandoned|",
                      cut = "getRequestFinished : transfer ended early, 234 of 659 bytes received",
                      headError = "open: Head request error 404|",
                      serverError = "404 HTTP input: Server error.";
    const std::string pad = "X-Padding: " + std::string(256 * 1024, 'p') + "\r\n";
    const size_t whole = SIZE_MAX, inATag = 9 + 3 * 65 + 30;
    // Name, script, tags read after a good open, the open's error (code, message), ERROR lines.
    const auto S = [&f](auto... args) { return fileScript(f, args...); };
    const std::tuple<const char*, ScriptedHttpServer::Handler, long, std::string, std::string>
        cases[] = {
            {"unknown-content HEAD, whole file", S(whole, kAnswer, 451), 10, "", ""},
            {"cut in a tag", S(inATag), 3, "", cut + " (network error 2)|"},
            {"stall mid-body", S(inATag, kHoldGet), 3, "", stalled + cut + " (network error 5)|"},
            // Qt drops the length then, and waits for the close.
            {"header line of 256 KiB", S(whole, kHoldGet, 200, 200, pad), 10, "", stalled},
            {"HEAD answered 404", S(whole, kAnswer, 404), 0, serverError,
             "open : Received network error 203|" + headError},
            {"redirect loop", S(whole, kAnswer, 302, 200, "Location: /a.flv\r\n"), 0, serverError,
             "open : more than 10 redirects|" + headError},
            {"redirect to a file", S(whole, kAnswer, 301, 200, "Location: file:///a\r\n"), 0,
             serverError, "open : redirect to file:///a refused|" + headError},
            {"no answer to HEAD", S(whole, kSilentHead), 0, "404 HTTP input: URL cannot be reached",
             "open: Head request timeout|"},
            {"no GET data", S(whole, kSilentGet), 0, "404 HTTP: Header request timeout",
             "open: Header not received in time!|"},
            {"GET reset after a good HEAD", S(whole, kResetGet), 0,
             serverError + " The connection failed before any data came (network error 2).",
             "open : Received network error 2 before any GET data|"},
            {"GET with an empty body", S(0), 0, serverError + " The file is empty.",
             "open : GET answer with HTTP status 200 has an empty body|"},
            {"GET answered 503", S(0, kAnswer, 200, 503), 0,
             serverError + " The server answered the file request with HTTP status 503.",
             "open : GET answered with HTTP status 503|"},
        };
    for (const auto& [name, script, tags, failed, logged] : cases) {
        SCOPED_TRACE(name);
        // The time-out that a row does not end by is long: a wait bounded by it shows.
        const bool headTimeout = failed.find("reached") != std::string::npos;
        HTTPClient::setTimeoutsForTesting(
            headTimeout ? 300 : 60000,
            failed.find("Header request") != std::string::npos ? 300 : 60000, 300);
        ScriptedHttpServer server(script);
        recording_log::Recorder recorder;
        HTTPClient source;
        const auto start = steady_clock::now();
        EXPECT_EQ(failed, open(source, server.url("/a.flv")));
        EXPECT_EQ(failed.empty() || headTimeout ? 0 : 404, source.getStatus());
        EXPECT_TRUE(readTags(source) == Tags(all.begin(), all.begin() + tags));
        EXPECT_LT(steady_clock::now() - start, 10s);
        EXPECT_EQ(logged, errors(recorder));
        const std::vector<HttpRequest> requests = server.requests();
        EXPECT_EQ("HEAD", requests.at(0).method);
        EXPECT_TRUE(!failed.empty() || (requests.size() == 2 && requests[1].method == "GET"));
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
    const std::string small = flvFile(40, 13000);
    ScriptedHttpServer pausedServer(fileScript(small));
    recording_log::Recorder recorder;
    HTTPClient source, paused;
    ASSERT_EQ("", open(source, endless.url("/a.flv")) + open(paused, pausedServer.url("/a.flv")));
    // A read that waits for bytes the cap holds back would wait until close: fail, not hang.
    std::promise<void> done;
    bool fired = false;
    std::thread watchdog([&, finished = done.get_future()] {
        fired = finished.wait_for(20s) == std::future_status::timeout && source.close() &&
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
    int64_t at = 3 << 20;
    while (at < (4 << 20) && source.seek(3 << 20, 0) == (3 << 20) && source.seek(at, 0) == at)
        at += 16 * 1024;
    EXPECT_EQ(4 << 20, at);

    // Qt ends the GET while all but the cap's 64 KiB of it are still in the reply; every byte
    // still comes, in order, and then the end.
    EXPECT_TRUE(eventually([&] {
        const std::vector<std::wstring> lines = recorder.log().lines(3);
        return std::count(lines.begin(), lines.end(),
                          L"HTTPClient::getRequestFinished - 455073 bytes left") == 1;
    }));
    std::string bytes(small.size() + 1, 0);
    auto* const into = reinterpret_cast<uint8_t*>(&bytes[0]);
    EXPECT_EQ(int32_t(small.size()), paused.read(into, int64_t(small.size())));
    EXPECT_TRUE(small == bytes.substr(0, small.size()));
    EXPECT_EQ(-1, paused.read(into, 1));
    done.set_value();
    watchdog.join();
    EXPECT_FALSE(fired) << "a read waited for bytes held back, or for an end never seen";
    HTTPClient::setUnreadCapForTesting(HTTPClient::kDefaultUnreadCap);
}

}  // namespace
