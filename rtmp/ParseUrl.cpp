#include "rtmp/ParseUrl.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/Log.h"

namespace RTMP_LIB {

const char RtmpProtocolNames[6][7] = {"RTMP", "RTMPT", "RTMPS", "RTMPE", "RTMPTE", "RTMFP"};

const char* RtmpProtocolName(int protocol) {
    return protocol >= 0 && protocol < 6 ? RtmpProtocolNames[protocol] : "";
}

namespace {

constexpr size_t kMaxHostField = 255;  // host and port together
constexpr size_t kMaxPortText = 5;
constexpr unsigned int kDefaultPort = 1935;

// The scheme's code, or -1. |lower| holds the first characters of the URL in lower case.
int protocolCode(const char* lower, size_t schemeLength) {
    struct Scheme {
        const char* text;
        int code;
    };
    // Tested in this order; the codes follow the display-name table, not the order.
    static const Scheme kSchemes[] = {
        {"rtmp", RTMP_PROTOCOL_RTMP},   {"rtmpt", RTMP_PROTOCOL_RTMPT},
        {"rtmps", RTMP_PROTOCOL_RTMPS}, {"rtmpe", RTMP_PROTOCOL_RTMPE},
        {"rtmfp", RTMP_PROTOCOL_RTMFP}, {"rtmpte", RTMP_PROTOCOL_RTMPTE},
    };
    for (const Scheme& scheme : kSchemes) {
        if (std::strlen(scheme.text) == schemeLength &&
            std::memcmp(lower, scheme.text, schemeLength) == 0)
            return scheme.code;
    }
    return -1;
}

// A new malloc'ed, zero-terminated copy; null when memory is short, which leaves the part
// unset as if the URL had not named it.
void store(char** out, const char* begin, size_t length) {
    if (out == nullptr) return;
    char* const copy = static_cast<char*>(std::malloc(length + 1));
    if (copy != nullptr) {
        std::memcpy(copy, begin, length);
        copy[length] = '\0';
    }
    *out = copy;
}

// Precision argument for printing |length| characters with "%.*s".
int printable(size_t length) { return static_cast<int>(std::min<size_t>(length, INT_MAX)); }

// Only the leading decimal digits count: a sign or a space in front gives no digits (and so
// the default port) instead of a negative number that would wrap to a huge unsigned port.
unsigned int portValue(const char* text, size_t length) {
    unsigned int value = 0;
    for (size_t i = 0; i < length && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10 + static_cast<unsigned int>(text[i] - '0');
    return value;
}

void logNoPlaypath() {
    RtmpLog(1, "No playpath found!");
    RtmpLog(2, "No playpath in URL!");
}

}  // namespace

bool ParseUrl(const char* url, int* protocol, char** host, unsigned int* port, char** app,
              char** playpath) {
    RtmpLog(0, "parsing...");
    if (protocol != nullptr) *protocol = RTMP_PROTOCOL_RTMP;

    const char* const separator = url != nullptr ? std::strstr(url, "://") : nullptr;
    if (separator == nullptr) {
        RtmpLog(2, "RTMP URL: No :// in url!");
        return false;
    }

    // The longest scheme has six characters; the copy stops at the URL's end.
    char lower[7] = {0};
    for (size_t i = 0; i < 6 && url[i] != '\0'; ++i)
        lower[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(url[i])));
    const size_t schemeLength = static_cast<size_t>(separator - url);
    const int code = schemeLength <= 6 ? protocolCode(lower, schemeLength) : -1;
    if (code >= 0) {
        if (protocol != nullptr) *protocol = code;
        RtmpLog(0, "Parsed protocol: %d", code);
    } else {
        RtmpLog(2, "Unknown protocol!\n");
    }

    // Host and port: up to the first "/" or "?", or the whole rest when neither follows.
    const char* const rest = separator + 3;
    const size_t fieldEnd = std::strcspn(rest, "/?");
    const char* const colon = std::strchr(rest, ':');
    // A ":" past the field (in the play path, as in mp4:name) does not end the host.
    const size_t hostLength =
        colon != nullptr ? std::min(fieldEnd, static_cast<size_t>(colon - rest)) : fieldEnd;
    if (fieldEnd > kMaxHostField) {
        RtmpLog(2, "Hostname exceeds 255 characters!");
    } else {
        store(host, rest, hostLength);
        RtmpLog(0, "Parsed host    : %.*s", printable(hostLength), rest);
    }

    size_t cursor = hostLength;
    if (rest[cursor] == ':') {
        const char* const portText = rest + cursor + 1;
        const size_t portLength = fieldEnd - (cursor + 1);
        if (portLength <= kMaxPortText) {
            unsigned int value = portValue(portText, portLength);
            if (value == 0) value = kDefaultPort;
            if (port != nullptr) *port = value;
            RtmpLog(0, "Parsed port    : %d", static_cast<int>(value));
        } else {
            RtmpLog(2, "Port number is longer than 5 characters!");
        }
        cursor = fieldEnd;
    }

    if (rest[cursor] != '/') {
        RtmpLog(2, "No application or playpath in URL!");
        return true;
    }

    // Application. "Before the last character" keeps a trailing "?" or "/" from starting an
    // empty query or play path.
    const char* const path = rest + cursor + 1;
    const size_t pathLength = std::strlen(path);
    const auto beforeLast = [path, pathLength](const char* at) {
        return at != nullptr && static_cast<size_t>(at - path) + 1 < pathLength;
    };
    const char* const question = std::strchr(path, '?');
    const char* const firstSlash = std::strchr(path, '/');
    const char* const secondSlash =
        firstSlash != nullptr ? std::strchr(firstSlash + 1, '/') : nullptr;
    // Without any "/" the whole path names the application and no play path follows.
    size_t appLength = pathLength;
    const char* current = nullptr;  // the "?" or "/" in front of the play path
    if (beforeLast(question)) {
        current = question;  // the application keeps the query
    } else if (std::strncmp(path, "ondemand/", 9) == 0) {
        current = path + 8;
        appLength = 8;
    } else if (beforeLast(secondSlash)) {
        current = secondSlash;  // an application with an instance, as live/stream-a
        appLength = static_cast<size_t>(secondSlash - path);
    } else if (firstSlash != nullptr) {
        current = firstSlash;  // before the last character, or a trailing "/"
        appLength = static_cast<size_t>(firstSlash - path);
    }
    store(app, path, appLength);
    RtmpLog(0, "Parsed app     : %.*s", printable(appLength), path);

    if (current == nullptr) {
        logNoPlaypath();
        return true;
    }

    const char* start = current + 1;
    size_t length = 0;
    const char* const slist = *current == '?' ? std::strstr(current, "slist=") : nullptr;
    if (slist != nullptr) {
        start = slist + 6;
        length = std::strcspn(start, "&");
    } else {
        length = std::strlen(start);
        if (length == 0) {
            logNoPlaypath();
            return true;
        }
        if (length >= 4 && std::memcmp(start + length - 4, ".flv", 4) == 0) length -= 4;
    }
    store(playpath, start, length);
    RtmpLog(0, "Parsed playpath: %.*s", printable(length), start);
    return true;
}

}  // namespace RTMP_LIB
