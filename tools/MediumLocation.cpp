#include "tools/MediumLocation.h"

namespace cli {

namespace {

constexpr char kSchemeSeparator[] = "://";
constexpr char kFileScheme[] = "file";

bool isAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

// A URL scheme: a letter, then letters, digits, "+", "-" or ".".
bool isScheme(const std::string& text) {
    if (text.empty() || !isAsciiLetter(text[0])) return false;
    for (char c : text) {
        if (!isAsciiLetter(c) && !isAsciiDigit(c) && c != '+' && c != '-' && c != '.') {
            return false;
        }
    }
    return true;
}

}  // namespace

MediumLocation parseMediumLocation(const std::string& text) {
    const std::string::size_type separator = text.find(kSchemeSeparator);
    if (separator == std::string::npos) return {text, kFileScheme};

    std::string scheme = text.substr(0, separator);
    if (!isScheme(scheme)) return {text, kFileScheme};
    // Compared as written: the plug-in itself tells schemes apart by case, and a user who types
    // "FILE://" may want to see what it does with that.
    if (scheme == kFileScheme) {
        return {text.substr(separator + sizeof(kSchemeSeparator) - 1), kFileScheme};
    }
    return {text, scheme};
}

}  // namespace cli
