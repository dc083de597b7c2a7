// RTMP URL parsing: the parts found, URL by URL.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "rtmp/ParseUrl.h"

namespace {

using RTMP_LIB::ParseUrl;

// |row| is the URL, then the protocol, host, port, application and play path found ("-": not
// set). Only a URL without "://" is refused.
void check(const std::string& row) {
    const std::string url = row.substr(0, row.find(' '));
    SCOPED_TRACE(url);
    int protocol = -1;
    char *host = nullptr, *app = nullptr, *playpath = nullptr;
    unsigned int port = 0;
    EXPECT_EQ(ParseUrl(url.c_str(), &protocol, &host, &port, &app, &playpath),
              url.find("://") != std::string::npos);
    std::string parts = url + " " + std::to_string(protocol);
    const std::string portText = port ? std::to_string(port) : "-";
    for (const char* part :
         {(const char*)host, portText.c_str(), (const char*)app, (const char*)playpath})
        parts += std::string(" ") + (part ? part : "-");
    EXPECT_EQ(parts, row);
    for (char* part : {host, app, playpath}) std::free(part);
}

TEST(ParseUrl, FindsTheParts) {
    const std::string h(250, 'h');
    check("rtmp://" + h + ":1935/a/s 0 " + h + " 1935 a s");
    check("rtmp://" + h + ":19350/a/s 0 - 19350 a s");
    for (const char* row :
         {"rtmp://server/vod/clips/intro.flv 0 server - vod/clips intro",
          "rtmp://server:1936/live/stream 0 server 1936 live stream",
          "rtmp://server:0/live/stream 0 server 1935 live stream",
          "rtmp://server/ondemand/a/b.flv 0 server - ondemand a/b",
          "rtmp://s/app?slist=mp4:movie&x=1 0 s - app?slist=mp4:movie&x=1 mp4:movie",
          "rtmp://server/app?id=7 0 server - app?id=7 id=7",
          "RTMPE://server/app/s 3 server - app s", "Rtmpt://H/a/s 1 H - a s",
          "rtmps://h/a/s 2 h - a s", "rtmpTE://h/a/s 4 h - a s", "rtmfp://h/a/s 5 h - a s",
          "http://h/a/s 0 h - a s", "rtmpx://h/a/s 0 h - a s", "rtmp:/h/a/s 0 - - - -",
          "rtmp://h:99999/a/s 0 h 99999 a s", "rtmp://h:123456/a/s 0 h - a s",
          "rtmp://h:/a/s 0 h 1935 a s"})
        check(row);
    for (const char* row :
         {"rtmp://h:-1/a/s 0 h 1935 a s", "rtmp://server 0 server - - -",
          "rtmp://server:1936 0 server 1936 - -", "rtmp://server?a/b 0 server - - -",
          "rtmp://h/app/ 0 h - app -", "rtmp://h/app 0 h - app -", "rtmp://h/app? 0 h - app? -",
          "rtmp://h/ 0 h -  -", "rtmp://h/app/s? 0 h - app s?",
          "rtmp://h/live/stream-a/x 0 h - live/stream-a x", "rtmp://h/a/b/ 0 h - a b/",
          "rtmp://h/Ondemand/a/b 0 h - Ondemand/a b", "rtmp://h/a/clip.FLV 0 h - a clip.FLV",
          "rtmp://h/a/clip.flv 0 h - a clip", "rtmp://h/a/.flv 0 h - a ",
          "rtmp://h/a?slist=b.flv 0 h - a?slist=b.flv b.flv"})
        check(row);
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
