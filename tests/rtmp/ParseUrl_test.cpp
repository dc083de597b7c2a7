// RTMP URL parsing: the parts found, URL by URL.
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "rtmp/ParseUrl.h"

namespace {

using RTMP_LIB::ParseUrl;

struct UrlCase {
    std::string url;
    bool ok;
    int protocol;
    std::string host, port, app, playpath;  // "-": not set
};

UrlCase row(std::string url, int protocol, std::string host, std::string port = "-",
            std::string app = "-", std::string playpath = "-", bool ok = true) {
    return {url, ok, protocol, host, port, app, playpath};
}

TEST(ParseUrl, FindsTheParts) {
    const std::string longHost(250, 'h');
    for (const UrlCase& c :
         {row("rtmp://server/vod/clips/intro.flv", 0, "server", "-", "vod/clips", "intro"),
          row("rtmp://server:1936/live/stream", 0, "server", "1936", "live", "stream"),
          row("rtmp://server:0/live/stream", 0, "server", "1935", "live", "stream"),
          row("rtmp://server/ondemand/a/b.flv", 0, "server", "-", "ondemand", "a/b"),
          row("rtmp://s/app?slist=mp4:movie&x=1", 0, "s", "-", "app?slist=mp4:movie&x=1",
              "mp4:movie"),
          row("rtmp://server/app?id=7", 0, "server", "-", "app?id=7", "id=7"),
          row("RTMPE://server/app/s", 3, "server", "-", "app", "s"),
          row("Rtmpt://H/a/s", 1, "H", "-", "a", "s"),
          row("rtmps://h/a/s", 2, "h", "-", "a", "s"),
          row("rtmpTE://h/a/s", 4, "h", "-", "a", "s"),
          row("rtmfp://h/a/s", 5, "h", "-", "a", "s"),
          row("http://h/a/s", 0, "h", "-", "a", "s"),
          row("rtmpx://h/a/s", 0, "h", "-", "a", "s"),
          row("rtmp:/h/a/s", 0, "-", "-", "-", "-", false),
          row("rtmp://h/app/mp4:name", 0, "h", "-", "app", "mp4:name"),
          row("rtmp://h:99999/a/s", 0, "h", "99999", "a", "s"),
          row("rtmp://h:123456/a/s", 0, "h", "-", "a", "s"),
          row("rtmp://h:/a/s", 0, "h", "1935", "a", "s"),
          row("rtmp://h:-1/a/s", 0, "h", "1935", "a", "s"),
          row("rtmp://" + longHost + ":1935/a/s", 0, longHost, "1935", "a", "s"),
          row("rtmp://" + longHost + ":19350/a/s", 0, "-", "19350", "a", "s"),
          row("rtmp://server", 0, "server"),
          row("rtmp://server:1936", 0, "server", "1936"),
          row("rtmp://server?a/b", 0, "server"),
          row("rtmp://h/app/", 0, "h", "-", "app"),
          row("rtmp://h/app", 0, "h", "-", "app"),
          row("rtmp://h/app?", 0, "h", "-", "app?"),
          row("rtmp://h/", 0, "h", "-", ""),
          row("rtmp://h/app/s?", 0, "h", "-", "app", "s?"),
          row("rtmp://h/live/stream-a/x", 0, "h", "-", "live/stream-a", "x"),
          row("rtmp://h/a/b/", 0, "h", "-", "a", "b/"),
          row("rtmp://h/Ondemand/a/b", 0, "h", "-", "Ondemand/a", "b"),
          row("rtmp://h/a/clip.FLV", 0, "h", "-", "a", "clip.FLV"),
          row("rtmp://h/a/clip.flv", 0, "h", "-", "a", "clip"),
          row("rtmp://h/a/.flv", 0, "h", "-", "a", ""),
          row("rtmp://h/a?slist=b.flv", 0, "h", "-", "a?slist=b.flv", "b.flv")}) {
        SCOPED_TRACE(c.url);
        int protocol = -1;
        char *host = nullptr, *app = nullptr, *playpath = nullptr;
        unsigned int port = 0;
        EXPECT_EQ(c.ok, ParseUrl(c.url.c_str(), &protocol, &host, &port, &app, &playpath));
        EXPECT_EQ(c.protocol, protocol);
        EXPECT_EQ(c.port, port ? std::to_string(port) : "-");
        for (auto part : {std::make_pair(host, c.host), std::make_pair(app, c.app),
                          std::make_pair(playpath, c.playpath)}) {
            EXPECT_EQ(part.second, part.first ? part.first : "-");
            std::free(part.first);
        }
    }
}

TEST(ParseUrl, LeavesPartsItDidNotFindAndTakesNullSafely) {
    int protocol = 9;
    char sentinel[] = "kept";
    char *host = sentinel, *app = sentinel, *playpath = sentinel;
    unsigned int port = 77;
    const std::string url = "rtmp://" + std::string(300, 'h') + "/";
    EXPECT_TRUE(ParseUrl(url.c_str(), &protocol, &host, &port, &app, &playpath));
    EXPECT_TRUE(host == sentinel && playpath == sentinel && port == 77u && protocol == 0);
    EXPECT_STREQ("", app);
    std::free(app);
    protocol = 9;
    EXPECT_FALSE(ParseUrl(nullptr, &protocol, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(0, protocol);
    EXPECT_TRUE(ParseUrl("rtmp://h:1/a/s", nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_STREQ("RTMPTE", RTMP_LIB::RtmpProtocolName(4));
    EXPECT_STREQ("", RTMP_LIB::RtmpProtocolName(-1));
    EXPECT_STREQ("", RTMP_LIB::RtmpProtocolName(6));
}

}  // namespace
