// The local file source against files on disk.
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/TextConversion.h"
#include "flv/FLVHeader.h"
#include "host/RecordingHost.h"
#include "sources/LocalClient.h"
#include "support/FlvBytes.h"
#include "support/TempDir.h"

namespace {

using flv_bytes::Tag;

TEST(LocalClientTest, OpensByAnySpellingAndReadsUpToTheFirstIncompleteTag) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("sub dir"));
    std::vector<Tag> tags;
    const std::string cut = flv_bytes::asString(flv_bytes::tag(8, 120, {0x2F, 1, 2, 3}, 31));
    WriteTempFile(dir.file("sub dir/caf\xC3\xA9.flv"),
                  flv_bytes::asString(flv_bytes::file(3, 20, &tags)) + cut.substr(0, 17));
    WriteTempFile(dir.file("short.flv"), "FLV\x01\x05");
    const struct {
        std::string location;
        bool opens;
        bool header;
    } cases[] = {
        {dir.file("missing.flv"), false, false},
        {dir.file("short.flv"), true, false},
        {dir.file("sub dir"), true, false},  // there, but no file
        {dir.file("sub dir\\caf\xC3\xA9.flv"), true, true},
    };
    for (const auto& c : cases) {
        LocalClient client;
        host::RecordingError error;
        EXPECT_EQ(c.opens, client.open(utf8ToWide(c.location), &error)) << c.location;
        EXPECT_EQ(c.opens ? 0 : 404, error.code.value_or(0)) << c.location;
        EXPECT_EQ(c.opens ? "" : "File could not be found.", error.message.value_or(""));
        const std::unique_ptr<FLVHeader> header(client.readHeader());
        EXPECT_EQ(c.header, header != nullptr) << c.location;
        EXPECT_TRUE(flv_bytes::drain([&] { return client.readPacket(); }) ==
                    (c.header ? tags : std::vector<Tag>()))
            << c.location;
        // Closing ends reading, also of a medium not read yet, and may come twice.
        ASSERT_EQ(c.opens, client.open(utf8ToWide(c.location), &error));
        EXPECT_TRUE(client.close() && client.close());
        EXPECT_EQ(nullptr, client.readHeader());
        EXPECT_EQ(nullptr, client.readPacket());
    }
}

}  // namespace
