#include "common/Registry.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

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

    // Empty with |found| false when the read fails.
    Bytes getBinary(const std::wstring& name, bool* found) {
        unsigned char* data = nullptr;
        int length = 0;
        *found = registry.GetBinary(kKey, name, data, length);
        const std::unique_ptr<unsigned char[]> owned(data);
        return *found ? Bytes(data, data + length) : Bytes();
    }

    Values enumerate(const std::wstring& key, Values values = Values()) {
        registry.EnumValues(key, values);
        return values;
    }

    LogTestEnvironment env;
    CRegistryImpl registry;
};

TEST_F(RegistryTest, DwordsRoundTrip) {
    for (uint32_t value : {0u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        ASSERT_TRUE(registry.SetDWORD(kKey, L"LogLevel", value));
        uint32_t read = 12345;
        EXPECT_TRUE(registry.GetDWORD(kKey, L"LogLevel", read));
        EXPECT_EQ(read, value);
    }
}

TEST_F(RegistryTest, StringsRoundTripUpToTheBufferSize) {
    const std::wstring lone(1, static_cast<wchar_t>(0xD800));
    const struct {
        std::wstring written;
        bool found;
        std::wstring read;
    } cases[] = {
        {L"", true, L""},
        {L"caf\u00e9 \u20ac \U0001F600", true, L"caf\u00e9 \u20ac \U0001F600"},
        {lone + L"x", true, lone + L"x"},
        {L"line\nbreak\\back=eq\ttab\r\x1b", true, L"line\nbreak\\back=eq\ttab\r\x1b"},
        {std::wstring(L"a\0b", 3), true, L"a"},  // up to the first zero
        // 1023 units and the zero fill the 2048-byte buffer; one more does not fit.
        {std::wstring(1023, L'x'), true, std::wstring(1023, L'x')},
        {std::wstring(1024, L'x'), false, L"untouched"},
        {std::wstring(1022, L'x') + L"\U0001F600", false, L"untouched"},  // a pair is 2 units
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(registry.SetString(kKey, L"Text", c.written));
        std::wstring read = L"untouched";
        EXPECT_EQ(registry.GetString(kKey, L"Text", read), c.found) << c.written.size();
        EXPECT_EQ(read, c.read) << c.written.size();
    }
}

TEST_F(RegistryTest, BinaryRoundTripsUpToTheBufferSize) {
    for (size_t size : {1, 2048, 2049}) {
        Bytes bytes(size);
        for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(i * 7);
        ASSERT_TRUE(setBinary(L"Blob", bytes)) << size;
        bool found = false;
        const Bytes read = getBinary(L"Blob", &found);
        EXPECT_EQ(found, size <= 2048) << size;
        EXPECT_EQ(read, found ? bytes : Bytes()) << size;
    }
}

TEST_F(RegistryTest, FailedCallsTouchNothing) {
    uint32_t number = 77;
    std::wstring text = L"keep";
    unsigned char byte = 1;
    unsigned char* data = &byte;
    int length = 5;
    EXPECT_FALSE(registry.GetDWORD(kKey, L"LogLevel", number));  // no key
    EXPECT_FALSE(registry.SetBinary(kKey, L"Blob", data, length = 0));
    EXPECT_FALSE(registry.SetBinary(kKey, L"Blob", data, length = -1));
    unsigned char* null = nullptr;
    EXPECT_FALSE(registry.SetBinary(kKey, L"Blob", null, length = 4));
    EXPECT_FALSE(TempPathExists(env.registry()));

    ASSERT_TRUE(registry.SetDWORD(kKey, L"Other", 1));
    EXPECT_FALSE(registry.GetDWORD(kKey, L"LogLevel", number));  // no value
    EXPECT_FALSE(registry.GetString(kKey, L"LogLevel", text));
    EXPECT_FALSE(registry.GetBinary(kKey, L"LogLevel", data, length));
    EXPECT_EQ(number, 77u);
    EXPECT_EQ(text, L"keep");
    EXPECT_EQ(data, &byte);
    EXPECT_EQ(length, 4);
}

TEST_F(RegistryTest, TypesAreNotCheckedOnRead) {
    ASSERT_TRUE(registry.SetString(kKey, L"Empty", L""));
    bool found = false;
    EXPECT_EQ(getBinary(L"Empty", &found), Bytes({0, 0}));  // the terminating zero
    uint32_t number = 9;
    EXPECT_FALSE(registry.GetDWORD(kKey, L"Empty", number));  // 2 bytes do not fill a DWORD
    ASSERT_TRUE(setBinary(L"Eight", {1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_FALSE(registry.GetDWORD(kKey, L"Eight", number));  // nor are 8 bytes cut to 4
    EXPECT_EQ(number, 9u);
    ASSERT_TRUE(registry.SetString(kKey, L"Four", L"4"));  // '4' 00 00 00
    EXPECT_TRUE(registry.GetDWORD(kKey, L"Four", number));
    EXPECT_EQ(number, 0x34u);
}

TEST_F(RegistryTest, KeysAndNamesIgnoreCaseAndKeepTheirFirstSpelling) {
    const struct {
        std::wstring writeKey, writeName, readKey, readName;
    } cases[] = {
        {L"SOFTWARE\\Dessaro\\VANTO", L"loglevel", kKey, L"LogLevel"},
        {L"Software\\\u00c9t\u00c9", L"\u041a\u043b\u044e\u0447", L"software\\\u00e9T\u00e9",
         L"\u043a\u041b\u042e\u0447"},
        {L"Software\\\\Dessaro\\Vanto\\", L"Level", kKey, L"LEVEL"},  // empty components
    };
    uint32_t value = 100;
    for (const auto& c : cases) {
        ASSERT_TRUE(registry.SetDWORD(c.writeKey, c.writeName, ++value));
        uint32_t read = 0;
        EXPECT_TRUE(registry.GetDWORD(c.readKey, c.readName, read)) << value;
        EXPECT_EQ(read, value);
    }
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

TEST_F(RegistryTest, StoredFormIsReadableText) {
    ASSERT_TRUE(registry.SetDWORD(kKey, L"LogLevel", 4));
    ASSERT_TRUE(registry.SetString(kKey, L".Hidden/Path", L"a\\b\nc\u00e9"));
    ASSERT_TRUE(setBinary(L"Blob", {0x00, 0xAB, 0x10}));
    EXPECT_EQ(ReadTempFile(vantoFile("loglevel.value")), "name=LogLevel\ntype=REG_DWORD\ndata=4\n");
    EXPECT_EQ(ReadTempFile(vantoFile("%2Ehidden%2Fpath.value")),
              "name=.Hidden/Path\ntype=REG_SZ\ndata=a\\\\b\\nc\u00e9\n");
    EXPECT_EQ(ReadTempFile(vantoFile("blob.value")), "name=Blob\ntype=REG_BINARY\ndata=00ab10\n");
}

TEST_F(RegistryTest, HandWrittenAndDamagedFiles) {
    ASSERT_TRUE(registry.SetDWORD(kKey, L"Seed", 0));
    const struct {
        const char* contents;
        uint32_t value;  // 99: unreadable
    } cases[] = {
        {"name=LogLevel\r\ntype=REG_DWORD\r\ndata=0x10\r\n", 16},
        {"name=LogLevel\ntype=REG_DWORD\ndata=3", 3},
        {"name=LogLevel\ntype=REG_DWORD\ndata=4294967296\n", 99},
        {"name=LogLevel\ntype=REG_QWORD\ndata=1\n", 99},
        {"name=LogLevel\ntype=REG_DWORD\n", 99},
        {"name=LogLevel\ntype=REG_DWORD\ndata=1\nextra=1\n", 99},
        {"name=Other\ntype=REG_DWORD\ndata=1\n", 99},  // not this file's name
        {"name=Log\xffLevel\ntype=REG_DWORD\ndata=1\n", 99},
    };
    for (const auto& c : cases) {
        WriteTempFile(vantoFile("loglevel.value"), c.contents);
        uint32_t value = 99;
        EXPECT_EQ(registry.GetDWORD(kKey, L"LogLevel", value), c.value != 99) << c.contents;
        EXPECT_EQ(value, c.value) << c.contents;
    }
    // What a write that crashed before its rename leaves behind is no value.
    WriteTempFile(vantoFile(".tmp-a1b2c3"), "name=Seed\ntype=REG_DW");
    EXPECT_EQ(enumerate(kKey), (Values{{L"Seed", L"0"}}));
}

TEST_F(RegistryTest, NamesCannotLeaveTheRoot) {
    ASSERT_TRUE(registry.SetDWORD(L"..\\..\\Escape", L"../../Escaped", 7));
    EXPECT_FALSE(TempPathExists(env.dir().file("escape")));
    EXPECT_TRUE(TempPathExists(env.registry() + "/%2E%2E/%2E%2E/escape"));
    uint32_t value = 0;
    EXPECT_TRUE(registry.GetDWORD(L"..\\..\\ESCAPE", L"../../escaped", value));
    EXPECT_EQ(value, 7u);
}

TEST_F(RegistryTest, ReaderInAnotherProcessSeesOldOrNewValueWhole) {
    const std::wstring first(1000, L'a');
    const std::wstring second(900, L'b');
    ASSERT_TRUE(registry.SetString(kKey, L"Big", first));
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe2(done, O_NONBLOCK), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Reads until the writer is done (bounded in any case); a torn, missing or foreign value
        // ends the child with a non-zero status.
        char byte = 1;
        if (write(ready[1], &byte, 1) != 1) _exit(3);
        for (int reads = 0; reads < 1000000 && read(done[0], &byte, 1) != 1; ++reads) {
            std::wstring text;
            if (!registry.GetString(kKey, L"Big", text)) _exit(1);
            if (text != first && text != second) _exit(2);
        }
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(registry.SetString(kKey, L"Big", i % 2 == 0 ? second : first));
    }
    ASSERT_EQ(write(done[1], &byte, 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
}

}  // namespace
