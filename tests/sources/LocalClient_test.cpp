// The local file source against files on disk.
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "common/TextConversion.h"
#include "flv/FLVHeader.h"
#include "host/RecordingHost.h"
#include "sources/LocalClient.h"
#include "support/FlvBytes.h"
#include "support/TempDir.h"

namespace {

TEST(LocalClientTest, OpensByAnySpellingAndReadsUpToTheFirstIncompleteTag) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("sub dir"));
    std::vector<flv_bytes::Tag> tags;
    const std::string cut = flv_bytes::asString(flv_bytes::tag(8, 120, {0x2F, 1, 2, 3}, 31));
    WriteTempFile(dir.file("sub dir/caf\xC3\xA9.flv"),
                  flv_bytes::asString(flv_bytes::file(3, 20, &tags)) + cut.substr(0, 17));
    WriteTempFile(dir.file("short.flv"), "FLV\x01\x05");
    const std::tuple<std::string, std::string, bool> cases[] = {
        {"missing.flv", "404 File could not be found.", false},
        {"short.flv", "", false},
        {"sub dir", "", false},  // there, but no file
        {"sub dir\\caf\xC3\xA9.flv", "", true},
    };
    for (const auto& [name, failure, complete] : cases) {
        SCOPED_TRACE(name);
        LocalClient client;
        host::RecordingError error;
        const bool opened = client.open(utf8ToWide(dir.file(name)), &error);
        EXPECT_EQ(failure, opened ? ""
                                  : std::to_string(error.code.value_or(0)) + " " +
                                        error.message.value_or(""));
        EXPECT_EQ(complete, std::unique_ptr<FLVHeader>(client.readHeader()) != nullptr);
        EXPECT_TRUE(flv_bytes::drain([&] { return client.readPacket(); }) ==
                    (complete ? tags : std::vector<flv_bytes::Tag>()));
        // Closing ends reading, also of a medium not read yet, and may come twice.
        EXPECT_EQ(opened, client.open(utf8ToWide(dir.file(name)), &error));
        EXPECT_TRUE(client.close() && client.close());
        EXPECT_TRUE(client.readHeader() == nullptr && client.readPacket() == nullptr);
    }
}

}  // namespace
