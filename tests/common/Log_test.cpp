#include "common/Log.h"

#include <memory>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

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

TEST_F(LogTest, WithoutCurrentLogNothingHappens) {
    env.setLogLevel(4);
    boost::shared_ptr<RecordingLog> unpublished = boost::make_shared<RecordingLog>();
    callEveryEntryPoint();
    {
        boost::shared_ptr<RecordingLog> expired = boost::make_shared<RecordingLog>();
        SetGlobalLog(expired);
    }
    callEveryEntryPoint();
    EXPECT_TRUE(unpublished->calls.empty());
    EXPECT_FALSE(GetGlobalLog());
    EXPECT_FALSE(TempPathExists(env.appData()));
}

TEST_F(LogTest, NewestLogWinsAndAnExpiredOneIsNotReplaced) {
    env.setLogLevel(4);
    boost::shared_ptr<RecordingLog> older = boost::make_shared<RecordingLog>();
    boost::shared_ptr<RecordingLog> newer = boost::make_shared<RecordingLog>();
    SetGlobalLog(older);
    SetGlobalLog(newer);
    LogError(L"to the newer");
    ASSERT_EQ(newer->calls.size(), 1u);
    EXPECT_EQ(newer->calls[0].level, LOG_LEVEL_ERROR);
    newer.reset();
    LogError(L"to nobody");
    EXPECT_TRUE(older->calls.empty());
}

TEST_F(LogTest, EntryPointsForwardTheirLevel) {
    env.setLogLevel(4);
    boost::shared_ptr<RecordingLog> log = boost::make_shared<RecordingLog>();
    SetGlobalLog(log);
    callEveryEntryPoint();
    const std::vector<int> expected = {4, 3, 2, 1, 0, 4, 3, 2, 1, 0, 4};
    ASSERT_EQ(log->calls.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(log->calls[i].level, expected[i]) << i;
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

TEST_F(LogTest, RtmpLogMapsLevels) {
    env.setLogLevel(4);
    boost::shared_ptr<RecordingLog> log = boost::make_shared<RecordingLog>();
    SetGlobalLog(log);
    const struct {
        int rtmpLevel;
        int level;
    } cases[] = {{0, 4}, {1, 1}, {2, 2}, {3, 1}, {-1, 1}, {100, 1}};
    for (const auto& c : cases) {
        log->calls.clear();
        RtmpLog(c.rtmpLevel, "level %d", c.rtmpLevel);
        ASSERT_EQ(log->calls.size(), 1u) << c.rtmpLevel;
        EXPECT_EQ(log->calls[0].level, c.level) << c.rtmpLevel;
        EXPECT_EQ(log->calls[0].text, L"level " + std::to_wstring(c.rtmpLevel));
    }
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
        {std::string(5000, 'a'), std::wstring(1023, L'a')},
        {"caf\xc3\xa9 \xe2\x82\xac", L"caf\u00e9 \u20ac"},
        {"abc\xff" "def", L"abc"},
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
