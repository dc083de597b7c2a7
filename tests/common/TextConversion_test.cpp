#include "common/TextConversion.h"

#include <gtest/gtest.h>

#include "platform/NativePath.h"
#include "platform/Shell.h"

namespace {

// A surrogate pair as a 16-bit platform holds it.
const std::wstring kPair{static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)};

TEST(TextConversionTest, WideToUtf8EncodesEachUnitOnItsOwn) {
    EXPECT_EQ(wideToUtf8(L"a\u007f\u0080\u07ff\u0800\uffff"),
              "a\x7f\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf");
    // Each half of a pair on its own; the same character in one 32-bit wchar_t gives the same.
    EXPECT_EQ(wideToUtf8(kPair + L"\U0001F600\U0010FFFF"),
              "\xed\xa0\xbd\xed\xb8\x80\xed\xa0\xbd\xed\xb8\x80\xed\xaf\xbf\xed\xbf\xbf");
}

TEST(TextConversionTest, Utf8ToWideStopsAtTheFirstByteItCannotDecode) {
    // A lone continuation byte, overlong leads 0xC0 and 0xC1, a text that ends inside a sequence
    // or a wrong continuation byte, 0xE0 followed by less than 0xA0, a 4-byte sequence.
    for (const char* bad : {"\x80xy", "\xc1\xbf", "\xc3", "\xc3z", "\xe2\x82", "\xe2\x82z",
                            "\xe0\x9f\xbf", "\xf0\x9f\x98\x80"}) {
        EXPECT_EQ(utf8ToWide(std::string("ab") + bad), L"ab") << bad;
    }
    EXPECT_EQ(utf8ToWide("ab\xe0\xa0\x80\xe2\x82\xac \xc3\xa9"), L"ab\u0800\u20ac \u00e9");
    EXPECT_EQ(utf8ToWide("\xed\xa0\xbd"), std::wstring(1, static_cast<wchar_t>(0xD83D)));
    EXPECT_EQ(utf8ToWide(static_cast<const char*>(nullptr)), L"");
}

TEST(PlatformTest, NativePathsKeepEveryByteAndProcessNamesEndAtTheFirstDot) {
    for (const std::string path :
         {"/tmp/caf\xc3\xa9", "/tmp/\xff\xfe bytes", "/tmp/\xf0\x9f\x98\x80",
          "/tmp/\xed\xa0\x80 encoded surrogate"}) {
        EXPECT_EQ(platform::ToNativePath(platform::FromNativePath(path)), path);
    }
    EXPECT_EQ(platform::FromNativePath("caf\xc3\xa9"), L"caf\u00e9");
    // A pair from a 16-bit platform is one character on disk.
    EXPECT_EQ(platform::ToNativePath(kPair), "\xf0\x9f\x98\x80");
    EXPECT_EQ(platform::ProcessNameFromPath(L"/opt/v.1/host.bin.old"), L"host");
    EXPECT_EQ(platform::ProcessNameFromPath(L"/opt/.hidden"), L"");
    EXPECT_EQ(platform::ProcessNameFromPath(L"relative"), L"relative");
}

}  // namespace
