#include "common/CBBLog.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/LogTestEnvironment.h"

// Reads the queue that only the memory form keeps, and makes the writer look far behind.
class CBBLogTestPeer {
  public:
    static std::deque<std::string> queue(CBBLog& log) {
        PScopedLock guard(log.queueLock_);
        return log.queue_;
    }
    static void fallBehind(CBBLog& log, bool behind) {
        PScopedLock guard(log.queueLock_);
        log.pendingBytes_ += behind ? kBehind : -kBehind;
    }
    static constexpr size_t kBehind = size_t(8) << 20;
    // Waits until the writer has written every queued line; false after ten seconds.
    static bool drain(CBBLog& log) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            {
                PScopedLock guard(log.queueLock_);
                if (log.pendingBytes_ == 0) return true;
            }
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::yield();
        }
    }
};

namespace {

typedef std::vector<std::pair<std::string, std::string>> Lines;  // level field, message

// "2024/01/31 12:34:56.789 [ERROR] - " is 34 characters.
const size_t kPrefixLength = 34;

// The level fields and messages of a log file; a line of another form fails the test.
Lines parse(const std::string& path) {
    static const char kShape[] = "0000/00/00 00:00:00.000 [?????] - ";
    Lines out;
    for (const std::string& line : LogFileLines(path)) {
        bool ok = line.size() >= kPrefixLength;
        for (size_t i = 0; ok && i < kPrefixLength; ++i) {
            ok = kShape[i] == '0' ? isdigit(static_cast<unsigned char>(line[i])) != 0
                                  : kShape[i] == '?' || line[i] == kShape[i];
        }
        EXPECT_TRUE(ok && line.compare(5, 2, "00") != 0 && line.compare(5, 2, "12") <= 0) << line;
        if (ok) out.emplace_back(line.substr(25, 5), line.substr(kPrefixLength));
    }
    return out;
}

// A message that makes an ERROR line of exactly |length| bytes, "\n" included.
std::wstring messageForLineOf(size_t length) {
    return std::wstring(length - kPrefixLength - 1, L'm');
}

class CBBLogTest : public ::testing::Test {
  protected:
    // Destroying the log writes every queued line.
    Lines finish(const std::string& name = "ZOVOzudo.log") {
        log.reset();
        return parse(env.logFile(name));
    }

    LogTestEnvironment env;
    std::unique_ptr<CBBLog> log{new CBBLog(L"ZOVOzudo.log")};
};

TEST_F(CBBLogTest, LineFormatAtEveryLevel) {
    env.setLogLevel(4);
    for (int level = 0; level <= 4; ++level) log->Log(level, L"message %d %ls", level, L"w\u00e9");
    const Lines expected = {{"FATAL", "common_tests - message 0 w\u00e9"},
                            {"ERROR", "message 1 w\u00e9"},
                            {"WARN ", "message 2 w\u00e9"},
                            {"INFO ", "message 3 w\u00e9"},
                            {"DEBUG", "message 4 w\u00e9"}};
    EXPECT_EQ(finish(), expected);
    // The FATAL line, and only it, is copied into the error log.
    EXPECT_EQ(LogFileLines(env.logFile("VantoErrors.log")),
              std::vector<std::string>{LogFileLines(env.logFile("ZOVOzudo.log"))[0]});
}

TEST_F(CBBLogTest, WithoutLogLevelNothingBelowErrorIsWrittenOrCreated) {
    log->Log(4, L"debug");
    log->Log(3, L"info");
    log->Log(boost::wformat(L"warn %1%") % 2, 2);
    EXPECT_EQ(log->GetThreshold(), 1);
    EXPECT_FALSE(TempPathExists(env.appData()));
    log->Log(1, L"error");
    EXPECT_EQ(finish(), (Lines{{"ERROR", "error"}}));
}

TEST_F(CBBLogTest, LogLevelZeroWritesOnlyFatal) {
    env.setLogLevel(0);
    log->Log(1, L"error");
    log->Log(boost::wformat(L"fatal"), 0);
    EXPECT_EQ(finish(), (Lines{{"FATAL", "common_tests - fatal"}}));
}

TEST_F(CBBLogTest, StoredMinusOneIsReadAgainOnEveryCall) {
    env.setLogLevel(0xFFFFFFFFu);
    log->Log(0, L"fatal");
    log->Log(boost::wformat(L"fatal"), 0);
    EXPECT_EQ(log->GetThreshold(), -1);
    EXPECT_FALSE(TempPathExists(env.appData()));
    env.setLogLevel(4);
    log->Log(L"debug");
    EXPECT_EQ(log->GetThreshold(), 4);
    EXPECT_EQ(finish(), (Lines{{"DEBUG", "debug"}}));
}

TEST(CBBLogRotationTest, StartUpKeepsExactly512KiB) {
    const struct {
        const char* file;
        size_t size;
        bool rotatedAtStart;
    } cases[] = {{"ZOVOzudo.log", 524288, false},
                 {"ZOVOzudo.log", 524289, true},
                 {"VantoErrors.log", 524288, false},
                 {"VantoErrors.log", 524289, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " of " + std::to_string(c.size));
        LogTestEnvironment env;
        env.makeLogFolder();
        const std::string old(c.size, 'q');
        WriteTempFile(env.logFile(c.file), old);
        CBBLog(L"ZOVOzudo.log").Log(0, L"new");
        const std::string now = ReadTempFile(env.logFile(c.file));
        const std::string backup = ReadTempFile(env.logFile(std::string(c.file) + ".back"));
        if (c.rotatedAtStart) {
            // Copied aside before the first line, which starts the file anew.
            EXPECT_EQ(backup, old);
            EXPECT_EQ(now.find('q'), std::string::npos);
            EXPECT_NE(now.find("common_tests - new\n"), std::string::npos);
        } else {
            // Kept: the first line lands behind the old bytes and reaches the limit.
            EXPECT_EQ(backup.compare(0, old.size(), old), 0);
            EXPECT_NE(backup.find("common_tests - new\n", old.size()), std::string::npos);
            EXPECT_EQ(now, "");
        }
    }
}

TEST(CBBLogRotationTest, WritingRotatesWhenTheCountReaches512KiB) {
    const size_t kLine = 200;
    for (size_t before : {524288 - kLine - 1, 524288 - kLine}) {
        LogTestEnvironment env;
        env.makeLogFolder();
        WriteTempFile(env.logFile("ZOVOzudo.log"), std::string(before, 'q'));
        {
            CBBLog log(L"ZOVOzudo.log");
            log.Log(1, L"%ls", messageForLineOf(kLine).c_str());
        }
        const bool reached = before + kLine == 524288;
        EXPECT_EQ(ReadTempFile(env.logFile("ZOVOzudo.log")).size(), reached ? 0 : before + kLine);
        EXPECT_EQ(ReadTempFile(env.logFile("ZOVOzudo.log.back")).size(), reached ? 524288u : 0u);
    }
}

TEST(CBBLogFallbackTest, TriesTenNamesAndThenDropsLines) {
    const struct {
        int blocked;
        const char* expected;
    } cases[] = {{1, "ZOVOzudo.log1"}, {4, "ZOVOzudo.log4"}, {10, nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.blocked);
        LogTestEnvironment env;
        env.makeLogFolder();
        // A folder of the log's name cannot be opened as a file.
        mkdir(env.logFile("ZOVOzudo.log").c_str(), 0755);
        for (int i = 1; i < c.blocked; ++i) {
            mkdir(env.logFile("ZOVOzudo.log" + std::to_string(i)).c_str(), 0755);
        }
        {
            CBBLog log(L"ZOVOzudo.log");
            log.Log(0, L"fatal");
            log.Log(1, L"error");
        }
        if (c.expected != nullptr) {
            EXPECT_EQ(LogFileLines(env.logFile(c.expected)).size(), 2u);
        }
        // The error log does not share the log file's trouble.
        EXPECT_EQ(LogFileLines(env.logFile("VantoErrors.log")).size(), 1u);
    }
}

TEST_F(CBBLogTest, EveryLineQueuedBeforeDestructionIsWritten) {
    const int kLines = 20000;
    for (int i = 0; i < kLines; ++i) log->Log(1, L"line %d", i);
    // About 900 KB: moved aside once on the way, so no line may be lost across a rotation either.
    Lines written = finish();
    const Lines moved = parse(env.logFile("ZOVOzudo.log.back"));
    EXPECT_FALSE(moved.empty());
    written.insert(written.begin(), moved.begin(), moved.end());
    ASSERT_EQ(written.size(), static_cast<size_t>(kLines));
    for (int i = 0; i < kLines; ++i) ASSERT_EQ(written[i].second, "line " + std::to_string(i));
}

TEST_F(CBBLogTest, LinesDroppedBehindASlowWriterAreCounted) {
    auto note = [](int dropped) {
        return "CBBLog::Log : " + std::to_string(dropped) +
               " lines dropped while the log writer was 8 MiB behind";
    };
    log->Log(1, L"before");
    for (int dropped : {3, 1}) {
        CBBLogTestPeer::fallBehind(*log, true);
        for (int i = 0; i < dropped; ++i) log->Log(1, L"dropped");
        CBBLogTestPeer::fallBehind(*log, false);
        log->Log(1, L"after %d", dropped);
    }
    CBBLogTestPeer::fallBehind(*log, true);
    log->Log(1, L"dropped at the end");
    CBBLogTestPeer::fallBehind(*log, false);
    EXPECT_EQ(finish(), (Lines{{"ERROR", "before"},
                               {"WARN ", note(3)},
                               {"ERROR", "after 3"},
                               {"WARN ", note(1)},
                               {"ERROR", "after 1"},
                               {"WARN ", note(1)}}));
}

// Another process that shares the file moves it aside and starts a new one, twice: the lines
// written after each move go to the file at the name, so none is in a file that is thrown away.
TEST_F(CBBLogTest, AWriterFollowsTheFileThatAnotherMovedAside) {
    const std::string file = env.logFile("ZOVOzudo.log");
    auto otherProcessRotates = [&](const char* line) {
        ASSERT_TRUE(CBBLogTestPeer::drain(*log));
        ASSERT_EQ(std::rename(file.c_str(), (file + ".back").c_str()), 0);
        WriteTempFile(file, std::string("2024/01/31 12:34:56.789 [ERROR] - ") + line + "\n");
    };
    log->Log(1, L"one");
    otherProcessRotates("other one");
    log->Log(1, L"two");
    otherProcessRotates("other two");
    log->Log(1, L"three");
    EXPECT_EQ(finish(), (Lines{{"ERROR", "other two"}, {"ERROR", "three"}}));
    EXPECT_EQ(parse(file + ".back"), (Lines{{"ERROR", "other one"}, {"ERROR", "two"}}));
}

// Two writers of one file (two processes, here two log objects with a writer thread each)
// through several moves aside: each finds the other's moves, so the lines of both since
// ".back" was begun are all there, without a gap, up to each writer's last line.
TEST_F(CBBLogTest, TwoWritersOfOneFileLoseNoLineAcrossRotations) {
    const int kSteps = 15000;  // about 2.3 MB together: four moves
    std::unique_ptr<CBBLog> other(new CBBLog(L"ZOVOzudo.log"));
    const std::wstring padding(60, L'p');
    int count[2] = {0, 0};
    for (int step = 0; step < kSteps; ++step) {
        // Unlike paces, so that the writers reach the size at different times.
        for (int w = 0; w < (step % 3 == 0 ? 2 : 1); ++w) {
            CBBLog& writer = w == 0 ? *log : *other;
            writer.Log(1, L"%d %d %d %ls", w, count[w]++, step, padding.c_str());
        }
        // Keeps the writer threads abreast of the steps, as two processes would be.
        if (step % 30 == 29) {
            ASSERT_TRUE(CBBLogTestPeer::drain(*log) && CBBLogTestPeer::drain(*other));
        }
    }
    other.reset();
    const Lines current = finish();
    Lines written = parse(env.logFile("ZOVOzudo.log.back"));
    written.insert(written.end(), current.begin(), current.end());
    int firstStep[2] = {-1, -1};
    int next[2] = {-1, -1};
    for (const auto& line : written) {
        int w = -1, i = -1, step = -1;
        ASSERT_EQ(std::sscanf(line.second.c_str(), "%d %d %d", &w, &i, &step), 3) << line.second;
        ASSERT_TRUE(w == 0 || w == 1) << line.second;
        ASSERT_TRUE(next[w] == -1 || i == next[w]) << "gap before " << line.second;
        if (next[w] == -1) firstStep[w] = step;
        next[w] = i + 1;
    }
    EXPECT_EQ(next[0], count[0]);
    EXPECT_EQ(next[1], count[1]);
    // Both writers' lines begin where ".back" begins: neither writer's lines went into a file
    // that the other then threw away.
    EXPECT_LE(std::abs(firstStep[0] - firstStep[1]), 90);
}

TEST_F(CBBLogTest, ConcurrentLoggersLoseAndMixNoLine) {
    const int kThreads = 4;
    const int kLines = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < kLines; i += 2) {
                log->Log(1, L"thread %d line %d", t, i);
                log->Log(boost::wformat(L"thread %1% line %2%") % t % (i + 1), 1);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    std::vector<int> next(kThreads, 0);
    for (const auto& line : finish()) {
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(line.second.c_str(), "thread %d line %d", &t, &i), 2) << line.second;
        ASSERT_TRUE(t >= 0 && t < kThreads && i == next[t]++) << line.second;
    }
    EXPECT_EQ(next, std::vector<int>(kThreads, kLines));
}

TEST_F(CBBLogTest, PrintfMessagesAreCutAt2047Characters) {
    std::string accents;
    for (int i = 0; i < 2047; ++i) accents += "\u00e9";
    const struct {
        std::wstring message;
        std::string written;
    } cases[] = {
        {std::wstring(2046, L'x'), std::string(2046, 'x')},
        {std::wstring(2047, L'x'), std::string(2047, 'x')},
        {std::wstring(2048, L'x'), std::string(2047, 'x')},
        {std::wstring(3000, L'\u00e9'), accents},  // characters, not bytes
    };
    for (const auto& c : cases) log->Log(1, L"%ls", c.message.c_str());
    log->Log(boost::wformat(L"%1%") % std::wstring(5000, L'w'), 1);
    const Lines written = finish();
    ASSERT_EQ(written.size(), 5u);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(written[i].second, cases[i].written) << i;
    EXPECT_EQ(written[4].second, std::string(5000, 'w'));  // a boost::wformat is taken whole
}

TEST_F(CBBLogTest, BadFormatsAndArgumentsStillGiveALine) {
    log->Log(1, nullptr);
    log->Log(boost::wformat(L"%1% and %2%") % L"one", 1);
    // A narrow argument that the C locale cannot convert: the format itself is logged.
    log->Log(1, L"narrow %s here", "caf\xc3\xa9");
    EXPECT_EQ(finish(), (Lines{{"ERROR", ""}, {"ERROR", "one and "}, {"ERROR", "narrow %s here"}}));
}

TEST_F(CBBLogTest, WithoutAppDataFolderLinesAreDropped) {
    WriteTempFile(env.dir().file("plain"), "not a folder");
    setenv("ZOVOZUDO_APPDATA_DIR", env.dir().file("plain/appdata").c_str(), 1);
    log->Log(0, L"fatal");
    log->Log(1, L"error");
    log.reset();
    EXPECT_FALSE(TempPathExists(env.dir().file("plain/appdata")));
}

TEST_F(CBBLogTest, MemoryFormKeepsOnlyItsBudget) {
    CBBLog memory(100, false);
    for (int i = 0; i < 50; ++i) memory.Log(1, L"line %02d", i);  // 42 bytes each
    memory.Log(0, L"fatal");
    const std::deque<std::string> queue = CBBLogTestPeer::queue(memory);
    ASSERT_EQ(queue.size(), 3u);
    EXPECT_EQ(queue[0], "[...]\n");
    EXPECT_EQ(queue[1].substr(kPrefixLength), "line 49\n");
    EXPECT_EQ(queue[2].substr(24), "[FATAL] -  - fatal\n");
    EXPECT_FALSE(TempPathExists(env.appData()));

    // Without a budget it is a file log named after the process, with the process id.
    CBBLog(0, true).Log(1, L"error");
    const std::vector<std::string> written = LogFileLines(env.logFile("common_tests.log"));
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].substr(24), "[ERROR] " + std::to_string(getpid()) + " - error");
}

}  // namespace
