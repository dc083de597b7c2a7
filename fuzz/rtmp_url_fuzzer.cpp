// Parses the input as an RTMP URL (cut at its first zero byte) with a live log, so that every
// log line is formatted, and checks what the parser promises: false only without "://", a known
// protocol code, a port of 1 to 99999 when one is set, and parts that are copies of characters
// of the URL.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>


#include "fuzz/FuzzSupport.h"
#include "rtmp/ParseUrl.h"

namespace {

using fuzz_support::check;

// Takes every line, builds its text and drops it.
void checkPart(const char* url, char* part, size_t limit) {
    if (part == nullptr) return;
    check(std::strlen(part) <= limit);
    check(std::strstr(url, part) != nullptr);
    std::free(part);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_support::installDiscardingLog();
    // Exactly the URL and its terminator, so that a read past the end leaves the allocation.
    std::unique_ptr<char[]> url(new char[size + 1]);
    if (size > 0) std::memcpy(url.get(), data, size);
    url[size] = '\0';

    int protocol = -1;
    char* host = nullptr;
    unsigned int port = 0;
    char* app = nullptr;
    char* playpath = nullptr;
    const bool ok = RTMP_LIB::ParseUrl(url.get(), &protocol, &host, &port, &app, &playpath);

    check(ok == (std::strstr(url.get(), "://") != nullptr));
    check(protocol >= 0 && protocol <= 5 && RTMP_LIB::RtmpProtocolName(protocol)[0] != '\0');
    check(port <= 99999);
    if (!ok) check(host == nullptr && app == nullptr && playpath == nullptr && port == 0);
    const size_t length = std::strlen(url.get());
    checkPart(url.get(), host, 255);
    checkPart(url.get(), app, length);
    checkPart(url.get(), playpath, length);
    return 0;
}
