#include "tools/MediumLocation.h"

#include <gtest/gtest.h>

namespace cli {
namespace {

TEST(MediumLocationTest, TypedTextBecomesLocationAndProtocol) {
    struct Case {
        const char* typed;
        const char* location;
        const char* protocol;
    };
    const Case cases[] = {
        {"/media/a.flv", "/media/a.flv", "file"},
        {"a.flv", "a.flv", "file"},
        {"dir with space/a b.flv", "dir with space/a b.flv", "file"},
        {"file:///media/a.flv", "/media/a.flv", "file"},
        {"file://a.flv", "a.flv", "file"},
        {"file://", "", "file"},
        {"rtmp://host/app/stream", "rtmp://host/app/stream", "rtmp"},
        {"rtmpe://host:1935/app", "rtmpe://host:1935/app", "rtmpe"},
        {"rtmpt://host/app", "rtmpt://host/app", "rtmpt"},
        {"http://host/a.flv?x=1", "http://host/a.flv?x=1", "http"},
        {"https://host/a.flv", "https://host/a.flv", "https"},
        {"svn+ssh://host/x", "svn+ssh://host/x", "svn+ssh"},
        // The scheme goes over as written: the plug-in tells "file" from "FILE" itself.
        {"FILE:///media/a.flv", "FILE:///media/a.flv", "FILE"},
        {"Rtmp://host/app", "Rtmp://host/app", "Rtmp"},
        // Text before "://" that is no scheme leaves a plain path.
        {"/tmp/a://b.flv", "/tmp/a://b.flv", "file"},
        {"://host/a.flv", "://host/a.flv", "file"},
        {"1rtmp://host/app", "1rtmp://host/app", "file"},
        {"rt mp://host/app", "rt mp://host/app", "file"},
        {"rtmp:/host/app", "rtmp:/host/app", "file"},
        // Only the first "://" counts.
        {"http://host/redirect?to=file:///x", "http://host/redirect?to=file:///x", "http"},
    };
    for (const Case& c : cases) {
        const MediumLocation parsed = parseMediumLocation(c.typed);
        EXPECT_EQ(parsed.location, c.location) << c.typed;
        EXPECT_EQ(parsed.protocol, c.protocol) << c.typed;
    }
}

}  // namespace
}  // namespace cli
