#include "common/CBBLog.h"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <regex>
#include <thread>

#include <gtest/gtest.h>
#include <boost/make_shared.hpp>

#include "common/Log.h"
#include "support/LogTestEnvironment.h"

class CBBLogTestPeer {
  public:
    static std::deque<std::string> queue(CBBLog& log) {
        PScopedLock guard(log.queueLock_);
        return log.queue_;
    }
    // Makes the writer look 8 MiB behind, or no longer.
    static void fallBehind(CBBLog& log, bool behind) {
        PScopedLock guard(log.queueLock_);
        log.pendingBytes_ += behind ? size_t(8) << 20 : -(size_t(8) << 20);
    }
    // Waits until the writer has written every queued line; false after ten seconds.
    static bool drain(CBBLog& log) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (; std::chrono::steady_clock::now() < end; std::this_thread::yield()) {
            PScopedLock guard(log.queueLock_);
            if (log.pendingBytes_ == 0) return true;
        }
        return false;
    }
};

namespace {

typedef std::vector<std::string> Lines;

// The lines of a log file without their time stamps ("[ERROR] - text"); a line of another form
// fails the test.
Lines parse(const std::string& path) {
    static const std::regex kShape(R"(20\d\d/(0[1-9]|1[0-2])/(0[1-9]|[12]\d|3[01]) )"
                                   R"([0-2]\d:[0-5]\d:[0-5]\d\.\d{3} \[.{5}\] - )");
    Lines out;
    for (const std::string& line : LogFileLines(path)) {
        const bool ok = std::regex_match(line.substr(0, 34), kShape);
        EXPECT_TRUE(ok) << line;
        if (ok) out.push_back(line.substr(24));
    }
    return out;
}

class CBBLogTest : public ::testing::Test {
  protected:
    // Destroying the log writes every queued line.
    Lines finish() {
        log.reset();
        return parse(env.logFile("ZOVOzudo.log"));
    }

    LogTestEnvironment env;
    std::unique_ptr<CBBLog> log{new CBBLog(L"ZOVOzudo.log")};
};

TEST_F(CBBLogTest, ThresholdIsReadFromTheSettingsOnceAndLinesShowTheirLevel) {
    log->Log(4, L"debug");
    log->Log(boost::wformat(L"warn %1%") % 2, 2);
    EXPECT_FALSE(std::filesystem::exists(env.appData()));  // nothing is created for no line
    env.setLogLevel(0);
    log->Log(1, L"error");  // the missing level read first, as ERROR, stays
    Lines expected{"[ERROR] - error"};
    EXPECT_EQ(finish(), expected);
    log.reset(new CBBLog(L"ZOVOzudo.log"));
    log->Log(1, L"error");
    log->Log(boost::wformat(L"fatal"), 0);
    expected.push_back("[FATAL] - common_tests - fatal");
    // A stored -1 writes nothing and is read again on every call.
    env.setLogLevel(0xFFFFFFFFu);
    log.reset(new CBBLog(L"ZOVOzudo.log"));
    log->Log(0, L"fatal");
    log->Log(boost::wformat(L"fatal"), 0);
    env.setLogLevel(4);
    for (int level = 4; level >= 0; --level) log->Log(level, L"m%d %ls", level, L"\u00e9");
    expected.insert(expected.end(),
                    {"[DEBUG] - m4 \u00e9", "[INFO ] - m3 \u00e9", "[WARN ] - m2 \u00e9",
                     "[ERROR] - m1 \u00e9", "[FATAL] - common_tests - m0 \u00e9"});
    EXPECT_EQ(finish(), expected);
    // FATAL lines, and only they, are copied into the error log.
    EXPECT_EQ(parse(env.logFile("VantoErrors.log")), (Lines{expected[1], expected.back()}));
}

TEST(CBBLogFileTest, MovedAsideBeyond512KiBAtStartAndAt512KiBWhileWriting) {
    const struct {
        const char* file;
        size_t before, after, back;  // sizes around one FATAL line of 200 bytes
    } cases[] = {{"ZOVOzudo.log", 524087, 524287, 0},
                 {"ZOVOzudo.log", 524088, 0, 524288},
                 {"ZOVOzudo.log", 524288, 0, 524488},
                 {"VantoErrors.log", 524289, 200, 524289}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " of " + std::to_string(c.before));
        LogTestEnvironment env;
        std::filesystem::create_directories(env.logFile(""));
        WriteTempFile(env.logFile(c.file), std::string(c.before, 'q'));
        CBBLog(L"ZOVOzudo.log").Log(0, L"%ls", std::wstring(150, L'm').c_str());
        EXPECT_EQ(ReadTempFile(env.logFile(c.file)).size(), c.after);
        EXPECT_EQ(ReadTempFile(env.logFile(c.file + std::string(".back"))).size(), c.back);
    }
}

TEST(CBBLogFileTest, TriesTenNamesAndThenDropsLines) {
    for (int blocked : {9, 10}) {
        LogTestEnvironment env;
        // Folders of the log's names cannot be opened as files.
        for (int i = 0; i < blocked; ++i) {
            std::filesystem::create_directories(
                env.logFile("ZOVOzudo.log" + (i ? std::to_string(i) : "")));
        }
        CBBLog(L"ZOVOzudo.log").Log(0, L"fatal");
        EXPECT_EQ(LogFileLines(env.logFile("ZOVOzudo.log9")).size(), blocked == 9 ? 1u : 0u);
        // The error log does not share the log file's trouble.
        EXPECT_EQ(LogFileLines(env.logFile("VantoErrors.log")).size(), 1u) << blocked;
    }
}

TEST_F(CBBLogTest, ConcurrentLoggersLoseAndMixNoLine) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 1000; ++i) log->Log(1, L"%d %d", t, i);
        });
    }
    for (std::thread& thread : threads) thread.join();
    std::vector<int> next(4, 0);
    for (const std::string& line : finish()) {
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "[ERROR] - %d %d", &t, &i), 2) << line;
        ASSERT_TRUE(t >= 0 && t < 4 && i == next[t]++) << line;
    }
    EXPECT_EQ(next, std::vector<int>(4, 1000));
}

TEST_F(CBBLogTest, LinesDroppedBehindASlowWriterAreCounted) {
    const std::string note = " lines dropped while the log writer was 8 MiB behind";
    log->Log(1, L"before");
    for (int dropped : {3, 1, 1}) {
        CBBLogTestPeer::fallBehind(*log, true);
        for (int i = 0; i < dropped; ++i) log->Log(1, L"dropped");
        CBBLogTestPeer::fallBehind(*log, false);
        if (dropped == 3) log->Log(1, L"after");
    }
    // The last note comes from the destructor.
    EXPECT_EQ(finish(), (Lines{"[ERROR] - before", "[WARN ] - CBBLog::Log : 3" + note,
                               "[ERROR] - after", "[WARN ] - CBBLog::Log : 2" + note}));
}

// Another process that shares the file moves it aside and starts a new one, twice: the lines
// written after each move go to the file at the name, so none is in a file that is thrown away.
TEST_F(CBBLogTest, AWriterFollowsTheFileThatAnotherMovedAside) {
    const std::string file = env.logFile("ZOVOzudo.log");
    for (const char* step : {"one", "two"}) {
        log->Log(1, L"%s", step);
        ASSERT_TRUE(CBBLogTestPeer::drain(*log));
        ASSERT_EQ(std::rename(file.c_str(), (file + ".back").c_str()), 0);
        WriteTempFile(file, std::string("2024/01/31 12:34:56.789 [ERROR] - other ") + step + "\n");
    }
    log->Log(1, L"three");
    EXPECT_EQ(finish(), (Lines{"[ERROR] - other two", "[ERROR] - three"}));
    EXPECT_EQ(parse(file + ".back"), (Lines{"[ERROR] - other one", "[ERROR] - two"}));
}

// Two writers of one file (two log objects with a writer thread each, as two processes) through
// several moves aside: each finds the other's moves, so the lines of both since ".back" was
// begun are all there, without a gap, up to each writer's last line.
TEST_F(CBBLogTest, TwoWritersOfOneFileLoseNoLineAcrossRotations) {
    std::unique_ptr<CBBLog> other(new CBBLog(L"ZOVOzudo.log"));
    const std::wstring padding(60, L'p');
    int count[2] = {0, 0};
    for (int step = 0; step < 15000; ++step) {  // about 2.3 MB together: four moves
        // Unlike paces, so that the writers reach the size at different times.
        for (int w = 0; w < (step % 3 == 0 ? 2 : 1); ++w) {
            (w == 0 ? *log : *other).Log(1, L"%d %d %d %ls", w, count[w]++, step, padding.c_str());
        }
        if (step % 30 == 29) {  // keeps the writer threads abreast, as two processes would be
            ASSERT_TRUE(CBBLogTestPeer::drain(*log) && CBBLogTestPeer::drain(*other));
        }
    }
    other.reset();
    const Lines current = finish();
    Lines written = parse(env.logFile("ZOVOzudo.log.back"));
    written.insert(written.end(), current.begin(), current.end());
    int firstStep[2] = {-1, -1}, next[2] = {-1, -1};
    for (const std::string& line : written) {
        int w = -1, i = -1, step = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "[ERROR] - %d %d %d", &w, &i, &step), 3) << line;
        ASSERT_TRUE((w == 0 || w == 1) && (next[w] == -1 || i == next[w])) << line;
        if (next[w] == -1) firstStep[w] = step;
        next[w] = i + 1;
    }
    EXPECT_TRUE(next[0] == count[0] && next[1] == count[1]);
    // Neither writer's lines went into a file that the other then threw away.
    EXPECT_LE(std::abs(firstStep[0] - firstStep[1]), 90);
}

TEST_F(CBBLogTest, PrintfMessagesAreCutAt2047CharactersAndBadFormatsStillGiveALine) {
    std::string accents;
    for (int i = 0; i < 2047; ++i) accents += "\u00e9";
    for (size_t length : {2047, 2048}) log->Log(1, L"%ls", std::wstring(length, L'x').c_str());
    log->Log(1, L"%ls", std::wstring(3000, L'\u00e9').c_str());      // characters, not bytes
    log->Log(boost::wformat(L"%1%") % std::wstring(5000, L'w'), 1);  // taken whole
    log->Log(1, nullptr);
    log->Log(boost::wformat(L"%1% and %2%") % L"one", 1);
    // A narrow argument that the C locale cannot convert: the format itself is logged.
    log->Log(1, L"narrow %s here", "caf\xc3\xa9");
    const std::string x = "[ERROR] - " + std::string(2047, 'x');
    EXPECT_EQ(finish(), (Lines{x, x, "[ERROR] - " + accents, "[ERROR] - " + std::string(5000, 'w'),
                               "[ERROR] - ", "[ERROR] - one and ", "[ERROR] - narrow %s here"}));
}

TEST_F(CBBLogTest, MemoryFormKeepsOnlyItsBudget) {
    CBBLog memory(100, false);
    for (int i = 0; i < 50; ++i) memory.Log(1, L"line %02d", i);  // 42 bytes each
    memory.Log(0, L"fatal");
    const std::deque<std::string> queue = CBBLogTestPeer::queue(memory);
    ASSERT_EQ(queue.size(), 3u);
    EXPECT_EQ(queue[0], "[...]\n");
    EXPECT_EQ(queue[1].substr(24), "[ERROR] - line 49\n");
    EXPECT_EQ(queue[2].substr(24), "[FATAL] -  - fatal\n");
    EXPECT_FALSE(std::filesystem::exists(env.appData()));
    // Without a budget it is a file log named after the process, with the process id.
    CBBLog(0, true).Log(1, L"error");
    const std::vector<std::string> written = LogFileLines(env.logFile("common_tests.log"));
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].substr(24), "[ERROR] " + std::to_string(getpid()) + " - error");
}

class LogTest : public ::testing::Test {
  protected:
    void TearDown() override { SetGlobalLog(boost::shared_ptr<CBBLog>()); }
    void callEveryEntryPoint() {
        LogDebug(L"d"), LogInfo(L"i"), LogWarn(L"w"), LogError(L"e"), LogFatal(L"f");
        LogDebug(boost::wformat(L"d")), LogInfo(boost::wformat(L"i"));
        LogWarn(boost::wformat(L"w")), LogError(boost::wformat(L"e"));
        LogFatal(boost::wformat(L"f"));
    }
    boost::shared_ptr<CBBLog> publish(uint32_t level) {
        env.setLogLevel(level);
        boost::shared_ptr<CBBLog> log = boost::make_shared<CBBLog>(1 << 20, false);
        SetGlobalLog(log);
        return log;
    }
    // The lines that a memory log keeps, without their time stamps and "\n".
    static Lines kept(const boost::shared_ptr<CBBLog>& log) {
        Lines out;
        for (const std::string& line : CBBLogTestPeer::queue(*log)) {
            out.push_back(line.substr(24, line.size() - 25));
        }
        return out;
    }

    LogTestEnvironment env;
};

TEST_F(LogTest, EntryPointsForwardTheirLevelAndRtmpLogCutsAndDecodes) {
    boost::shared_ptr<CBBLog> log = publish(4);
    callEveryEntryPoint();
    Lines expected;
    for (int i = 0; i < 2; ++i) {
        expected.insert(expected.end(), {"[DEBUG] - d", "[INFO ] - i", "[WARN ] - w", "[ERROR] - e",
                                         "[FATAL] -  - f"});
    }
    // RtmpLog's level 0 is DEBUG, 2 WARN, any other ERROR.
    const struct {
        int level;
        std::string text, logged;
    } cases[] = {{0, std::string(1023, 'a'), "[DEBUG] - " + std::string(1023, 'a')},
                 {1, std::string(1024, 'a'), "[ERROR] - " + std::string(1023, 'a')},
                 {2, "caf\xc3\xa9 \xe2\x82\xac", "[WARN ] - caf\xc3\xa9 \xe2\x82\xac"},
                 {3, "abc\xc3(def", "[ERROR] - abc"},
                 // The cut at 1023 bytes splits "\u00e9": decoding stops before it.
                 {-1, std::string(1022, 'a') + "\xc3\xa9", "[ERROR] - " + std::string(1022, 'a')},
                 {100, "x", "[ERROR] - x"}};
    for (const auto& c : cases) {
        RtmpLog(c.level, "%s", c.text.c_str());
        expected.push_back(c.logged);
    }
    EXPECT_EQ(kept(log), expected);
}

// The entry points remember the threshold of the current log only: a log published later is
// asked at its own level, in either direction; an older live log is never brought back.
TEST_F(LogTest, OnlyTheNewestLiveLogIsCalledAndOnlyAtItsThreshold) {
    callEveryEntryPoint();  // nothing published yet
    boost::shared_ptr<CBBLog> quiet = publish(1);
    callEveryEntryPoint();
    RtmpLog(0, "%s", "debug"), RtmpLog(1, "error");
    EXPECT_EQ(kept(quiet), (Lines{"[ERROR] - e", "[FATAL] -  - f", "[ERROR] - e", "[FATAL] -  - f",
                                  "[ERROR] - error"}));
    EXPECT_TRUE(!RtmpLogEnabled(0) && RtmpLogEnabled(1));
    boost::shared_ptr<CBBLog> loud = publish(4);
    LogDebug(L"reaches the new log");
    SetGlobalLog(quiet);
    EXPECT_TRUE(!LogEnabled(LOG_LEVEL_DEBUG) && LogEnabled(LOG_LEVEL_ERROR));
    quiet.reset();
    callEveryEntryPoint();
    RtmpLog(1, "r");
    EXPECT_FALSE(LogEnabled(LOG_LEVEL_FATAL) || GetGlobalLog());
    EXPECT_EQ(kept(loud), Lines{"[DEBUG] - reaches the new log"});
}

}  // namespace
