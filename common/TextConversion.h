// Conversions between wide text and UTF-8 as the plug-in has always done them: 16-bit units are
// encoded one at a time (surrogate halves are not paired), and decoding stops at the first byte
// that does not start a 1-, 2- or 3-byte sequence.
#pragma once

#include <string>

// Each 16-bit unit becomes 1 to 3 bytes. A wchar_t above 0xFFFF (possible where wchar_t is
// 32 bits wide) is first split into its UTF-16 surrogate pair, as it would be on a 16-bit
// platform, and each half is encoded on its own.
std::string wideToUtf8(const std::wstring& text);

// Decodes 1-, 2- and 3-byte sequences; any other byte, a missing or wrong continuation byte, or
// the end of the text inside a sequence ends the decoding and keeps what was decoded so far.
// A null pointer gives an empty result.
std::wstring utf8ToWide(const char* text);
std::wstring utf8ToWide(const std::string& text);
