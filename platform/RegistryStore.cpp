#include "platform/RegistryStore.h"

#include "platform/NativePath.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <cctype>
#include <cstring>

namespace platform {

const char kDefaultRegistryFolder[] = "/var/lib/zovozudo/registry";

namespace {

const char kValueSuffix[] = ".value";
const size_t kValueSuffixLength = sizeof(kValueSuffix) - 1;
const char kDefaultValueFile[] = "(default).value";
// The most that a value of kMaxRegistryValueBytes takes once escaped ("\u{dfff}" is 8 bytes for
// 2 bytes of image); a larger file was not written by the store and is not read.
const size_t kMaxValueFileBytes = 8 * kMaxRegistryValueBytes + 65536;

// ---- names -------------------------------------------------------------------------------------

bool isScalar(uint32_t code) {
    return code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
}

// Case folding as the registry compares names: upper case, then lower case so that the stored
// form reads naturally. Needs a Unicode-aware locale; without one only ASCII folds.
wchar_t foldCase(wchar_t character) {
    static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    const uint32_t code = static_cast<uint32_t>(character);
    if (!isScalar(code)) return character;
    if (unicode == static_cast<locale_t>(0)) {
        return code >= 'A' && code <= 'Z' ? static_cast<wchar_t>(code + ('a' - 'A')) : character;
    }
    return static_cast<wchar_t>(
        towlower_l(towupper_l(static_cast<wint_t>(character), unicode), unicode));
}

void appendHex(std::string& out, uint32_t value, int digits) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
        out.push_back(kDigits[(value >> shift) & 0xF]);
}

enum class NameKind { kKey, kValue };

// The file name of a key path component or a value name: folded, then every character that a
// file name cannot hold, or that would give it another meaning, written as %HH (or %uHHHHHHHH
// for what is not a Unicode character). Key components have no "." at all, so that they can
// never look like a value file or like "." and "..".
std::string encodeName(const std::wstring& name, NameKind kind) {
    if (kind == NameKind::kValue && name.empty()) return kDefaultValueFile;
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        const uint32_t code = static_cast<uint32_t>(foldCase(name[i]));
        const bool escape = code < 0x20 || code == 0x7F || code == '%' || code == '/' ||
                            (code == '.' && (kind == NameKind::kKey || i == 0)) ||
                            (code == '(' && kind == NameKind::kValue && i == 0);
        if (!isScalar(code)) {
            out += "%u";
            appendHex(out, code, 8);
        } else if (escape) {
            out.push_back('%');
            appendHex(out, code, 2);
        } else {
            AppendUtf8(out, code);
        }
    }
    if (kind == NameKind::kValue) out += kValueSuffix;
    return out;
}

// ---- escaped text --------------------------------------------------------------------------

// Text on one line of a value file: UTF-8, with "\\", "\n", "\r", "\t", "\0" and "\u{HEX}" for
// the other control characters and for what is not a Unicode character.
std::string escapeText(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t character : text) {
        const uint32_t code = static_cast<uint32_t>(character);
        switch (code) {
            case '\\':
                out += "\\\\";
                continue;
            case '\n':
                out += "\\n";
                continue;
            case '\r':
                out += "\\r";
                continue;
            case '\t':
                out += "\\t";
                continue;
            case 0:
                out += "\\0";
                continue;
            default:
                break;
        }
        if (code < 0x20 || code == 0x7F || !isScalar(code)) {
            char hex[16];
            snprintf(hex, sizeof(hex), "\\u{%x}", static_cast<unsigned>(code));
            out += hex;
        } else {
            AppendUtf8(out, code);
        }
    }
    return out;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Strict: a byte that is not valid UTF-8 or an unknown escape makes the whole text unreadable.
bool unescapeText(const std::string& in, std::wstring* text) {
    std::wstring out;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(in.data());
    const unsigned char* const end = p + in.size();
    while (p < end) {
        const unsigned char lead = *p;
        if (lead == '\\') {
            if (end - p < 2) return false;
            const char kind = static_cast<char>(p[1]);
            p += 2;
            switch (kind) {
                case '\\':
                    out.push_back(L'\\');
                    continue;
                case 'n':
                    out.push_back(L'\n');
                    continue;
                case 'r':
                    out.push_back(L'\r');
                    continue;
                case 't':
                    out.push_back(L'\t');
                    continue;
                case '0':
                    out.push_back(L'\0');
                    continue;
                case 'u':
                    break;
                default:
                    return false;
            }
            if (p == end || *p != '{') return false;
            ++p;
            uint32_t code = 0;
            int digits = 0;
            for (; p < end && *p != '}'; ++p, ++digits) {
                const int digit = hexDigit(static_cast<char>(*p));
                if (digit < 0 || digits == 8) return false;
                code = (code << 4) | static_cast<uint32_t>(digit);
            }
            if (p == end || digits == 0) return false;
            ++p;
            out.push_back(static_cast<wchar_t>(code));
            continue;
        }
        size_t length;
        uint32_t code;
        uint32_t minimum;
        if (lead < 0x80) {
            length = 1, code = lead, minimum = 0;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2, code = lead & 0x1F, minimum = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3, code = lead & 0x0F, minimum = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4, code = lead & 0x07, minimum = 0x10000;
        } else {
            return false;
        }
        if (static_cast<size_t>(end - p) < length) return false;
        for (size_t i = 1; i < length; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            code = (code << 6) | (p[i] & 0x3F);
        }
        if (code < minimum || !isScalar(code)) return false;
        out.push_back(static_cast<wchar_t>(code));
        p += length;
    }
    *text = std::move(out);
    return true;
}

// ---- images ----------------------------------------------------------------------------------

bool stringImageToText(const unsigned char* data, size_t size, std::wstring* text) {
    if (size < 2 || size % 2 != 0 || data[size - 2] != 0 || data[size - 1] != 0) return false;
    const size_t units = size / 2 - 1;
    std::wstring out;
    out.reserve(units);
    for (size_t i = 0; i < units; ++i) {
        const uint32_t unit = data[2 * i] | (data[2 * i + 1] << 8);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units) {
            const uint32_t low = data[2 * i + 2] | (data[2 * i + 3] << 8);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                out.push_back(
                    static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00)));
                ++i;
                continue;
            }
        }
        out.push_back(static_cast<wchar_t>(unit));
    }
    *text = std::move(out);
    return true;
}

bool parseDword(const std::string& text, std::vector<unsigned char>* image) {
    uint64_t value = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        if (text.size() > 10) return false;
        for (size_t i = 2; i < text.size(); ++i) {
            const int digit = hexDigit(text[i]);
            if (digit < 0) return false;
            value = value * 16 + static_cast<uint64_t>(digit);
        }
    } else {
        if (text.empty() || text.size() > 10) return false;
        for (char c : text) {
            if (c < '0' || c > '9') return false;
            value = value * 10 + static_cast<uint64_t>(c - '0');
        }
        if (value > 0xFFFFFFFFULL) return false;
    }
    *image = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
              static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    return true;
}

bool parseBinary(const std::string& text, std::vector<unsigned char>* image) {
    if (text.size() % 2 != 0) return false;
    std::vector<unsigned char> out(text.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        const int high = hexDigit(text[2 * i]);
        const int low = hexDigit(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        out[i] = static_cast<unsigned char>(high * 16 + low);
    }
    *image = std::move(out);
    return true;
}

// ---- value files -------------------------------------------------------------------------------
//
//   name=<escaped name>
//   type=REG_DWORD | REG_SZ | REG_BINARY
//   data=<decimal> | <escaped text> | <hex bytes>

bool composeFile(const RegistryValue& value, std::string* file) {
    std::string data;
    const char* type = nullptr;
    switch (value.type) {
        case RegistryType::kDword: {
            if (value.data.size() != 4) return false;
            const uint32_t number = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                                    (static_cast<uint32_t>(value.data[3]) << 24);
            type = "REG_DWORD";
            data = std::to_string(number);
            break;
        }
        case RegistryType::kString: {
            std::wstring text;
            if (!stringImageToText(value.data.data(), value.data.size(), &text)) return false;
            type = "REG_SZ";
            data = escapeText(text);
            break;
        }
        case RegistryType::kBinary: {
            type = "REG_BINARY";
            static const char kDigits[] = "0123456789abcdef";
            data.reserve(value.data.size() * 2);
            for (unsigned char byte : value.data) {
                data.push_back(kDigits[byte >> 4]);
                data.push_back(kDigits[byte & 0xF]);
            }
            break;
        }
    }
    *file = "name=" + escapeText(value.name) + "\ntype=" + type + "\ndata=" + data + "\n";
    return true;
}

// Takes "<field>=" off the front of the next line; an administrator's editor may end lines with
// CR LF.
bool takeLine(const std::string& file, size_t* position, const char* field, std::string* text) {
    const size_t fieldLength = std::strlen(field);
    if (file.compare(*position, fieldLength, field) != 0) return false;
    size_t end = file.find('\n', *position);
    const size_t next = end == std::string::npos ? file.size() : end + 1;
    if (end == std::string::npos) end = file.size();
    size_t start = *position + fieldLength;
    if (end > start && file[end - 1] == '\r') --end;
    *text = file.substr(start, end - start);
    *position = next;
    return true;
}

// On failure |why|, when given, says what is wrong, for a person.
bool parseFile(const std::string& file, RegistryValue* value, std::string* why = nullptr) {
    std::string ignored;
    std::string& reason = why != nullptr ? *why : ignored;
    size_t position = 0;
    std::string name, type, data;
    if (!takeLine(file, &position, "name=", &name)) {
        reason = "its first line does not begin with \"name=\"";
        return false;
    }
    if (!takeLine(file, &position, "type=", &type)) {
        reason = "its second line does not begin with \"type=\"";
        return false;
    }
    if (!takeLine(file, &position, "data=", &data)) {
        reason = "its third line does not begin with \"data=\"";
        return false;
    }
    if (position != file.size()) {
        reason =
            "something follows the data= line (a blank line?): a value file holds exactly "
            "three lines";
        return false;
    }
    RegistryValue out;
    if (!unescapeText(name, &out.name)) {
        reason = "its name holds invalid UTF-8 or an unknown \\ escape";
        return false;
    }
    if (type == "REG_DWORD") {
        out.type = RegistryType::kDword;
        if (!parseDword(data, &out.data)) {
            reason = "REG_DWORD data \"" + data +
                     "\" is not a number from 0 to 4294967295 (decimal, or 0x and hex digits)";
            return false;
        }
    } else if (type == "REG_SZ") {
        out.type = RegistryType::kString;
        std::wstring text;
        if (!unescapeText(data, &text) || !RegistryStringImage(text, &out.data)) {
            reason = "its REG_SZ data holds invalid UTF-8 or an unknown \\ escape";
            return false;
        }
    } else if (type == "REG_BINARY") {
        out.type = RegistryType::kBinary;
        if (!parseBinary(data, &out.data)) {
            reason = "its REG_BINARY data is not pairs of hex digits";
            return false;
        }
    } else {
        reason = "type \"" + type + "\" is not REG_DWORD, REG_SZ or REG_BINARY";
        return false;
    }
    if (out.data.size() > kMaxRegistryValueBytes) {
        reason = "its data is larger than 1 MiB";
        return false;
    }
    *value = std::move(out);
    return true;
}

// ---- files -----------------------------------------------------------------------------------

// On failure errno tells why.
bool readValueFile(const std::string& path, std::string* contents) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info = {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<uint64_t>(info.st_size) > kMaxValueFileBytes) {
        close(fd);
        errno = S_ISDIR(info.st_mode) ? EISDIR : S_ISREG(info.st_mode) ? EFBIG : EINVAL;
        return false;
    }
    std::string out(static_cast<size_t>(info.st_size), '\0');
    size_t have = 0;
    bool ok = true;
    for (;;) {
        // One byte of room past the size that fstat gave tells whether the file grew since.
        if (have == out.size()) {
            if (out.size() > kMaxValueFileBytes) {
                ok = false;
                errno = EFBIG;
                break;
            }
            out.resize(out.size() + 4096);
        }
        const ssize_t got = read(fd, &out[have], out.size() - have);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        have += static_cast<size_t>(got);
    }
    const int failure = errno;
    close(fd);
    if (!ok) {
        errno = failure;
        return false;
    }
    out.resize(have);
    *contents = std::move(out);
    return true;
}

bool readValueAt(const std::string& path, const std::string& fileName, RegistryValue* value,
                 std::string* why = nullptr) {
    std::string ignored;
    std::string& reason = why != nullptr ? *why : ignored;
    std::string contents;
    RegistryValue parsed;
    if (!readValueFile(path, &contents)) {
        reason = errno == EINVAL ? "it is not a regular file" : std::strerror(errno);
        return false;
    }
    if (!parseFile(contents, &parsed, &reason)) return false;
    // A file whose name does not belong to the value it holds could never be found by its name.
    if (encodeName(parsed.name, NameKind::kValue) != fileName) {
        reason = "the name in it does not match the file's name";
        return false;
    }
    *value = std::move(parsed);
    return true;
}

bool writeAll(int fd, const std::string& data) {
    const char* p = data.data();
    size_t left = data.size();
    while (left > 0) {
        const ssize_t written = write(fd, p, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += written;
        left -= static_cast<size_t>(written);
    }
    return true;
}

// Temporary file in the same folder, flushed to the disk, then renamed over the value, so that
// readers and a crash see the old value or the new one.
bool replaceFileAtomically(const std::string& folder, const std::string& path,
                           const std::string& contents) {
    std::string temporary = folder + "/.tmp-XXXXXX";
    const int fd = mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fchmod(fd, 0644) == 0 && writeAll(fd, contents) && fsync(fd) == 0;
    if (close(fd) != 0) ok = false;
    if (ok) ok = rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) {
        unlink(temporary.c_str());
        return false;
    }
    // The rename itself reaches the disk with the folder.
    const int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        fsync(folderFd);
        close(folderFd);
    }
    return true;
}

bool isFolder(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool makeFolder(const std::string& path) {
    return mkdir(path.c_str(), 0755) == 0 || (errno == EEXIST && isFolder(path));
}

// The folder names of the key path's components, empty ones ("a\\b", a trailing "\") left out.
std::vector<std::string> keyComponents(const std::wstring& key) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= key.size()) {
        size_t end = key.find(L'\\', start);
        if (end == std::wstring::npos) end = key.size();
        if (end > start) out.push_back(encodeName(key.substr(start, end - start), NameKind::kKey));
        start = end + 1;
    }
    return out;
}

// An entry of |folder| that differs from |name| only in the case of ASCII letters, as an
// administrator may have typed it; empty when there is none.
std::string spelledOtherwise(const std::string& folder, const std::string& name) {
    DIR* const directory = opendir(folder.c_str());
    if (directory == nullptr) return std::string();
    std::string found;
    while (const dirent* entry = readdir(directory)) {
        const std::string candidate = entry->d_name;
        if (candidate.size() != name.size()) continue;
        bool same = true;
        for (size_t i = 0; same && i < name.size(); ++i) {
            same = std::tolower(static_cast<unsigned char>(candidate[i])) ==
                   std::tolower(static_cast<unsigned char>(name[i]));
        }
        if (same) {
            found = candidate;
            break;
        }
    }
    closedir(directory);
    return found;
}

// The folder of |key|; with |create|, made (with the root and every parent key) when missing.
bool keyFolder(const std::wstring& key, bool create, std::string* folder) {
    std::string path = RegistryRootFolder();
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (create) {
        for (size_t slash = path.find('/', 1); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            makeFolder(path.substr(0, slash));
        }
        if (!makeFolder(path)) return false;
    }
    for (const std::string& component : keyComponents(key)) {
        path += "/" + component;
        if (create && !makeFolder(path)) return false;
    }
    if (!create && !isFolder(path)) return false;
    *folder = std::move(path);
    return true;
}

}  // namespace

std::string RegistryRootFolder() {
    const char* configured = getenv("ZOVOZUDO_REGISTRY_DIR");
    return configured != nullptr && configured[0] != '\0' ? configured : kDefaultRegistryFolder;
}

bool RegistryStringImage(const std::wstring& text, std::vector<unsigned char>* image) {
    std::vector<unsigned char> out;
    out.reserve(text.size() * 2 + 2);
    auto pushUnit = [&out](uint32_t unit) {
        out.push_back(static_cast<unsigned char>(unit & 0xFF));
        out.push_back(static_cast<unsigned char>(unit >> 8));
    };
    for (wchar_t character : text) {
        const uint32_t code = static_cast<uint32_t>(character);
        if (code > 0x10FFFF) return false;
        if (code > 0xFFFF) {
            pushUnit(0xD800 + ((code - 0x10000) >> 10));
            pushUnit(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            pushUnit(code);
        }
    }
    pushUnit(0);
    *image = std::move(out);
    return true;
}

bool RegistrySetValue(const std::wstring& key, const std::wstring& name, RegistryType type,
                      const unsigned char* data, size_t size) {
    if (size > kMaxRegistryValueBytes || (data == nullptr && size > 0)) return false;
    RegistryValue value{name, type, std::vector<unsigned char>(data, data + size)};
    std::string contents;
    if (!composeFile(value, &contents)) return false;

    std::string folder;
    if (!keyFolder(key, true, &folder)) return false;
    const std::string fileName = encodeName(name, NameKind::kValue);
    const std::string path = folder + "/" + fileName;
    // The registry keeps the spelling of a name from when the value was first written.
    RegistryValue existing;
    if (readValueAt(path, fileName, &existing) && existing.name != name) {
        value.name = existing.name;
        if (!composeFile(value, &contents)) return false;
    }
    return replaceFileAtomically(folder, path, contents);
}

bool RegistryQueryValue(const std::wstring& key, const std::wstring& name, RegistryValue* value) {
    std::string folder;
    if (!keyFolder(key, false, &folder)) return false;
    const std::string fileName = encodeName(name, NameKind::kValue);
    return readValueAt(folder + "/" + fileName, fileName, value);
}

std::string RegistryValueFile(const std::wstring& key, const std::wstring& name) {
    std::string path = RegistryRootFolder();
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    for (const std::string& component : keyComponents(key)) path += "/" + component;
    return path + "/" + encodeName(name, NameKind::kValue);
}

bool RegistryExplainValue(const std::wstring& key, const std::wstring& name, std::string* file,
                          std::string* reason) {
    std::string path = RegistryRootFolder();
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    std::vector<std::string> components = keyComponents(key);
    const std::string fileName = encodeName(name, NameKind::kValue);
    components.push_back(fileName);
    bool misspelled = false;
    for (const std::string& component : components) {
        std::string next = path + "/" + component;
        struct stat info;
        if (stat(next.c_str(), &info) != 0) {
            if (errno == EACCES) {
                *file = path;
                *reason = "the folder cannot be searched: " + std::string(std::strerror(errno));
                return true;
            }
            const std::string spelled = spelledOtherwise(path, component);
            if (spelled.empty()) {
                if (!misspelled) return false;
                *file = path;
                *reason = "names are looked up in lower case, so the store reads " +
                          RegistryValueFile(key, name) + ", which does not exist";
                return true;
            }
            misspelled = true;
            next = path + "/" + spelled;
        }
        path = std::move(next);
    }
    *file = path;
    if (misspelled) {
        *reason = "names are looked up in lower case, so the store reads " +
                  RegistryValueFile(key, name) + ", which does not exist";
        return true;
    }
    RegistryValue value;
    return !readValueAt(path, fileName, &value, reason);
}

bool RegistryDeleteValue(const std::wstring& key, const std::wstring& name) {
    std::string folder;
    if (!keyFolder(key, false, &folder)) return true;
    const std::string path = folder + "/" + encodeName(name, NameKind::kValue);
    return unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool RegistryEnumValues(const std::wstring& key, std::vector<RegistryValue>* values) {
    std::string folder;
    if (!keyFolder(key, false, &folder)) return false;
    DIR* const directory = opendir(folder.c_str());
    if (directory == nullptr) return false;
    while (const dirent* entry = readdir(directory)) {
        const std::string fileName = entry->d_name;
        // Temporary files of writes in progress (".tmp-...") and sub-keys are not values.
        if (fileName.size() <= kValueSuffixLength ||
            fileName.compare(fileName.size() - kValueSuffixLength, kValueSuffixLength,
                             kValueSuffix) != 0) {
            continue;
        }
        RegistryValue value;
        if (readValueAt(folder + "/" + fileName, fileName, &value)) {
            values->push_back(std::move(value));
        }
    }
    closedir(directory);
    return true;
}

}  // namespace platform
