#include "common/Registry.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

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
    Values enumerate(const std::wstring& key, Values values = Values()) {
        registry.EnumValues(key, values);
        return values;
    }

    LogTestEnvironment env;
    CRegistryImpl registry;
};

TEST_F(RegistryTest, ValuesRoundTripUpToTheBufferSize) {
    for (uint32_t value : {0u, 0x80000000u, 0xFFFFFFFFu}) {
        ASSERT_TRUE(registry.SetDWORD(kKey, L"LogLevel", value));
        EXPECT_EQ(getDword(L"LogLevel"), value);
    }
    const std::wstring lone(1, static_cast<wchar_t>(0xD800));
    const std::wstring x(1023, L'x'), text = L"caf\u00e9 \u20ac \U0001F600 a\nb\\c=d\te\r\x1b";
    const struct {
        std::wstring written;
        bool found;
        std::wstring read;
    } cases[] = {{L"", true, L""},
                 {text, true, text},
                 {lone + L"x", true, lone + L"x"},
                 {std::wstring(L"a\0b", 3), true, L"a"},  // up to the first zero
                 // 1023 units and the zero fill the 2048-byte buffer; one more does not fit.
                 {x, true, x},
                 {x + L"x", false, L"untouched"},
                 {x.substr(1) + L"\U0001F600", false, L"untouched"}};  // a pair is 2 units
    for (const auto& c : cases) {
        ASSERT_TRUE(registry.SetString(kKey, L"Text", c.written));
        std::wstring read = L"untouched";
        EXPECT_EQ(registry.GetString(kKey, L"Text", read), c.found) << c.written.size();
        EXPECT_EQ(read, c.read) << c.written.size();
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
    EXPECT_EQ(getDword(L"Four"), 0x34u);
}

TEST_F(RegistryTest, KeysAndNamesIgnoreCaseAndKeepTheirFirstSpelling) {
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
    // Names cannot leave the root.
    EXPECT_FALSE(std::filesystem::exists(env.dir().file("escape")));
    EXPECT_TRUE(std::filesystem::exists(env.registry() + "/%2E%2E/%2E%2E/escape"));
    ASSERT_TRUE(registry.SetDWORD(kKey, L"LOGLEVEL", 1));
    EXPECT_EQ(enumerate(kKey), (Values{{L"loglevel", L"1"}, {L"Level", L"103"}}));
}

TEST_F(RegistryTest, EnumValuesListsStringsAndSignedDwords) {
    ASSERT_TRUE(registry.SetDWORD(kKey, L"All", 0xFFFFFFFFu));
    ASSERT_TRUE(registry.SetDWORD(kKey, L"Four", 4));
    ASSERT_TRUE(registry.SetString(kKey, L"Name", L"caf\u00e9"));
    ASSERT_TRUE(registry.SetString(kKey, L"", L"default"));
    ASSERT_TRUE(setBinary(L"Blob", {1, 2, 3}));
    ASSERT_TRUE(registry.SetDWORD(kKey + L"\\Sub", L"Deeper", 1));
    EXPECT_EQ(enumerate(kKey, {{L"Kept", L"k"}, {L"Four", L"old"}}),
              (Values{{L"All", L"-1"},
                      {L"Four", L"4"},
                      {L"Name", L"caf\u00e9"},
                      {L"", L"default"},
                      {L"Kept", L"k"}}));
    EXPECT_EQ(enumerate(L"Software\\Nobody", {{L"Kept", L"k"}}), (Values{{L"Kept", L"k"}}));
}

TEST_F(RegistryTest, StoredFormIsReadableTextAndDamagedFilesAreNoValue) {
    ASSERT_TRUE(registry.SetString(kKey, L".Hidden/Path", L"a\\b\nc\u00e9"));
    ASSERT_TRUE(setBinary(L"Blob", {0x00, 0xAB, 0x10}));
    EXPECT_EQ(ReadTempFile(vantoFile("%2Ehidden%2Fpath.value")),
              "name=.Hidden/Path\ntype=REG_SZ\ndata=a\\\\b\\nc\u00e9\n");
    EXPECT_EQ(ReadTempFile(vantoFile("blob.value")), "name=Blob\ntype=REG_BINARY\ndata=00ab10\n");
    ASSERT_TRUE(registry.SetDWORD(kKey, L"LogLevel", 4));
    EXPECT_EQ(ReadTempFile(vantoFile("loglevel.value")), "name=LogLevel\ntype=REG_DWORD\ndata=4\n");
    const std::string head = "name=LogLevel\ntype=REG_DWORD\n";
    const struct {
        std::string contents;
        int64_t value;  // -1: unreadable
    } cases[] = {{"name=LogLevel\r\ntype=REG_DWORD\r\ndata=0x10\r\n", 16},
                 {head + "data=3", 3},
                 {head + "data=4294967296\n", -1},
                 {"name=LogLevel\ntype=REG_QWORD\ndata=1\n", -1},
                 {head, -1},
                 {head + "data=1\nextra=1\n", -1},
                 {"name=Other\ntype=REG_DWORD\ndata=1\n", -1},  // not this file's name
                 {"name=Log\xffLevel\ntype=REG_DWORD\ndata=1\n", -1}};
    for (const auto& c : cases) {
        WriteTempFile(vantoFile("loglevel.value"), c.contents);
        EXPECT_EQ(getDword(L"LogLevel"), c.value) << c.contents;
    }
    // What a write that crashed before its rename leaves behind is no value.
    WriteTempFile(vantoFile(".tmp-a1b2c3"), "name=Seed\ntype=REG_DW");
    EXPECT_EQ(enumerate(kKey), (Values{{L".Hidden/Path", L"a\\b\nc\u00e9"}}));
}

TEST_F(RegistryTest, ReaderInAnotherProcessSeesOldOrNewValueWhole) {
    const std::wstring texts[] = {std::wstring(1000, L'a'), std::wstring(900, L'b')};
    ASSERT_TRUE(registry.SetString(kKey, L"Big", texts[0]));
    int ready[2], done[2];
    ASSERT_TRUE(pipe(ready) == 0 && pipe2(done, O_NONBLOCK) == 0);
    const pid_t child = fork();
    if (child == 0) {  // reads until the writer is done; a torn or missing value exits non-zero
        char byte = 1;
        int status = write(ready[1], &byte, 1) == 1 ? 0 : 3;
        for (int n = 0; status == 0 && n < 1000000 && read(done[0], &byte, 1) != 1; ++n) {
            std::wstring text;
            status = !registry.GetString(kKey, L"Big", text) ? 1
                     : text != texts[0] && text != texts[1]  ? 2
                                                             : 0;
        }
        _exit(status);
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
