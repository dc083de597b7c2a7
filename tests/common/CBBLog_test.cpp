#include "common/CBBLog.h"

#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/LogTestEnvironment.h"

// Reads the queue that only the memory form keeps.
class CBBLogTestPeer {
public:
    static std::deque<std::string> queue(CBBLog& log) {
        PScopedLock guard(log.queueLock_);
        return log.queue_;
    }
};

namespace {

// "2024/01/31 12:34:56.789 [ERROR] - " is 34 characters.
const size_t kPrefixLength = 34;

// Splits "2024/01/31 12:34:56.789 [LEVEL] - message" into its level field and message.
bool splitLine(const std::string& line, std::string* level, std::string* message) {
    static const char kShape[] = "0000/00/00 00:00:00.000 [?????] - ";
    if (line.size() < kPrefixLength) return false;
    for (size_t i = 0; i < kPrefixLength; ++i) {
        const char expected = kShape[i];
        const bool ok = expected == '0'   ? line[i] >= '0' && line[i] <= '9'
                        : expected == '?' ? true
                                          : line[i] == expected;
        if (!ok) return false;
    }
    const int month = std::stoi(line.substr(5, 2));
    if (month < 1 || month > 12) return false;
    *level = line.substr(25, 5);
    *message = line.substr(kPrefixLength);
    return true;
}

class CBBLogTest : public ::testing::Test {
protected:
    void SetUp() override { log.reset(new CBBLog(L"ZOVOzudo.log")); }

    // Destroying the log writes every queued line.
    void finish() { log.reset(); }

    std::vector<std::string> lines(const std::string& name = "ZOVOzudo.log") const {
        return LogFileLines(env.logFile(name));
    }

    // The level field and message of every line of |name|; fails on a line of another form.
    std::vector<std::pair<std::string, std::string>> parsed(
        const std::string& name = "ZOVOzudo.log") const {
        std::vector<std::pair<std::string, std::string>> out;
        for (const std::string& line : lines(name)) {
            std::string level, message;
            EXPECT_TRUE(splitLine(line, &level, &message)) << line;
            out.emplace_back(level, message);
        }
        return out;
    }

    // A line of exactly |length| bytes at ERROR level, "\n" included.
    static std::wstring messageForLineOf(size_t length) {
        return std::wstring(length - kPrefixLength - 1, L'm');
    }

    LogTestEnvironment env;
    std::unique_ptr<CBBLog> log;
};

TEST_F(CBBLogTest, LineFormatAtEveryLevel) {
    env.setLogLevel(4);
    for (int level = 0; level <= 4; ++level) log->Log(level, L"message %d %ls", level, L"w\u00e9");
    finish();
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"FATAL", "common_tests - message 0 w\u00e9"}, {"ERROR", "message 1 w\u00e9"},
        {"WARN ", "message 2 w\u00e9"},                {"INFO ", "message 3 w\u00e9"},
        {"DEBUG", "message 4 w\u00e9"},
    };
    EXPECT_EQ(parsed(), expected);
    // The FATAL line, and only it, is copied into the error log.
    const std::vector<std::string> errors = lines("VantoErrors.log");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], lines()[0]);
}

TEST_F(CBBLogTest, WithoutLogLevelOnlyErrorsAreWrittenAndNothingIsCreatedBefore) {
    log->Log(4, L"debug");
    log->Log(3, L"info");
    log->Log(boost::wformat(L"warn %1%") % 2, 2);
    EXPECT_EQ(log->GetThreshold(), 1);
    EXPECT_FALSE(TempPathExists(env.appData()));
    log->Log(1, L"error");
    finish();
    EXPECT_EQ(parsed(), (std::vector<std::pair<std::string, std::string>>{{"ERROR", "error"}}));
}

TEST_F(CBBLogTest, LogLevelZeroWritesOnlyFatal) {
    env.setLogLevel(0);
    log->Log(1, L"error");
    log->Log(boost::wformat(L"fatal"), 0);
    finish();
    EXPECT_EQ(parsed(),
              (std::vector<std::pair<std::string, std::string>>{{"FATAL", "common_tests - fatal"}}));
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
    finish();
    EXPECT_EQ(parsed(), (std::vector<std::pair<std::string, std::string>>{{"DEBUG", "debug"}}));
}

TEST_F(CBBLogTest, StartUpRotationKeepsExactly512KiB) {
    const struct {
        const char* file;
        size_t size;
        bool rotatedAtStart;
    } cases[] = {
        {"ZOVOzudo.log", 524288, false},
        {"ZOVOzudo.log", 524289, true},
        {"VantoErrors.log", 524288, false},
        {"VantoErrors.log", 524289, true},
    };
    for (const auto& c : cases) {
        LogTestEnvironment caseEnv;
        caseEnv.makeLogFolder();
        const std::string old(c.size, 'q');
        WriteTempFile(caseEnv.logFile(c.file), old);
        {
            CBBLog caseLog(L"ZOVOzudo.log");
            caseLog.Log(0, L"new");
        }
        const std::string now = ReadTempFile(caseEnv.logFile(c.file));
        const std::string backup = ReadTempFile(caseEnv.logFile(std::string(c.file) + ".back"));
        SCOPED_TRACE(std::string(c.file) + " of " + std::to_string(c.size));
        if (c.rotatedAtStart) {
            // Copied aside before the first line; the line starts the file anew.
            EXPECT_EQ(backup, old);
            EXPECT_EQ(now.find('q'), std::string::npos);
            EXPECT_NE(now.find("common_tests - new\n"), std::string::npos);
        } else {
            // Kept, so the first line lands behind the old bytes and reaches the limit.
            EXPECT_EQ(backup.compare(0, old.size(), old), 0);
            EXPECT_NE(backup.find("common_tests - new\n", old.size()), std::string::npos);
            EXPECT_EQ(now, "");
        }
    }
}

TEST_F(CBBLogTest, RotatesWhenTheWrittenBytesReach512KiB) {
    const size_t kLine = 200;
    for (size_t before : {524288 - kLine - 1, 524288 - kLine}) {
        LogTestEnvironment caseEnv;
        caseEnv.makeLogFolder();
        const std::string old(before, 'o');
        WriteTempFile(caseEnv.logFile("ZOVOzudo.log"), old);
        {
            CBBLog caseLog(L"ZOVOzudo.log");
            caseLog.Log(1, L"%ls", messageForLineOf(kLine).c_str());
        }
        const std::string now = ReadTempFile(caseEnv.logFile("ZOVOzudo.log"));
        const std::string backup = ReadTempFile(caseEnv.logFile("ZOVOzudo.log.back"));
        if (before + kLine < 524288) {
            EXPECT_EQ(now.size(), before + kLine);
            EXPECT_FALSE(TempPathExists(caseEnv.logFile("ZOVOzudo.log.back")));
        } else {
            // Moved aside with the line that reached the limit; a fresh file takes the next.
            EXPECT_EQ(backup.size(), 524288u);
            EXPECT_TRUE(TempPathExists(caseEnv.logFile("ZOVOzudo.log")));
            EXPECT_EQ(now, "");
        }
    }
}

TEST_F(CBBLogTest, KeepsRotatingWhileWriting) {
    const size_t kLine = 1000;
    const std::wstring message = messageForLineOf(kLine - 2);
    for (int i = 0; i < 1200; ++i) log->Log(1, L"%ls%02d", message.c_str(), i % 100);
    finish();
    // The 525th line of 1000 bytes reaches the limit: 1200 lines rotate twice, 150 stay.
    EXPECT_EQ(lines().size(), 1200u - 2 * 525);
    EXPECT_EQ(ReadTempFile(env.logFile("ZOVOzudo.log.back")).size(), 525000u);
}

TEST_F(CBBLogTest, FallsBackToTheNextOfTenNames) {
    const struct {
        int blocked;
        const char* expected;
    } cases[] = {{1, "ZOVOzudo.log1"}, {4, "ZOVOzudo.log4"}, {10, nullptr}};
    for (const auto& c : cases) {
        LogTestEnvironment caseEnv;
        caseEnv.makeLogFolder();
        std::vector<std::string> names = {"ZOVOzudo.log"};
        for (int i = 1; i <= 9; ++i) names.push_back("ZOVOzudo.log" + std::to_string(i));
        for (int i = 0; i < c.blocked; ++i) mkdir(caseEnv.logFile(names[i]).c_str(), 0755);
        {
            CBBLog caseLog(L"ZOVOzudo.log");
            caseLog.Log(0, L"fatal");
            caseLog.Log(1, L"error");
        }
        SCOPED_TRACE(c.blocked);
        if (c.expected != nullptr) {
            EXPECT_EQ(LogFileLines(caseEnv.logFile(c.expected)).size(), 2u);
        }
        // The error log is not affected by the log file's trouble.
        EXPECT_EQ(LogFileLines(caseEnv.logFile("VantoErrors.log")).size(), 1u);
    }
}

TEST_F(CBBLogTest, EveryLineQueuedBeforeDestructionIsWritten) {
    const int kLines = 20000;
    for (int i = 0; i < kLines; ++i) log->Log(1, L"line %d", i);
    finish();
    // About 900 KB: once moved aside on the way, so no line is lost across a rotation either.
    std::vector<std::pair<std::string, std::string>> written = parsed("ZOVOzudo.log.back");
    const std::vector<std::pair<std::string, std::string>> current = parsed();
    EXPECT_FALSE(written.empty());
    written.insert(written.end(), current.begin(), current.end());
    ASSERT_EQ(written.size(), static_cast<size_t>(kLines));
    for (int i = 0; i < kLines; ++i) ASSERT_EQ(written[i].second, "line " + std::to_string(i));
}

TEST_F(CBBLogTest, ConcurrentLoggersLoseAndMixNoLine) {
    const int kThreads = 4;
    const int kLines = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < kLines; ++i) {
                if (i % 2 == 0) {
                    log->Log(1, L"thread %d line %d", t, i);
                } else {
                    log->Log(boost::wformat(L"thread %1% line %2%") % t % i, 1);
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    finish();
    std::vector<int> next(kThreads, 0);
    for (const auto& line : parsed()) {
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(line.second.c_str(), "thread %d line %d", &t, &i), 2) << line.second;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line.second;
        ASSERT_EQ(i, next[t]++) << line.second;
    }
    EXPECT_EQ(next, std::vector<int>(kThreads, kLines));
}

TEST_F(CBBLogTest, PrintfMessagesAreCutAt2047Characters) {
    auto repeat = [](const std::string& unit, size_t count) {
        std::string out;
        for (size_t i = 0; i < count; ++i) out += unit;
        return out;
    };
    const struct {
        std::wstring message;
        std::string written;
    } cases[] = {
        {std::wstring(2046, L'x'), std::string(2046, 'x')},
        {std::wstring(2047, L'x'), std::string(2047, 'x')},
        {std::wstring(2048, L'x'), std::string(2047, 'x')},
        {std::wstring(100000, L'x'), std::string(2047, 'x')},
        {std::wstring(3000, L'\u00e9'), repeat("\u00e9", 2047)},  // characters, not bytes
    };
    for (const auto& c : cases) log->Log(1, L"%ls", c.message.c_str());
    log->Log(boost::wformat(L"%1%") % std::wstring(5000, L'w'), 1);
    finish();
    const std::vector<std::pair<std::string, std::string>> written = parsed();
    ASSERT_EQ(written.size(), 6u);
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(written[i].second, cases[i].written) << i;
    EXPECT_EQ(written[5].second, std::string(5000, 'w'));  // a boost::wformat is taken whole
}

TEST_F(CBBLogTest, BadFormatsAndArgumentsStillGiveALine) {
    log->Log(1, nullptr);
    log->Log(boost::wformat(L"%1% and %2%") % L"one", 1);
    // A narrow argument that the C locale cannot convert: the format itself is logged.
    log->Log(1, L"narrow %s here", "caf\xc3\xa9");
    finish();
    EXPECT_EQ(parsed(), (std::vector<std::pair<std::string, std::string>>{
                            {"ERROR", ""}, {"ERROR", "one and "}, {"ERROR", "narrow %s here"}}));
}

TEST_F(CBBLogTest, WithoutAppDataFolderLinesAreDropped) {
    WriteTempFile(env.dir().file("plain"), "not a folder");
    setenv("ZOVOZUDO_APPDATA_DIR", env.dir().file("plain/appdata").c_str(), 1);
    log->Log(0, L"fatal");
    log->Log(1, L"error");
    finish();
    EXPECT_FALSE(TempPathExists(env.dir().file("plain/appdata")));
}

TEST_F(CBBLogTest, MemoryFormKeepsOnlyItsBudget) {
    CBBLog memory(100, false);
    for (int i = 0; i < 50; ++i) memory.Log(1, L"line %02d", i);  // 45 bytes each
    memory.Log(0, L"fatal");
    const std::deque<std::string> queue = CBBLogTestPeer::queue(memory);
    ASSERT_EQ(queue.size(), 3u);
    EXPECT_EQ(queue[0], "[...]\n");
    EXPECT_NE(queue[1].find("line 49\n"), std::string::npos);
    EXPECT_NE(queue[2].find("[FATAL] -  - fatal\n"), std::string::npos);
    EXPECT_FALSE(TempPathExists(env.appData()));
}

TEST_F(CBBLogTest, ProcessNamedFormShowsTheProcessId) {
    {
        CBBLog named(0, true);
        named.Log(1, L"error");
    }
    const std::vector<std::string> written = LogFileLines(env.logFile("common_tests.log"));
    ASSERT_EQ(written.size(), 1u);
    EXPECT_NE(written[0].find("[ERROR] " + std::to_string(getpid()) + " - error"), std::string::npos);
}

}  // namespace
