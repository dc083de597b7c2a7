#include "common/TextConversion.h"

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(TextConversionTest, WideToUtf8EncodesEachUnitOnItsOwn) {
    const struct {
        std::wstring wide;
        std::string utf8;
    } cases[] = {
        {L"", ""},
        {L"abc", "abc"},
        {L"\u007f", "\x7f"},
        {L"\u0080", "\xc2\x80"},
        {L"\u07ff", "\xdf\xbf"},
        {L"\u0800", "\xe0\xa0\x80"},
        {L"\uffff", "\xef\xbf\xbf"},
        // A surrogate pair as a 16-bit platform holds it: each half on its own.
        {std::wstring{static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)},
         "\xed\xa0\xbd\xed\xb8\x80"},
        // The same character in one 32-bit wchar_t gives the same bytes.
        {L"\U0001F600", "\xed\xa0\xbd\xed\xb8\x80"},
        {L"\U0010FFFF", "\xed\xaf\xbf\xed\xbf\xbf"},
    };
    for (const auto& c : cases) EXPECT_EQ(wideToUtf8(c.wide), c.utf8) << c.utf8;
}

TEST(TextConversionTest, Utf8ToWideStopsAtTheFirstByteItCannotDecode) {
    const struct {
        std::string utf8;
        std::wstring wide;
    } cases[] = {
        {"ab\x80"
         "cd",
         L"ab"},                // a continuation byte without a lead
        {"ab\xc1\xbf", L"ab"},  // overlong leads 0xC0 and 0xC1
        {"ab\xc3", L"ab"},   // the text ends inside a sequence
        {"ab\xc3z", L"ab"},  // a wrong continuation byte
        {"ab\xe2\x82", L"ab"},
        {"ab\xe2\x82z", L"ab"},
        {"ab\xe0\x9f\xbf", L"ab"},  // after 0xE0 the next byte must be at least 0xA0
        {"ab\xe0\xa0\x80\xe2\x82\xac \xc3\xa9", L"ab\u0800\u20ac \u00e9"},
        {"ab\xf0\x9f\x98\x80", L"ab"},  // no 4-byte sequences
        {"\xed\xa0\xbd", std::wstring(1, static_cast<wchar_t>(0xD83D))},
    };
    for (const auto& c : cases) EXPECT_EQ(utf8ToWide(c.utf8), c.wide) << c.utf8;
    EXPECT_EQ(utf8ToWide(static_cast<const char*>(nullptr)), L"");
}

}  // namespace
