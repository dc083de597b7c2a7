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

const std::wstring kKey = L"Software\\Dessaro\\Vanto";

class RegistryTest : public ::testing::Test {
protected:
    // The value file of |name| in the folder of kKey, as an administrator finds it.
    std::string vantoFile(const std::string& fileName) const {
        return env.registry() + "/software/dessaro/vanto/" + fileName;
    }

    std::vector<unsigned char> getBinary(const std::wstring& name, bool* found) {
        unsigned char* data = nullptr;
        int length = -1;
        *found = registry.GetBinary(kKey, name, data, length);
        std::unique_ptr<unsigned char[]> owned(data);
        return *found ? std::vector<unsigned char>(data, data + length)
                      : std::vector<unsigned char>();
    }

    bool setBinary(const std::wstring& name, std::vector<unsigned char> bytes) {
        unsigned char* data = bytes.data();
        int length = static_cast<int>(bytes.size());
        return registry.SetBinary(kKey, name, data, length);
    }

    LogTestEnvironment env;
    CRegistryImpl registry;
};

TEST_F(RegistryTest, DwordsRoundTrip) {
    for (uint32_t value : {0u, 1u, 4u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        ASSERT_TRUE(registry.SetDWORD(kKey, L"LogLevel", value)) << value;
        uint32_t read = 12345;
        EXPECT_TRUE(registry.GetDWORD(kKey, L"LogLevel", read)) << value;
        EXPECT_EQ(read, value);
    }
}

TEST_F(RegistryTest, StringsRoundTripUpToTheBufferSize) {
    const struct {
        std::wstring written;
        bool found;
        std::wstring read;
    } cases[] = {
        {L"", true, L""},
        {L"abc", true, L"abc"},
        {L"caf\u00e9 \u20ac", true, L"caf\u00e9 \u20ac"},
        {L"\U0001F600 smile", true, L"\U0001F600 smile"},
        {std::wstring(1, static_cast<wchar_t>(0xD800)) + L"x", true,
         std::wstring(1, static_cast<wchar_t>(0xD800)) + L"x"},
        {L"line\nbreak\\back=eq\ttab\r\x1b", true, L"line\nbreak\\back=eq\ttab\r\x1b"},
        {std::wstring(L"a\0b", 3), true, L"a"},
        // 1023 units and the zero fill the 2048-byte buffer; one more does not fit.
        {std::wstring(1023, L'x'), true, std::wstring(1023, L'x')},
        {std::wstring(1024, L'x'), false, L"untouched"},
        {std::wstring(1022, L'x') + L"\U0001F600", false, L"untouched"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(registry.SetString(kKey, L"Text", c.written)) << c.written.size();
        std::wstring read = L"untouched";
        EXPECT_EQ(registry.GetString(kKey, L"Text", read), c.found) << c.written.size();
        EXPECT_EQ(read, c.read) << c.written.size();
    }
}

TEST_F(RegistryTest, BinaryRoundTripsUpToTheBufferSize) {
    std::vector<unsigned char> every(256);
    for (size_t i = 0; i < every.size(); ++i) every[i] = static_cast<unsigned char>(i);
    for (size_t size : {size_t(1), size_t(256), size_t(2048), size_t(2049)}) {
        std::vector<unsigned char> bytes(size);
        for (size_t i = 0; i < size; ++i) bytes[i] = every[(i * 7) % 256];
        ASSERT_TRUE(setBinary(L"Blob", bytes)) << size;
        bool found = false;
        const std::vector<unsigned char> read = getBinary(L"Blob", &found);
        EXPECT_EQ(found, size <= 2048) << size;
        if (found) {
            EXPECT_EQ(read, bytes) << size;
        }
    }
}

TEST_F(RegistryTest, AbsentValuesLeaveOutParametersAlone) {
    uint32_t number = 77;
    std::wstring text = L"keep";
    EXPECT_FALSE(registry.GetDWORD(kKey, L"LogLevel", number));
    ASSERT_TRUE(registry.SetDWORD(kKey, L"Other", 1));
    EXPECT_FALSE(registry.GetDWORD(kKey, L"LogLevel", number));
    EXPECT_FALSE(registry.GetString(kKey, L"LogLevel", text));
    EXPECT_FALSE(registry.GetDWORD(L"Software\\Nobody", L"Other", number));
    unsigned char sentinel = 0;
    unsigned char* data = &sentinel;
    int length = 5;
    EXPECT_FALSE(registry.GetBinary(kKey, L"LogLevel", data, length));
    EXPECT_EQ(number, 77u);
    EXPECT_EQ(text, L"keep");
    EXPECT_EQ(data, &sentinel);
    EXPECT_EQ(length, 5);
}

TEST_F(RegistryTest, SetBinaryWithoutDataWritesNothing) {
    unsigned char byte = 1;
    const struct {
        unsigned char* data;
        int length;
    } cases[] = {{nullptr, 4}, {&byte, 0}, {&byte, -1}};
    for (auto c : cases) EXPECT_FALSE(registry.SetBinary(kKey, L"Blob", c.data, c.length));
    EXPECT_FALSE(TempPathExists(env.registry()));
}

TEST_F(RegistryTest, ValueTypesAreNotCheckedOnRead) {
    // An empty string is its terminating zero: 2 bytes.
    ASSERT_TRUE(registry.SetString(kKey, L"Empty", L""));
    bool found = false;
    EXPECT_EQ(getBinary(L"Empty", &found), std::vector<unsigned char>({0, 0}));
    uint32_t number = 9;
    EXPECT_FALSE(registry.GetDWORD(kKey, L"Empty", number));  // 2 bytes do not fill a DWORD
    EXPECT_EQ(number, 9u);

    ASSERT_TRUE(registry.SetString(kKey, L"Four", L"4"));  // '4' 00 00 00
    EXPECT_TRUE(registry.GetDWORD(kKey, L"Four", number));
    EXPECT_EQ(number, 0x34u);

    ASSERT_TRUE(setBinary(L"Eight", {1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_FALSE(registry.GetDWORD(kKey, L"Eight", number));

    ASSERT_TRUE(registry.SetDWORD(kKey, L"Letter", 0x41));
    std::wstring text;
    EXPECT_TRUE(registry.GetString(kKey, L"Letter", text));
    EXPECT_EQ(text, L"A");
}

TEST_F(RegistryTest, KeysAndNamesIgnoreCase) {
    const struct {
        std::wstring writeKey, writeName, readKey, readName;
    } cases[] = {
        {L"SOFTWARE\\Dessaro\\VANTO", L"loglevel", kKey, L"LogLevel"},
        {L"Software\\\u00c9t\u00c9", L"\u041a\u043b\u044e\u0447", L"software\\\u00e9T\u00e9",
         L"\u043a\u041b\u042e\u0447"},
        // Empty components name no key of their own.
        {L"Software\\\\Dessaro\\Vanto\\", L"Level", kKey, L"LEVEL"},
    };
    uint32_t value = 100;
    for (const auto& c : cases) {
        ++value;
        ASSERT_TRUE(registry.SetDWORD(c.writeKey, c.writeName, value)) << c.writeName.size();
        uint32_t read = 0;
        EXPECT_TRUE(registry.GetDWORD(c.readKey, c.readName, read)) << value;
        EXPECT_EQ(read, value);
    }
}

TEST_F(RegistryTest, NameKeepsTheSpellingOfItsFirstWrite) {
    ASSERT_TRUE(registry.SetDWORD(kKey, L"LogLevel", 1));
    ASSERT_TRUE(registry.SetDWORD(kKey, L"LOGLEVEL", 2));
    std::map<std::wstring, std::wstring> values;
    registry.EnumValues(kKey, values);
    EXPECT_EQ(values, (std::map<std::wstring, std::wstring>{{L"LogLevel", L"2"}}));
}

TEST_F(RegistryTest, EnumValuesListsStringsAndSignedDwords) {
    ASSERT_TRUE(registry.SetDWORD(kKey, L"All", 0xFFFFFFFFu));
    ASSERT_TRUE(registry.SetDWORD(kKey, L"Four", 4));
    ASSERT_TRUE(registry.SetString(kKey, L"Name", L"caf\u00e9"));
    ASSERT_TRUE(registry.SetString(kKey, L"", L"default"));
    ASSERT_TRUE(setBinary(L"Blob", {1, 2, 3}));
    ASSERT_TRUE(registry.SetDWORD(kKey + L"\\Sub", L"Deeper", 1));

    std::map<std::wstring, std::wstring> values = {{L"Kept", L"k"}, {L"Four", L"old"}};
    registry.EnumValues(kKey, values);
    EXPECT_EQ(values, (std::map<std::wstring, std::wstring>{{L"All", L"-1"},
                                                             {L"Four", L"4"},
                                                             {L"Name", L"caf\u00e9"},
                                                             {L"", L"default"},
                                                             {L"Kept", L"k"}}));

    std::map<std::wstring, std::wstring> untouched = {{L"Kept", L"k"}};
    registry.EnumValues(L"Software\\Nobody", untouched);
    EXPECT_EQ(untouched.size(), 1u);
}

TEST_F(RegistryTest, StoredFormIsReadableText) {
    ASSERT_TRUE(registry.SetDWORD(kKey, L"LogLevel", 4));
    EXPECT_EQ(ReadTempFile(vantoFile("loglevel.value")), "name=LogLevel\ntype=REG_DWORD\ndata=4\n");
    ASSERT_TRUE(registry.SetString(kKey, L".Hidden/Path", L"a\\b\nc\u00e9"));
    EXPECT_EQ(ReadTempFile(vantoFile("%2Ehidden%2Fpath.value")),
              "name=.Hidden/Path\ntype=REG_SZ\ndata=a\\\\b\\nc\u00e9\n");
    ASSERT_TRUE(setBinary(L"Blob", {0x00, 0xAB, 0x10}));
    EXPECT_EQ(ReadTempFile(vantoFile("blob.value")), "name=Blob\ntype=REG_BINARY\ndata=00ab10\n");
}

TEST_F(RegistryTest, HandWrittenAndDamagedFiles) {
    ASSERT_TRUE(registry.SetDWORD(kKey, L"Seed", 0));  // creates the key's folder
    const struct {
        const char* contents;
        bool readable;
        uint32_t value;
    } cases[] = {
        {"name=LogLevel\r\ntype=REG_DWORD\r\ndata=0x10\r\n", true, 16},
        {"name=LogLevel\ntype=REG_DWORD\ndata=3", true, 3},
        {"name=LogLevel\ntype=REG_DWORD\ndata=4294967296\n", false, 0},
        {"name=LogLevel\ntype=REG_DWORD\ndata=-1\n", false, 0},
        {"name=LogLevel\ntype=REG_QWORD\ndata=1\n", false, 0},
        {"name=LogLevel\ntype=REG_DWORD\n", false, 0},
        {"name=LogLevel\ntype=REG_DWORD\ndata=1\nextra=1\n", false, 0},
        {"name=Other\ntype=REG_DWORD\ndata=1\n", false, 0},  // not this file's name
        {"name=Log\xffLevel\ntype=REG_DWORD\ndata=1\n", false, 0},
        {"", false, 0},
    };
    for (const auto& c : cases) {
        WriteTempFile(vantoFile("loglevel.value"), c.contents);
        uint32_t value = 99;
        EXPECT_EQ(registry.GetDWORD(kKey, L"LogLevel", value), c.readable) << c.contents;
        EXPECT_EQ(value, c.readable ? c.value : 99u) << c.contents;
    }
    // A write that crashed before its rename leaves a temporary file that is no value.
    WriteTempFile(vantoFile(".tmp-a1b2c3"), "name=Seed\ntype=REG_DW");
    std::map<std::wstring, std::wstring> values;
    registry.EnumValues(kKey, values);
    EXPECT_EQ(values, (std::map<std::wstring, std::wstring>{{L"Seed", L"0"}}));
}

TEST_F(RegistryTest, NamesCannotLeaveTheRoot) {
    ASSERT_TRUE(registry.SetDWORD(L"..\\..\\Escape", L"../../Escaped", 7));
    EXPECT_FALSE(TempPathExists(env.dir().file("Escape")));
    EXPECT_FALSE(TempPathExists(env.dir().file("escape")));
    EXPECT_TRUE(TempPathIsFolder(env.registry() + "/%2E%2E/%2E%2E/escape"));
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
        // Reads until the writer is done (bounded in any case); any torn, missing or foreign
        // value ends the child with a non-zero status.
        CRegistryImpl reader;
        char byte = 1;
        if (write(ready[1], &byte, 1) != 1) _exit(3);
        for (int reads = 0; reads < 1000000; ++reads) {
            std::wstring text;
            if (!reader.GetString(kKey, L"Big", text)) _exit(1);
            if (text != first && text != second) _exit(2);
            if (read(done[0], &byte, 1) == 1) _exit(0);
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
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
}

TEST_F(RegistryTest, GetRegistryIsOneInstance) {
    EXPECT_EQ(GetRegistry().get(), GetRegistry().get());
    ASSERT_TRUE(GetRegistry()->SetDWORD(kKey, L"LogLevel", 3));
    uint32_t value = 0;
    EXPECT_TRUE(registry.GetDWORD(kKey, L"LogLevel", value));
    EXPECT_EQ(value, 3u);
}

}  // namespace
