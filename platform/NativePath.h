// Wide paths as the plug-in holds them, and the byte strings that this system's file calls take.
//
// A file name on this system is any byte string, not necessarily UTF-8, so the conversion must
// not lose bytes: valid UTF-8 becomes its characters, and each byte that is not part of valid
// UTF-8 becomes one of U+DC80..U+DCFF, which turns back into the same byte. Pure functions, safe
// on any thread.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

std::string ToNativePath(const std::wstring& path);
// Appends the UTF-8 form (1 to 4 bytes) of the code point |code| to |out|.
void AppendUtf8(std::string& out, uint32_t code);
std::wstring FromNativePath(const std::string& path);

}  // namespace platform
