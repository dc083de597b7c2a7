#include <string>

#include <gtest/gtest.h>

#include "platform/FileSystem.h"
#include "platform/NativePath.h"
#include "platform/Shell.h"
#include "support/TempDir.h"

namespace {

TEST(PlatformTest, NativePathsKeepEveryByte) {
    const std::string paths[] = {"/tmp/plain.log", "/tmp/caf\xc3\xa9", "/tmp/\xff\xfe bytes",
                                 "/tmp/\xf0\x9f\x98\x80", "/tmp/\xed\xa0\x80 encoded surrogate"};
    for (const std::string& path : paths) {
        EXPECT_EQ(platform::ToNativePath(platform::FromNativePath(path)), path);
    }
    EXPECT_EQ(platform::FromNativePath("caf\xc3\xa9"), L"caf\u00e9");
    // A pair, as text from a 16-bit platform holds it, is one character on disk.
    EXPECT_EQ(platform::ToNativePath(std::wstring{static_cast<wchar_t>(0xD83D),
                                                  static_cast<wchar_t>(0xDE00)}),
              "\xf0\x9f\x98\x80");
}

TEST(PlatformTest, ProcessNameIsTheFileNameUpToItsFirstDot) {
    const struct {
        std::wstring path;
        std::wstring name;
    } cases[] = {
        {L"/usr/bin/host", L"host"},
        {L"/opt/vanto/host.exe", L"host"},
        {L"/opt/v.1/host.bin.old", L"host"},
        {L"/opt/.hidden", L""},
        {L"relative", L"relative"},
        {L"", L""},
    };
    for (const auto& c : cases) EXPECT_EQ(platform::ProcessNameFromPath(c.path), c.name) << c.path;
    EXPECT_EQ(platform::ProcessNameFromPath(platform::GetExecutablePath()), L"common_tests");
}

TEST(PlatformTest, MoveAndCopyReplaceTheTarget) {
    TempDir dir;
    const std::wstring from = platform::FromNativePath(dir.file("from"));
    const std::wstring to = platform::FromNativePath(dir.file("to"));
    WriteTempFile(dir.file("from"), "new");
    WriteTempFile(dir.file("to"), "old and longer");
    EXPECT_TRUE(platform::CopyFileReplace(from, to));
    EXPECT_EQ(ReadTempFile(dir.file("to")), "new");
    WriteTempFile(dir.file("to"), "old and longer");
    EXPECT_TRUE(platform::MoveFileReplace(from, to));
    EXPECT_EQ(ReadTempFile(dir.file("to")), "new");
    EXPECT_FALSE(TempPathExists(dir.file("from")));
    EXPECT_FALSE(platform::MoveFileReplace(from, to));
    EXPECT_FALSE(platform::CopyFileReplace(from, to));
    EXPECT_TRUE(platform::DeleteFile(to));
    EXPECT_FALSE(platform::DeleteFile(to));
}

}  // namespace
