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
    Lines log;  // after "DEBUG parsing..."
};

std::string D(const std::string& text) { return "DEBUG " + text; }
std::string W(const std::string& text) { return "WARN " + text; }
std::string E(const std::string& text) { return "ERROR " + text; }

Lines operator+(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The usual debug lines of a URL whose every part is found.
Lines found(int protocol, const std::string& host, const std::string& app,
            const std::string& playpath, int port = 0) {
    Lines lines = {D("Parsed protocol: " + std::to_string(protocol)), D("Parsed host    : " + host)};
    if (port != 0) lines.push_back(D("Parsed port    : " + std::to_string(port)));
    return lines + Lines{D("Parsed app     : " + app), D("Parsed playpath: " + playpath)};
}

const Lines kNoPlaypath = {E("No playpath found!"), W("No playpath in URL!")};

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
    EXPECT_EQ(Lines{D("parsing...")} + c.log, capture.lines());
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
        UrlCase{"rtmp://server/vod/clips/intro.flv", {true, 0, "server", 0, "vod/clips", "intro"},
                found(0, "server", "vod/clips", "intro")},
        UrlCase{"rtmp://server:1936/live/stream", {true, 0, "server", 1936, "live", "stream"},
                found(0, "server", "live", "stream", 1936)},
        UrlCase{"rtmp://server:0/live/stream", {true, 0, "server", 1935, "live", "stream"},
                found(0, "server", "live", "stream", 1935)},
        UrlCase{"rtmp://server/ondemand/a/b.flv", {true, 0, "server", 0, "ondemand", "a/b"},
                found(0, "server", "ondemand", "a/b")},
        UrlCase{"rtmp://server/app?slist=mp4:movie&x=1",
                {true, 0, "server", 0, "app?slist=mp4:movie&x=1", "mp4:movie"},
                found(0, "server", "app?slist=mp4:movie&x=1", "mp4:movie")},
        UrlCase{"rtmp://server/app?id=7", {true, 0, "server", 0, "app?id=7", "id=7"},
                found(0, "server", "app?id=7", "id=7")},
        UrlCase{"RTMPE://server/app/s", {true, 3, "server", 0, "app", "s"},
                found(3, "server", "app", "s")}));

INSTANTIATE_TEST_SUITE_P(
    Schemes, ParseUrlTest,
    ::testing::Values(
        UrlCase{"Rtmpt://H/a/s", {true, 1, "H", 0, "a", "s"}, found(1, "H", "a", "s")},
        UrlCase{"rtmps://h/a/s", {true, 2, "h", 0, "a", "s"}, found(2, "h", "a", "s")},
        UrlCase{"rtmpTE://h/a/s", {true, 4, "h", 0, "a", "s"}, found(4, "h", "a", "s")},
        UrlCase{"rtmfp://h/a/s", {true, 5, "h", 0, "a", "s"}, found(5, "h", "a", "s")},
        UrlCase{"http://h/a/s", {true, 0, "h", 0, "a", "s"},
                {W("Unknown protocol!\n"), D("Parsed host    : h"), D("Parsed app     : a"),
                 D("Parsed playpath: s")}},
        UrlCase{"rtmpx://h/a/s", {true, 0, "h", 0, "a", "s"},
                {W("Unknown protocol!\n"), D("Parsed host    : h"), D("Parsed app     : a"),
                 D("Parsed playpath: s")}},
        UrlCase{"rtmpted://h/a", {true, 0, "h", 0, "a", nullptr},
                Lines{W("Unknown protocol!\n"), D("Parsed host    : h"), D("Parsed app     : a")} +
                    kNoPlaypath},
        UrlCase{"rtmp:/h/a/s", {false, 0}, {W("RTMP URL: No :// in url!")}},
        UrlCase{"", {false, 0}, {W("RTMP URL: No :// in url!")}}));

INSTANTIATE_TEST_SUITE_P(
    HostAndPort, ParseUrlTest,
    ::testing::Values(
        UrlCase{"rtmp://h/app/mp4:name", {true, 0, "h", 0, "app", "mp4:name"},
                found(0, "h", "app", "mp4:name")},
        UrlCase{"rtmp://h:99999/a/s", {true, 0, "h", 99999, "a", "s"},
                found(0, "h", "a", "s", 99999)},
        UrlCase{"rtmp://h:123456/a/s", {true, 0, "h", 0, "a", "s"},
                {D("Parsed protocol: 0"), D("Parsed host    : h"),
                 W("Port number is longer than 5 characters!"), D("Parsed app     : a"),
                 D("Parsed playpath: s")}},
        UrlCase{"rtmp://h:/a/s", {true, 0, "h", 1935, "a", "s"}, found(0, "h", "a", "s", 1935)},
        UrlCase{"rtmp://h:-1/a/s", {true, 0, "h", 1935, "a", "s"}, found(0, "h", "a", "s", 1935)},
        UrlCase{"rtmp://h:12x/a/s", {true, 0, "h", 12, "a", "s"}, found(0, "h", "a", "s", 12)},
        UrlCase{"rtmp://" + kLongHost + ":1935/a/s", {true, 0, kLongHost.c_str(), 1935, "a", "s"},
                found(0, kLongHost, "a", "s", 1935)},
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
        UrlCase{"rtmp://h/app/", {true, 0, "h", 0, "app", nullptr},
                Lines{D("Parsed protocol: 0"), D("Parsed host    : h"), D("Parsed app     : app")} +
                    kNoPlaypath},
        UrlCase{"rtmp://h/app", {true, 0, "h", 0, "app", nullptr},
                Lines{D("Parsed protocol: 0"), D("Parsed host    : h"), D("Parsed app     : app")} +
                    kNoPlaypath},
        UrlCase{"rtmp://h/app?", {true, 0, "h", 0, "app?", nullptr},
                Lines{D("Parsed protocol: 0"), D("Parsed host    : h"), D("Parsed app     : app?")} +
                    kNoPlaypath},
        UrlCase{"rtmp://h/", {true, 0, "h", 0, "", nullptr},
                Lines{D("Parsed protocol: 0"), D("Parsed host    : h"), D("Parsed app     : ")} +
                    kNoPlaypath},
        UrlCase{"rtmp://h/app/s?", {true, 0, "h", 0, "app", "s?"}, found(0, "h", "app", "s?")},
        UrlCase{"rtmp://h/live/stream-a/x", {true, 0, "h", 0, "live/stream-a", "x"},
                found(0, "h", "live/stream-a", "x")},
        UrlCase{"rtmp://h/a/b/", {true, 0, "h", 0, "a", "b/"}, found(0, "h", "a", "b/")},
        UrlCase{"rtmp://h/Ondemand/a/b", {true, 0, "h", 0, "Ondemand/a", "b"},
                found(0, "h", "Ondemand/a", "b")},
        UrlCase{"rtmp://h/a/clip.FLV", {true, 0, "h", 0, "a", "clip.FLV"},
                found(0, "h", "a", "clip.FLV")},
        UrlCase{"rtmp://h/a/clip.flv", {true, 0, "h", 0, "a", "clip"}, found(0, "h", "a", "clip")},
        UrlCase{"rtmp://h/a/.flv", {true, 0, "h", 0, "a", ""}, found(0, "h", "a", "")},
        UrlCase{"rtmp://h/a?slist=b.flv", {true, 0, "h", 0, "a?slist=b.flv", "b.flv"},
                found(0, "h", "a?slist=b.flv", "b.flv")},
        UrlCase{"rtmp://h/a?x=1&slist=", {true, 0, "h", 0, "a?x=1&slist=", ""},
                found(0, "h", "a?x=1&slist=", "")}));

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
