#include "common/Log.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/make_shared.hpp>

#include "common/CBBLog.h"
#include "support/LogTestEnvironment.h"

namespace {

// A log in memory that records what the entry points hand it before doing its own work.
class RecordingLog : public CBBLog {
  public:
    RecordingLog() : CBBLog(1 << 20, false) {}

    void LogV(const wchar_t* format, va_list args, int level) override {
        calls.push_back({level, format});
        CBBLog::LogV(format, args, level);
    }
    void Log(boost::wformat message, int level) override {
        calls.push_back({level, message.str()});
        CBBLog::Log(message, level);
    }
    using CBBLog::Log;

    struct Call {
        int level;
        std::wstring text;  // the format, or the finished boost::wformat text
    };
    std::vector<Call> calls;
};

class LogTest : public ::testing::Test {
  protected:
    void TearDown() override { SetGlobalLog(boost::shared_ptr<CBBLog>()); }

    void callEveryEntryPoint() {
        LogDebug(L"d"), LogInfo(L"i"), LogWarn(L"w"), LogError(L"e"), LogFatal(L"f");
        LogDebug(boost::wformat(L"d")), LogInfo(boost::wformat(L"i"));
        LogWarn(boost::wformat(L"w")), LogError(boost::wformat(L"e"));
        LogFatal(boost::wformat(L"f"));
        RtmpLog(0, "r");
    }

    LogTestEnvironment env;
};

TEST_F(LogTest, OnlyTheNewestLiveLogIsCalled) {
    env.setLogLevel(4);
    boost::shared_ptr<RecordingLog> older = boost::make_shared<RecordingLog>();
    callEveryEntryPoint();  // nothing published yet
    SetGlobalLog(older);
    {
        boost::shared_ptr<RecordingLog> newer = boost::make_shared<RecordingLog>();
        SetGlobalLog(newer);
        LogError(L"to the newer");
        EXPECT_EQ(newer->calls.size(), 1u);
    }
    callEveryEntryPoint();  // the newest has expired; the older one is not brought back
    EXPECT_TRUE(older->calls.empty());
    EXPECT_FALSE(GetGlobalLog());
    EXPECT_FALSE(TempPathExists(env.appData()));
}

TEST_F(LogTest, EntryPointsForwardTheirLevel) {
    env.setLogLevel(4);
    boost::shared_ptr<RecordingLog> log = boost::make_shared<RecordingLog>();
    SetGlobalLog(log);
    callEveryEntryPoint();
    const int rtmpLevels[] = {0, 1, 2, 3, -1, 100};
    for (int level : rtmpLevels) RtmpLog(level, "level %d", level);
    // printf-style, then boost::wformat, then RtmpLog: 0 is DEBUG, 2 WARN, any other ERROR.
    const std::vector<int> expected = {4, 3, 2, 1, 0, 4, 3, 2, 1, 0, 4, 4, 1, 2, 1, 1, 1};
    ASSERT_EQ(log->calls.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(log->calls[i].level, expected[i]) << i;
    EXPECT_EQ(log->calls.back().text, L"level 100");
}

TEST_F(LogTest, BelowTheThresholdTheLogIsNotCalled) {
    env.setLogLevel(1);
    boost::shared_ptr<RecordingLog> log = boost::make_shared<RecordingLog>();
    SetGlobalLog(log);
    LogDebug(L"reads the threshold");  // not read yet: the log decides
    ASSERT_EQ(log->GetThreshold(), 1);
    LogDebug(L"%ls", L"skipped");
    LogWarn(boost::wformat(L"skipped"));
    RtmpLog(0, "%s", "skipped without formatting");
    LogError(L"kept");
    RtmpLog(1, "kept");
    ASSERT_EQ(log->calls.size(), 3u);
    EXPECT_EQ(log->calls[1].text, L"kept");
    EXPECT_EQ(log->calls[2].text, L"kept");
}

// The level check remembers the threshold of the current log only: a log published later is
// asked at its own level, in either direction.
TEST_F(LogTest, EachPublishedLogIsAskedAtItsOwnLevel) {
    env.setLogLevel(1);
    boost::shared_ptr<RecordingLog> quiet = boost::make_shared<RecordingLog>();
    SetGlobalLog(quiet);
    LogError(L"reads the threshold");
    EXPECT_FALSE(LogEnabled(LOG_LEVEL_DEBUG));
    EXPECT_FALSE(RtmpLogEnabled(0));
    EXPECT_TRUE(RtmpLogEnabled(1));
    env.setLogLevel(4);
    boost::shared_ptr<RecordingLog> loud = boost::make_shared<RecordingLog>();
    SetGlobalLog(loud);
    LogDebug(L"reaches the new log");
    EXPECT_TRUE(LogEnabled(LOG_LEVEL_DEBUG));
    EXPECT_EQ(loud->calls.size(), 1u);
    SetGlobalLog(quiet);
    EXPECT_FALSE(LogEnabled(LOG_LEVEL_DEBUG));
    EXPECT_TRUE(LogEnabled(LOG_LEVEL_ERROR));
    quiet.reset();
    EXPECT_FALSE(LogEnabled(LOG_LEVEL_FATAL));  // no live log
}

TEST_F(LogTest, RtmpLogCutsAndDecodes) {
    env.setLogLevel(4);
    boost::shared_ptr<RecordingLog> log = boost::make_shared<RecordingLog>();
    SetGlobalLog(log);
    const struct {
        std::string text;
        std::wstring logged;
    } cases[] = {
        {std::string(1023, 'a'), std::wstring(1023, L'a')},
        {std::string(1024, 'a'), std::wstring(1023, L'a')},
        {"caf\xc3\xa9 \xe2\x82\xac", L"caf\u00e9 \u20ac"},
        {"abc\xc3(def", L"abc"},
        // The cut at 1023 bytes splits "é": decoding stops before it.
        {std::string(1022, 'a') + "\xc3\xa9", std::wstring(1022, L'a')},
    };
    for (const auto& c : cases) {
        log->calls.clear();
        RtmpLog(2, "%s", c.text.c_str());
        ASSERT_EQ(log->calls.size(), 1u);
        EXPECT_EQ(log->calls[0].text, c.logged) << c.text.substr(0, 40);
    }
}

}  // namespace
