#include "common/Registry.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <memory>

#include <gtest/gtest.h>

#include "support/LogTestEnvironment.h"

namespace {

typedef std::map<std::wstring, std::wstring> Values;
typedef std::vector<unsigned char> Bytes;

const std::wstring kKey = L"Software\\Dessaro\\Vanto";

class RegistryTest : public ::testing::Test {
  protected:
    std::string vantoFile(const std::string& fileName) const {
        return env.registry() + "/software/dessaro/vanto/" + fileName;
    }
    bool setBinary(const std::wstring& name, Bytes bytes) {
        unsigned char* data = bytes.data();
        int length = static_cast<int>(bytes.size());
        return registry.SetBinary(kKey, name, data, length);
    }
    // Empty when the read fails.
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
    // "name=text;" for each value listed into |values|, in the order of the names.
    std::wstring enumerate(const std::wstring& key, Values values = Values()) {
        registry.EnumValues(key, values);
        std::wstring out;
        for (const auto& value : values) out += value.first + L"=" + value.second + L";";
        return out;
    }

    LogTestEnvironment env;
    CRegistryImpl registry;
};

TEST_F(RegistryTest, ValuesAreStoredAsReadableTextAndEnumerated) {
    ASSERT_TRUE(registry.SetDWORD(kKey, L"All", 0xFFFFFFFFu));
    ASSERT_TRUE(registry.SetDWORD(kKey, L"LogLevel", 0x80000000u));
    ASSERT_TRUE(registry.SetString(kKey, L".Hidden/Path", L"a\\b\nc\u00e9"));
    ASSERT_TRUE(registry.SetString(kKey, L"", L"default"));
    ASSERT_TRUE(setBinary(L"Blob", {0x00, 0xAB, 0x10}));
    ASSERT_TRUE(registry.SetDWORD(kKey + L"\\Sub", L"Deeper", 1));
    EXPECT_TRUE(getDword(L"All") == 0xFFFFFFFFu && getDword(L"LogLevel") == 0x80000000u);
    EXPECT_EQ(getBinary(L"Blob"), Bytes({0x00, 0xAB, 0x10}));
    EXPECT_EQ(ReadTempFile(vantoFile("loglevel.value")),
              "name=LogLevel\ntype=REG_DWORD\ndata=2147483648\n");
    EXPECT_EQ(ReadTempFile(vantoFile("%2Ehidden%2Fpath.value")),
              "name=.Hidden/Path\ntype=REG_SZ\ndata=a\\\\b\\nc\u00e9\n");
    EXPECT_EQ(ReadTempFile(vantoFile("blob.value")), "name=Blob\ntype=REG_BINARY\ndata=00ab10\n");
    // Strings and DWORDs (signed), over what the map held; a missing key leaves the map as it was.
    EXPECT_EQ(enumerate(kKey, {{L"Kept", L"k"}, {L"All", L"old"}}),
              L"=default;.Hidden/Path=a\\b\nc\u00e9;All=-1;Kept=k;LogLevel=-2147483648;");
    EXPECT_EQ(enumerate(L"Software\\Nobody", {{L"Kept", L"k"}}), L"Kept=k;");
}

TEST_F(RegistryTest, ReadsFitTheBufferSizeOrTouchNothing) {
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

TEST_F(RegistryTest, FailedCallsTouchNothingAndTypesAreNotCheckedOnRead) {
    unsigned char byte = 1;
    unsigned char *data = &byte, *null = nullptr;
    int length = 5;
    EXPECT_EQ(getDword(L"LogLevel"), -1);  // no key
    EXPECT_FALSE(registry.SetBinary(kKey, L"Blob", data, length = 0));
    EXPECT_FALSE(registry.SetBinary(kKey, L"Blob", data, length = -1));
    EXPECT_FALSE(registry.SetBinary(kKey, L"Blob", null, length = 4));
    EXPECT_FALSE(std::filesystem::exists(env.registry()));
    ASSERT_TRUE(registry.SetString(kKey, L"Empty", L""));
    EXPECT_EQ(getDword(L"LogLevel"), -1);  // no value
    std::wstring text = L"keep";
    EXPECT_FALSE(registry.GetString(kKey, L"LogLevel", text));
    EXPECT_FALSE(registry.GetBinary(kKey, L"LogLevel", data, length));
    EXPECT_TRUE(text == L"keep" && data == &byte && length == 4);
    EXPECT_EQ(getBinary(L"Empty"), Bytes({0, 0}));  // the terminating zero
    EXPECT_EQ(getDword(L"Empty"), -1);              // 2 bytes do not fill a DWORD
    ASSERT_TRUE(setBinary(L"Eight", {1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(getDword(L"Eight"), -1);                     // nor are 8 bytes cut to 4
    ASSERT_TRUE(registry.SetString(kKey, L"Four", L"4"));  // '4' 00 00 00
    EXPECT_EQ(getDword(L"Four"), 0x34);
}

TEST_F(RegistryTest, KeysAndNamesIgnoreCaseKeepTheirFirstSpellingAndStayInTheRoot) {
    const struct {
        std::wstring writeKey, writeName, readKey, readName;
    } cases[] = {{L"SOFTWARE\\Dessaro\\VANTO", L"loglevel", kKey, L"LogLevel"},
                 {L"Software\\\u00c9t\u00c9", L"\u041a\u043b\u044e\u0447",
                  L"software\\\u00e9T\u00e9", L"\u043a\u041b\u042e\u0447"},
                 {L"Software\\\\Dessaro\\Vanto\\", L"Level", kKey, L"LEVEL"},  // empty components
                 {L"..\\..\\Escape", L"../../Escaped", L"..\\..\\ESCAPE", L"../../escaped"}};
    uint32_t value = 100;
    for (const auto& c : cases) {
        ASSERT_TRUE(registry.SetDWORD(c.writeKey, c.writeName, ++value));
        EXPECT_EQ(getDword(c.readName, c.readKey), value);
    }
    EXPECT_FALSE(std::filesystem::exists(env.registry() + "/../escape"));
    EXPECT_TRUE(std::filesystem::exists(env.registry() + "/%2E%2E/%2E%2E/escape"));
    ASSERT_TRUE(registry.SetDWORD(kKey, L"LOGLEVEL", 1));
    EXPECT_EQ(enumerate(kKey), L"Level=103;loglevel=1;");
}

TEST_F(RegistryTest, HandWrittenAndDamagedFiles) {
    const std::string head = "name=LogLevel\ntype=REG_DWORD\n";
    ASSERT_TRUE(registry.SetDWORD(kKey, L"Seed", 0));
    WriteTempFile(vantoFile("loglevel.value"), "name=LogLevel\r\ntype=REG_DWORD\r\ndata=0x10\r\n");
    EXPECT_EQ(getDword(L"LogLevel"), 16);
    WriteTempFile(vantoFile("loglevel.value"), head + "data=3");
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

TEST_F(RegistryTest, ReaderInAnotherProcessSeesOldOrNewValueWhole) {
    const std::wstring texts[] = {std::wstring(1000, L'a'), std::wstring(900, L'b')};
    ASSERT_TRUE(registry.SetString(kKey, L"Big", texts[0]));
    int ready[2], done[2];
    ASSERT_TRUE(pipe(ready) == 0 && pipe2(done, O_NONBLOCK) == 0);
    const pid_t child = fork();
    if (child == 0) {  // reads until the writer is done; a torn or missing value exits non-zero
        char byte = 1;
        bool whole = write(ready[1], &byte, 1) == 1;
        for (int n = 0; whole && n < 1000000 && read(done[0], &byte, 1) != 1; ++n) {
            std::wstring text;
            whole =
                registry.GetString(kKey, L"Big", text) && (text == texts[0] || text == texts[1]);
        }
        _exit(whole ? 0 : 1);
    }
    char byte = 0;
    ASSERT_TRUE(child > 0 && read(ready[0], &byte, 1) == 1);
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(registry.SetString(kKey, L"Big", texts[1 - i % 2]));
    ASSERT_EQ(write(done[1], &byte, 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
}

}  // namespace
