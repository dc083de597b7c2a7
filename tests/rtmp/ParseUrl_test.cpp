// RTMP URL parsing: the parts found and the exact log lines, URL by URL.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "rtmp/ParseUrl.h"
#include "rtmp/RtmpLogCapture.h"

namespace {

using RTMP_LIB::ParseUrl;
using Lines = std::vector<std::string>;

struct Parsed {
    bool ok = false;
    int protocol = -1;
    const char* host = nullptr;  // null: not set
    unsigned int port = 0;       // 0: not set
    const char* app = nullptr;
    const char* playpath = nullptr;
};

struct UrlCase {
    std::string url;
    Parsed expected;
    Lines log{};  // after "DEBUG parsing..."; empty: the lines of a URL whose parts are all found
};

std::string D(const std::string& text) { return "DEBUG " + text; }
std::string W(const std::string& text) { return "WARN " + text; }
std::string E(const std::string& text) { return "ERROR " + text; }

Lines operator+(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The debug lines of a URL whose every part is found, when a case gives no lines of its own.
Lines found(const Parsed& p) {
    Lines lines = {D("Parsed protocol: " + std::to_string(p.protocol)),
                   D("Parsed host    : " + std::string(p.host))};
    if (p.port != 0) lines.push_back(D("Parsed port    : " + std::to_string(p.port)));
    return lines + Lines{D("Parsed app     : " + std::string(p.app)),
                         D("Parsed playpath: " + std::string(p.playpath))};
}

// The lines of rtmp://h/<path> when the path names an application and no play path.
Lines withoutPlaypath(const std::string& app) {
    return {D("Parsed protocol: 0"), D("Parsed host    : h"), D("Parsed app     : " + app),
            E("No playpath found!"), W("No playpath in URL!")};
}

const Lines kUnknownScheme = {W("Unknown protocol!\n"), D("Parsed host    : h"),
                              D("Parsed app     : a"), D("Parsed playpath: s")};

std::string text(const char* value) { return value ? value : "<unset>"; }

class ParseUrlTest : public ::testing::TestWithParam<UrlCase> {};

TEST_P(ParseUrlTest, FindsThePartsAndLogsEachStep) {
    const UrlCase& c = GetParam();
    RtmpLogCapture capture;
    int protocol = -1;
    char* host = nullptr;
    unsigned int port = 0;
    char* app = nullptr;
    char* playpath = nullptr;
    const bool ok = ParseUrl(c.url.c_str(), &protocol, &host, &port, &app, &playpath);

    EXPECT_EQ(c.expected.ok, ok);
    EXPECT_EQ(c.expected.protocol, protocol);
    EXPECT_EQ(text(c.expected.host), text(host));
    EXPECT_EQ(c.expected.port, port);
    EXPECT_EQ(text(c.expected.app), text(app));
    EXPECT_EQ(text(c.expected.playpath), text(playpath));
    EXPECT_EQ(Lines{D("parsing...")} + (c.log.empty() ? found(c.expected) : c.log),
              capture.lines());
    for (char* part : {host, app, playpath}) {
        // Every stored part is a copy of characters of the URL, never text made up.
        if (part != nullptr) {
            EXPECT_NE(std::string::npos, c.url.find(part)) << part;
        }
        std::free(part);
    }
}

const std::string kLongHost(250, 'h');

INSTANTIATE_TEST_SUITE_P(
    Examples, ParseUrlTest,
    ::testing::Values(
        UrlCase{"rtmp://server/vod/clips/intro.flv", {true, 0, "server", 0, "vod/clips", "intro"}},
        UrlCase{"rtmp://server:1936/live/stream", {true, 0, "server", 1936, "live", "stream"}},
        UrlCase{"rtmp://server:0/live/stream", {true, 0, "server", 1935, "live", "stream"}},
        UrlCase{"rtmp://server/ondemand/a/b.flv", {true, 0, "server", 0, "ondemand", "a/b"}},
        UrlCase{"rtmp://server/app?slist=mp4:movie&x=1",
                {true, 0, "server", 0, "app?slist=mp4:movie&x=1", "mp4:movie"}},
        UrlCase{"rtmp://server/app?id=7", {true, 0, "server", 0, "app?id=7", "id=7"}},
        UrlCase{"RTMPE://server/app/s", {true, 3, "server", 0, "app", "s"}}));

INSTANTIATE_TEST_SUITE_P(
    Schemes, ParseUrlTest,
    ::testing::Values(
        UrlCase{"Rtmpt://H/a/s", {true, 1, "H", 0, "a", "s"}},
        UrlCase{"rtmps://h/a/s", {true, 2, "h", 0, "a", "s"}},
        UrlCase{"rtmpTE://h/a/s", {true, 4, "h", 0, "a", "s"}},
        UrlCase{"rtmfp://h/a/s", {true, 5, "h", 0, "a", "s"}},
        UrlCase{"http://h/a/s", {true, 0, "h", 0, "a", "s"}, kUnknownScheme},
        UrlCase{"rtmpx://h/a/s", {true, 0, "h", 0, "a", "s"}, kUnknownScheme},
        UrlCase{"rtmp:/h/a/s", {false, 0}, {W("RTMP URL: No :// in url!")}}));

INSTANTIATE_TEST_SUITE_P(
    HostAndPort, ParseUrlTest,
    ::testing::Values(
        UrlCase{"rtmp://h/app/mp4:name", {true, 0, "h", 0, "app", "mp4:name"}},
        UrlCase{"rtmp://h:99999/a/s", {true, 0, "h", 99999, "a", "s"}},
        UrlCase{"rtmp://h:123456/a/s", {true, 0, "h", 0, "a", "s"},
                {D("Parsed protocol: 0"), D("Parsed host    : h"),
                 W("Port number is longer than 5 characters!"), D("Parsed app     : a"),
                 D("Parsed playpath: s")}},
        UrlCase{"rtmp://h:/a/s", {true, 0, "h", 1935, "a", "s"}},
        UrlCase{"rtmp://h:-1/a/s", {true, 0, "h", 1935, "a", "s"}},
        UrlCase{"rtmp://" + kLongHost + ":1935/a/s", {true, 0, kLongHost.c_str(), 1935, "a", "s"}},
        UrlCase{"rtmp://" + kLongHost + ":19350/a/s", {true, 0, nullptr, 19350, "a", "s"},
                {D("Parsed protocol: 0"), W("Hostname exceeds 255 characters!"),
                 D("Parsed port    : 19350"), D("Parsed app     : a"), D("Parsed playpath: s")}},
        UrlCase{"rtmp://server", {true, 0, "server"},
                {D("Parsed protocol: 0"), D("Parsed host    : server"),
                 W("No application or playpath in URL!")}},
        UrlCase{"rtmp://server:1936", {true, 0, "server", 1936},
                {D("Parsed protocol: 0"), D("Parsed host    : server"),
                 D("Parsed port    : 1936"), W("No application or playpath in URL!")}},
        UrlCase{"rtmp://server?a/b", {true, 0, "server"},
                {D("Parsed protocol: 0"), D("Parsed host    : server"),
                 W("No application or playpath in URL!")}}));

INSTANTIATE_TEST_SUITE_P(
    ApplicationAndPlaypath, ParseUrlTest,
    ::testing::Values(
        UrlCase{"rtmp://h/app/", {true, 0, "h", 0, "app", nullptr}, withoutPlaypath("app")},
        UrlCase{"rtmp://h/app", {true, 0, "h", 0, "app", nullptr}, withoutPlaypath("app")},
        UrlCase{"rtmp://h/app?", {true, 0, "h", 0, "app?", nullptr}, withoutPlaypath("app?")},
        UrlCase{"rtmp://h/", {true, 0, "h", 0, "", nullptr}, withoutPlaypath("")},
        UrlCase{"rtmp://h/app/s?", {true, 0, "h", 0, "app", "s?"}},
        UrlCase{"rtmp://h/live/stream-a/x", {true, 0, "h", 0, "live/stream-a", "x"}},
        UrlCase{"rtmp://h/a/b/", {true, 0, "h", 0, "a", "b/"}},
        UrlCase{"rtmp://h/Ondemand/a/b", {true, 0, "h", 0, "Ondemand/a", "b"}},
        UrlCase{"rtmp://h/a/clip.FLV", {true, 0, "h", 0, "a", "clip.FLV"}},
        UrlCase{"rtmp://h/a/clip.flv", {true, 0, "h", 0, "a", "clip"}},
        UrlCase{"rtmp://h/a/.flv", {true, 0, "h", 0, "a", ""}},
        UrlCase{"rtmp://h/a?slist=b.flv", {true, 0, "h", 0, "a?slist=b.flv", "b.flv"}}));

TEST(ParseUrl, LeavesPartsItDidNotFindAsTheCallerSetThem) {
    int protocol = 9;
    char sentinel[] = "kept";
    char* host = sentinel;
    char* app = sentinel;
    char* playpath = sentinel;
    unsigned int port = 77;
    const std::string url = "rtmp://" + std::string(300, 'h') + "/";
    EXPECT_TRUE(ParseUrl(url.c_str(), &protocol, &host, &port, &app, &playpath));
    EXPECT_EQ(sentinel, host);
    EXPECT_EQ(77u, port);
    EXPECT_EQ(sentinel, playpath);
    EXPECT_STREQ("", app);
    std::free(app);
    EXPECT_EQ(0, protocol);
}

TEST(ParseUrl, NullUrlAndNullOutParametersAreSafe) {
    int protocol = 9;
    EXPECT_FALSE(ParseUrl(nullptr, &protocol, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(0, protocol);
    EXPECT_TRUE(ParseUrl("rtmp://h:1/a/s", nullptr, nullptr, nullptr, nullptr, nullptr));
}

TEST(ParseUrl, DisplayNamesAreSevenBytesEachInCodeOrder) {
    static_assert(sizeof(RTMP_LIB::RtmpProtocolNames) == 6 * 7, "six 7-byte names");
    const char* const expected[] = {"RTMP", "RTMPT", "RTMPS", "RTMPE", "RTMPTE", "RTMFP"};
    for (int code = 0; code < 6; ++code) {
        EXPECT_STREQ(expected[code], RTMP_LIB::RtmpProtocolName(code));
        for (size_t i = std::strlen(expected[code]); i < 7; ++i)
            EXPECT_EQ('\0', RTMP_LIB::RtmpProtocolNames[code][i]);
    }
    EXPECT_STREQ("", RTMP_LIB::RtmpProtocolName(-1));
    EXPECT_STREQ("", RTMP_LIB::RtmpProtocolName(6));
}

}  // namespace
