#include "common/TextConversion.h"

namespace {

void appendUnit(std::string& out, unsigned int unit) {
    if (unit < 0x80) {
        out.push_back(static_cast<char>(unit));
    } else if (unit < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (unit >> 6)));
        out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (unit >> 12)));
        out.push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    }
}

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

std::string wideToUtf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size() * 3);
    for (wchar_t character : text) {
        unsigned long code = static_cast<unsigned long>(character) & 0xFFFFFFFFUL;
        if (code > 0xFFFF) {
            // What a 16-bit platform would hold: a surrogate pair (or, past U+10FFFF, the low
            // bits only), each half encoded on its own.
            if (code <= 0x10FFFF) {
                code -= 0x10000;
                appendUnit(out, 0xD800 | static_cast<unsigned int>(code >> 10));
                appendUnit(out, 0xDC00 | static_cast<unsigned int>(code & 0x3FF));
                continue;
            }
            code &= 0xFFFF;
        }
        appendUnit(out, static_cast<unsigned int>(code));
    }
    return out;
}

std::wstring utf8ToWide(const char* text) {
    std::wstring out;
    if (text == nullptr) return out;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (*p != 0) {
        const unsigned char lead = *p;
        if (lead < 0x80) {
            out.push_back(static_cast<wchar_t>(lead));
            p += 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            if (!isContinuation(p[1])) break;
            out.push_back(static_cast<wchar_t>(((lead & 0x1F) << 6) | (p[1] & 0x3F)));
            p += 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            if (!isContinuation(p[1]) || (lead == 0xE0 && p[1] < 0xA0)) break;
            if (!isContinuation(p[2])) break;
            out.push_back(static_cast<wchar_t>(((lead & 0x0F) << 12) | ((p[1] & 0x3F) << 6) |
                                               (p[2] & 0x3F)));
            p += 3;
        } else {
            break;
        }
    }
    return out;
}

std::wstring utf8ToWide(const std::string& text) { return utf8ToWide(text.c_str()); }
