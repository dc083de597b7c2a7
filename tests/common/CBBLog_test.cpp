#include "common/CBBLog.h"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>
#include <boost/make_shared.hpp>

#include "common/Log.h"
#include "common/LogSettings.h"
#include "common/Registry.h"
#include "support/TempDir.h"

typedef std::vector<std::string> Lines;

class CBBLogTestPeer {
  public:
    // The lines a memory log holds, without time stamp and "\n" (the "[...]" marker whole).
    static Lines queue(CBBLog& log) {
        PScopedLock guard(log.queueLock_);
        Lines out;
        for (const std::string& line : log.queue_) {
            out.push_back(line.substr(line[0] == '[' ? 0 : 24));
            out.back().pop_back();
        }
        return out;
    }
    static void fallBehind(CBBLog& log, bool behind) {
        PScopedLock guard(log.queueLock_);
        log.pendingBytes_ += behind ? size_t(8) << 20 : -(size_t(8) << 20);
    }
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

// Points the log and the registry at folders of this test; the log's folder is not created, so
// that a test can tell whether the log created it. One at a time.
struct LogTestEnvironment {
    LogTestEnvironment() {
        setenv("ZOVOZUDO_APPDATA_DIR", appData.c_str(), 1);
        setenv("ZOVOZUDO_REGISTRY_DIR", registry.c_str(), 1);
    }
    ~LogTestEnvironment() { unsetenv("ZOVOZUDO_APPDATA_DIR"), unsetenv("ZOVOZUDO_REGISTRY_DIR"); }
    std::string logFile(const std::string& name) const { return appData + "/Dessaro/Logs/" + name; }
    void setLogLevel(uint32_t level) const { ASSERT_TRUE(WriteLogLevelSetting(level)); }

    const TempDir dir;
    const std::string appData = dir.file("appdata"), registry = dir.file("registry");
};

// The lines of a log file without their time stamps; a line of another form fails the test.
Lines parse(const std::string& path) {
    static const std::regex kShape(R"(20\d\d/(0[1-9]|1[0-2])/(0[1-9]|[12]\d|3[01]) )"
                                   R"([0-2]\d:[0-5]\d:[0-5]\d\.\d{3} \[.{5}\] - )");
    std::istringstream in(ReadTempFile(path));
    Lines out;
    for (std::string line; std::getline(in, line);) {
        EXPECT_TRUE(std::regex_match(line.substr(0, 34), kShape)) << line;
        out.push_back(line.substr(24));
    }
    return out;
}

class CBBLogTest : public ::testing::Test {
  protected:
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
    EXPECT_FALSE(std::filesystem::exists(env.appData));  // nothing is created for no line
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
    env.setLogLevel(4);
    for (int level = 4; level >= 0; --level) log->Log(level, L"m%d %ls", level, L"\u00e9");
    expected.insert(expected.end(),
                    {"[DEBUG] - m4 \u00e9", "[INFO ] - m3 \u00e9", "[WARN ] - m2 \u00e9",
                     "[ERROR] - m1 \u00e9", "[FATAL] - common_tests - m0 \u00e9"});
    EXPECT_EQ(finish(), expected);
    // FATAL lines, and only they, are copied into the error log.
    EXPECT_EQ(parse(env.logFile("VantoErrors.log")), (Lines{expected[1], expected.back()}));
}

TEST(CBBLogFileTest, MovedAsideBeyond512KiBAtStartAndAt512KiBWhileWritingAndTenNamesTried) {
    // Names taken by folders, the file, its sizes before and after one FATAL line of 200 bytes,
    // and the size of the file moved aside. With ten names taken only the error log has the line.
    const std::tuple<int, std::string, size_t, size_t, size_t> cases[] = {
        {0, "ZOVOzudo.log", 524087, 524287, 0}, {0, "ZOVOzudo.log", 524088, 0, 524288},
        {0, "ZOVOzudo.log", 524288, 0, 524488}, {0, "VantoErrors.log", 524289, 200, 524289},
        {9, "ZOVOzudo.log9", 0, 200, 0},        {10, "VantoErrors.log", 0, 200, 0}};
    for (const auto& [taken, file, before, after, back] : cases) {
        SCOPED_TRACE(file + " of " + std::to_string(before));
        LogTestEnvironment env;
        std::filesystem::create_directories(env.logFile(""));
        for (int i = 0; i < taken; ++i) {
            std::filesystem::create_directory(
                env.logFile("ZOVOzudo.log" + (i ? std::to_string(i) : "")));
        }
        WriteTempFile(env.logFile(file), std::string(before, 'q'));
        CBBLog(L"ZOVOzudo.log").Log(0, L"%ls", std::wstring(150, L'm').c_str());
        EXPECT_EQ(ReadTempFile(env.logFile(file)).size(), after);
        EXPECT_EQ(ReadTempFile(env.logFile(file + ".back")).size(), back);
    }
}

// Threads that log their first lines at once initialise the log once and lose or mix no line.
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
        ASSERT_TRUE(std::sscanf(line.c_str(), "[ERROR] - %d %d", &t, &i) == 2 && t >= 0 && t < 4 &&
                    i == next[t]++)
            << line;
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

// Another process moves the file aside twice: later lines go to the file at the name.
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
    CBBLog memory(84, false);
    // 42 bytes each: the budget holds two exactly.
    for (int i = 0; i < 49; ++i) {
        memory.Log(1, L"line %02d", i);
        if (i == 1) {
            EXPECT_EQ(CBBLogTestPeer::queue(memory).front(), "[ERROR] - line 00");
        }
    }
    EXPECT_EQ(CBBLogTestPeer::queue(memory),
              (Lines{"[...]", "[ERROR] - line 47", "[ERROR] - line 48"}));
    memory.Log(0, L"fatal");
    EXPECT_EQ(CBBLogTestPeer::queue(memory), (Lines{"[...]", "[FATAL] -  - fatal"}));
    EXPECT_FALSE(std::filesystem::exists(env.appData));
    // Without a budget it is a file log named after the process, with the process id.
    CBBLog(0, true).Log(1, L"error");
    EXPECT_EQ(ReadTempFile(env.logFile("common_tests.log")).substr(24),
              "[ERROR] " + std::to_string(getpid()) + " - error\n");
}

class LogTest : public ::testing::Test {
  protected:
    void TearDown() override { SetGlobalLog(boost::shared_ptr<CBBLog>()); }
    void callEveryEntryPoint() {
        LogDebug(L"d"), LogInfo(L"i"), LogWarn(L"w"), LogError(L"e"), LogFatal(L"f");
        using F = boost::wformat;
        LogDebug(F(L"d")), LogInfo(F(L"i")), LogWarn(F(L"w")), LogError(F(L"e")), LogFatal(F(L"f"));
    }
    boost::shared_ptr<CBBLog> publish(uint32_t level) {
        env.setLogLevel(level);
        boost::shared_ptr<CBBLog> log = boost::make_shared<CBBLog>(1 << 20, false);
        SetGlobalLog(log);
        return log;
    }

    LogTestEnvironment env;
};

TEST_F(LogTest, EntryPointsForwardTheirLevelAndRtmpLogCutsAndDecodes) {
    boost::shared_ptr<CBBLog> log = publish(4);
    callEveryEntryPoint();
    Lines expected{"[DEBUG] - d", "[INFO ] - i", "[WARN ] - w", "[ERROR] - e", "[FATAL] -  - f"};
    for (int i = 0; i < 5; ++i) expected.push_back(expected[i]);
    // RtmpLog's level 0 is DEBUG, 2 WARN, any other ERROR.
    const std::tuple<int, std::string, std::string> cases[] = {
        {0, std::string(1023, 'a'), "[DEBUG] - " + std::string(1023, 'a')},
        {1, std::string(1024, 'a'), "[ERROR] - " + std::string(1023, 'a')},
        {2, "caf\xc3\xa9 \xe2\x82\xac", "[WARN ] - caf\xc3\xa9 \xe2\x82\xac"},
        // The cut at 1023 bytes splits "\u00e9": decoding stops before it.
        {-1, std::string(1022, 'a') + "\xc3\xa9", "[ERROR] - " + std::string(1022, 'a')},
        {100, "x", "[ERROR] - x"}};
    for (const auto& [level, text, logged] : cases) {
        RtmpLog(level, "%s", text.c_str());
        expected.push_back(logged);
    }
    EXPECT_EQ(CBBLogTestPeer::queue(*log), expected);
}

// The entry points cache the threshold of the newest live log only, in either direction.
TEST_F(LogTest, OnlyTheNewestLiveLogIsCalledAndOnlyAtItsThreshold) {
    callEveryEntryPoint();  // nothing published yet
    boost::shared_ptr<CBBLog> quiet = publish(1);
    callEveryEntryPoint();
    RtmpLog(0, "%s", "debug"), RtmpLog(1, "error");
    EXPECT_EQ(CBBLogTestPeer::queue(*quiet), (Lines{"[ERROR] - e", "[FATAL] -  - f", "[ERROR] - e",
                                                    "[FATAL] -  - f", "[ERROR] - error"}));
    EXPECT_TRUE(!RtmpLogEnabled(0) && RtmpLogEnabled(1));
    boost::shared_ptr<CBBLog> loud = publish(4);
    LogDebug(L"reaches the new log");
    SetGlobalLog(quiet);
    EXPECT_TRUE(!LogEnabled(LOG_LEVEL_DEBUG) && LogEnabled(LOG_LEVEL_ERROR));
    quiet.reset();
    callEveryEntryPoint();
    RtmpLog(1, "r");
    EXPECT_FALSE(LogEnabled(LOG_LEVEL_FATAL) || GetGlobalLog());
    EXPECT_EQ(CBBLogTestPeer::queue(*loud), Lines{"[DEBUG] - reaches the new log"});
}

// ---- the registry, where the log's level is stored -------------------------------------------

typedef std::vector<unsigned char> Bytes;

const std::wstring kKey = L"Software\\Dessaro\\Vanto";

class RegistryTest : public ::testing::Test {
  protected:
    std::string vantoFile(const std::string& fileName) const {
        return env.registry + "/software/dessaro/vanto/" + fileName;
    }
    bool setBinary(const std::wstring& name, Bytes bytes) {
        unsigned char* data = bytes.data();
        int length = static_cast<int>(bytes.size());
        return registry.SetBinary(kKey, name, data, length);
    }
    Bytes getBinary(const std::wstring& name) {
        unsigned char* data = nullptr;
        int length = 0;
        const bool found = registry.GetBinary(kKey, name, data, length);
        const std::unique_ptr<unsigned char[]> owned(data);
        return found ? Bytes(data, data + length) : Bytes();
    }
    // -1 when the read fails and leaves |value| as it was.
    int64_t getDword(const std::wstring& name, const std::wstring& key = kKey) {
        uint32_t value = 99;
        return registry.GetDWORD(key, name, value) ? int64_t(value) : value == 99 ? -1 : -2;
    }
    // "name=text;" for each value listed into |values|.
    std::wstring enumerate(const std::wstring& key,
                           std::map<std::wstring, std::wstring> values = {}) {
        registry.EnumValues(key, values);
        std::wstring out;
        for (const auto& value : values) out += value.first + L"=" + value.second + L";";
        return out;
    }

    LogTestEnvironment env;
    CRegistryImpl registry;
};

TEST_F(RegistryTest, ValuesAreStoredAsReadableTextReplacedWholeAndEnumerated) {
    ASSERT_TRUE(registry.SetDWORD(kKey, L"All", 0xFFFFFFFFu));
    ASSERT_TRUE(registry.SetDWORD(kKey, L"LogLevel", 0x80000000u));
    ASSERT_TRUE(registry.SetString(kKey, L".Hidden/Path", L"a\\b\nc\u00e9"));
    ASSERT_TRUE(registry.SetString(kKey, L"", L"default"));
    ASSERT_TRUE(setBinary(L"Blob", {0x00, 0xAB, 0x10}));
    ASSERT_TRUE(registry.SetDWORD(kKey + L"\\Sub", L"Deeper", 1));
    // A reader that opened the file before a write still reads the old value whole.
    std::ifstream before(vantoFile("loglevel.value"));
    ASSERT_TRUE(registry.SetDWORD(kKey, L"LogLevel", 7));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(before), {}),
              "name=LogLevel\ntype=REG_DWORD\ndata=2147483648\n");
    EXPECT_EQ(ReadTempFile(vantoFile("%2Ehidden%2Fpath.value")),
              "name=.Hidden/Path\ntype=REG_SZ\ndata=a\\\\b\\nc\u00e9\n");
    EXPECT_EQ(ReadTempFile(vantoFile("blob.value")), "name=Blob\ntype=REG_BINARY\ndata=00ab10\n");
    // Strings and DWORDs (signed), over what the map held.
    EXPECT_EQ(enumerate(kKey, {{L"Kept", L"k"}, {L"All", L"old"}}),
              L"=default;.Hidden/Path=a\\b\nc\u00e9;All=-1;Kept=k;LogLevel=7;");
}

TEST_F(RegistryTest, ReadsThatFailOrDoNotFitTouchNothingAndTypesAreNotChecked) {
    unsigned char byte = 1;
    unsigned char *data = &byte, *null = nullptr;
    int length = 5;
    EXPECT_EQ(getDword(L"LogLevel"), -1);  // no key
    EXPECT_FALSE(registry.SetBinary(kKey, L"Blob", data, length = 0));
    EXPECT_FALSE(registry.SetBinary(kKey, L"Blob", data, length = -1));
    EXPECT_FALSE(registry.SetBinary(kKey, L"Blob", null, length = 4));
    EXPECT_FALSE(std::filesystem::exists(env.registry));
    ASSERT_TRUE(registry.SetString(kKey, L"Empty", L""));
    std::wstring kept = L"keep";
    EXPECT_FALSE(registry.GetString(kKey, L"LogLevel", kept));
    EXPECT_FALSE(registry.GetBinary(kKey, L"LogLevel", data, length));
    EXPECT_TRUE(kept == L"keep" && data == &byte && length == 4);
    EXPECT_EQ(getBinary(L"Empty"), Bytes({0, 0}));  // the terminating zero
    EXPECT_EQ(getDword(L"Empty"), -1);              // 2 bytes do not fill a DWORD
    ASSERT_TRUE(setBinary(L"Eight", {1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(getDword(L"Eight"), -1);                     // nor are 8 bytes cut to 4
    ASSERT_TRUE(registry.SetString(kKey, L"Four", L"4"));  // '4' 00 00 00
    EXPECT_EQ(getDword(L"Four"), 0x34);
    const std::wstring lone(1, static_cast<wchar_t>(0xD800)), x(1023, L'x');
    // 1023 units and the zero fill the 2048-byte buffer; a text is read up to its first zero.
    for (const std::wstring& text : {std::wstring(L"a\0b", 3), std::wstring(), x, lone + L"x",
                                     std::wstring(L"caf\u00e9 \u20ac \U0001F600 \t\r\x1b=")}) {
        std::wstring read;
        EXPECT_TRUE(registry.SetString(kKey, L"Text", text) &&
                    registry.GetString(kKey, L"Text", read) && read == text.c_str());
    }
    // One unit more does not fit, nor does a pair (2 units) at the end.
    for (const std::wstring& text : {x + L"x", x.substr(1) + L"\U0001F600"}) {
        std::wstring read = L"untouched";
        EXPECT_TRUE(registry.SetString(kKey, L"Text", text));
        EXPECT_FALSE(registry.GetString(kKey, L"Text", read) || read != L"untouched");
    }
    for (size_t size : {1, 2048, 2049}) {
        Bytes bytes(size);
        for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(i * 7);
        ASSERT_TRUE(setBinary(L"Blob", bytes)) << size;
        EXPECT_EQ(getBinary(L"Blob"), size <= 2048 ? bytes : Bytes()) << size;
    }
}

TEST_F(RegistryTest, KeysAndNamesIgnoreCaseKeepTheirFirstSpellingAndStayInTheRoot) {
    const std::tuple<std::wstring, std::wstring, std::wstring, std::wstring> cases[] = {
        {L"SOFTWARE\\Dessaro\\VANTO", L"loglevel", kKey, L"LogLevel"},
        {L"Software\\\u00c9t\u00c9", L"\u041a\u043b\u044e\u0447", L"software\\\u00e9T\u00e9",
         L"\u043a\u041b\u042e\u0447"},
        {L"Software\\\\Dessaro\\Vanto\\", L"Level", kKey, L"LEVEL"},  // empty components
        {L"..\\..\\Escape", L"../../Escaped", L"..\\..\\ESCAPE", L"../../escaped"}};
    uint32_t value = 100;
    for (const auto& [writeKey, writeName, readKey, readName] : cases) {
        ASSERT_TRUE(registry.SetDWORD(writeKey, writeName, ++value));
        EXPECT_EQ(getDword(readName, readKey), value);
    }
    EXPECT_FALSE(std::filesystem::exists(env.registry + "/../escape"));
    EXPECT_TRUE(std::filesystem::exists(env.registry + "/%2E%2E/%2E%2E/escape"));
    ASSERT_TRUE(registry.SetDWORD(kKey, L"LOGLEVEL", 1));
    EXPECT_EQ(enumerate(kKey), L"Level=103;loglevel=1;");
}

TEST_F(RegistryTest, HandWrittenAndDamagedFiles) {
    const std::string head = "name=LogLevel\ntype=REG_DWORD\n", file = vantoFile("loglevel.value");
    ASSERT_TRUE(registry.SetDWORD(kKey, L"Seed", 0));
    WriteTempFile(file, "name=LogLevel\r\ntype=REG_DWORD\r\ndata=0x10\r\n");
    EXPECT_EQ(getDword(L"LogLevel"), 16);
    WriteTempFile(file, head + "data=3");
    EXPECT_EQ(getDword(L"LogLevel"), 3);
    // Too large, of another type, without data, with more, of another name, not UTF-8.
    for (const std::string& bad : std::vector<std::string>{
             head + "data=4294967296\n", "name=LogLevel\ntype=REG_QWORD\ndata=1\n", head,
             head + "data=1\nextra=1\n", "name=Other\ntype=REG_DWORD\ndata=1\n",
             "name=Log\xffLevel\ntype=REG_DWORD\ndata=1\n"}) {
        WriteTempFile(vantoFile("loglevel.value"), bad);
        EXPECT_EQ(getDword(L"LogLevel"), -1) << bad;
    }
    // What a write that crashed before its rename leaves behind is no value.
    WriteTempFile(vantoFile(".tmp-a1b2c3"), "name=Seed\ntype=REG_DW");
    EXPECT_EQ(enumerate(kKey), L"Seed=0;");
}

}  // namespace
