#include "platform/NativePath.h"

#include <cstdint>

namespace platform {
namespace {


// Length of the valid UTF-8 sequence at |p| (at most |left| bytes), or 0 when there is none.
size_t validSequence(const unsigned char* p, size_t left, uint32_t* code) {
    const unsigned char lead = p[0];
    size_t length;
    uint32_t value;
    uint32_t minimum;
    if (lead < 0x80) {
        *code = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (left < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        value = (value << 6) | (p[i] & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *code = value;
    return length;
}

}  // namespace

std::string ToNativePath(const std::wstring& path) {
    std::string out;
    out.reserve(path.size());
    for (size_t i = 0; i < path.size(); ++i) {
        const uint32_t code = static_cast<uint32_t>(path[i]);
        if (code >= 0xDC80 && code <= 0xDCFF) {
            out.push_back(static_cast<char>(code - 0xDC00));
        } else if (code >= 0xD800 && code <= 0xDBFF && i + 1 < path.size() &&
                   static_cast<uint32_t>(path[i + 1]) >= 0xDC00 &&
                   static_cast<uint32_t>(path[i + 1]) <= 0xDFFF) {
            // A UTF-16 pair, as text that came from a 16-bit platform holds it.
            const uint32_t low = static_cast<uint32_t>(path[++i]);
            AppendUtf8(out, 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00));
        } else if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
            out.push_back('?');
        } else {
            AppendUtf8(out, code);
        }
    }
    return out;
}

std::wstring FromNativePath(const std::string& path) {
    std::wstring out;
    out.reserve(path.size());
    const unsigned char* p = reinterpret_cast<const unsigned char*>(path.data());
    size_t left = path.size();
    while (left > 0) {
        uint32_t code = 0;
        size_t length = validSequence(p, left, &code);
        if (length == 0) {
            code = 0xDC00 + p[0];
            length = 1;
        }
        out.push_back(static_cast<wchar_t>(code));
        p += length;
        left -= length;
    }
    return out;
}

void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

}  // namespace platform
