#include <string>

#include <gtest/gtest.h>

#include "platform/NativePath.h"
#include "platform/Shell.h"

namespace {

TEST(PlatformTest, NativePathsKeepEveryByteAndProcessNamesEndAtTheFirstDot) {
    for (const std::string path :
         {"/tmp/caf\xc3\xa9", "/tmp/\xff\xfe bytes", "/tmp/\xf0\x9f\x98\x80",
          "/tmp/\xed\xa0\x80 encoded surrogate"}) {
        EXPECT_EQ(platform::ToNativePath(platform::FromNativePath(path)), path);
    }
    EXPECT_EQ(platform::FromNativePath("caf\xc3\xa9"), L"caf\u00e9");
    // A UTF-16 pair, as text from a 16-bit platform holds it, is one character on disk.
    EXPECT_EQ(platform::ToNativePath({static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)}),
              "\xf0\x9f\x98\x80");
    const wchar_t* const names[][2] = {{L"/usr/bin/host", L"host"},
                                       {L"/opt/v.1/host.bin.old", L"host"},
                                       {L"/opt/.hidden", L""},
                                       {L"relative", L"relative"}};
    for (const auto& c : names) EXPECT_EQ(platform::ProcessNameFromPath(c[0]), c[1]) << c[0];
    EXPECT_EQ(platform::ProcessNameFromPath(platform::GetExecutablePath()), L"common_tests");
}

}  // namespace
