// The local file source against files on disk.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/TextConversion.h"
#include "flv/FLVHeader.h"
#include "flv/FLVPacket.h"
#include "host/RecordingHost.h"
#include "sources/LocalClient.h"
#include "support/FlvBytes.h"

namespace {

using flv_bytes::Bytes;
using flv_bytes::header;
using flv_bytes::tag;
using flv_bytes::operator+;

class LocalClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zovozudo-local-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string write(const std::string& name, const Bytes& bytes) {
        const std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        return path;
    }

    bool open(const std::string& location) {
        return client.open(utf8ToWide(location), &error);
    }

    // Timestamps of every tag the source gives before its first null.
    std::vector<uint32_t> readAll() {
        std::vector<uint32_t> out;
        while (FLVPacket* packet = client.readPacket()) {
            out.push_back(packet->timestamp);
            packet->release();
            delete packet;
        }
        return out;
    }

    std::string dir;
    LocalClient client;
    host::RecordingError error;
};

TEST_F(LocalClientTest, MissingFileIsReportedAs404) {
    EXPECT_FALSE(open(dir + "/missing.flv"));
    EXPECT_EQ(404, error.code.value_or(0));
    EXPECT_EQ("File could not be found.", error.message.value_or(""));
    EXPECT_EQ(nullptr, client.readHeader());
    EXPECT_EQ(nullptr, client.readPacket());
}

TEST_F(LocalClientTest, ReadsHeaderAndTagsUntilTheFirstIncompleteOne) {
    const Bytes complete = header() + tag(9, 0, {0x17, 1, 2}) + tag(8, 23, {0x2F, 9}, 14) +
                           tag(9, 40, {0x27, 3}, 13);
    const Bytes cut = tag(8, 46, {0x2F, 1, 2, 3, 4}, 12);
    // Every cut inside the last tag loses that tag only.
    for (size_t keep = 0; keep < cut.size(); ++keep) {
        SCOPED_TRACE(keep);
        const std::string path =
            write("cut.flv", complete + Bytes(cut.begin(), cut.begin() + long(keep)));
        LocalClient reader;
        ASSERT_TRUE(reader.open(utf8ToWide(path), &error));
        std::unique_ptr<FLVHeader> flvHeader(reader.readHeader());
        ASSERT_NE(nullptr, flvHeader);
        std::vector<uint32_t> timestamps;
        while (FLVPacket* packet = reader.readPacket()) {
            timestamps.push_back(packet->timestamp);
            packet->release();
            delete packet;
        }
        EXPECT_EQ((std::vector<uint32_t>{0, 23, 40}), timestamps);
    }
}

TEST_F(LocalClientTest, ShortOrEmptyFilesOpenButHoldNoHeader) {
    const Bytes full = header();
    for (size_t size : {0u, 1u, 8u}) {
        SCOPED_TRACE(size);
        LocalClient reader;
        const Bytes shortHeader(full.begin(), full.begin() + long(size));
        ASSERT_TRUE(reader.open(utf8ToWide(write("short.flv", shortHeader)), &error));
        EXPECT_EQ(nullptr, reader.readHeader());
        EXPECT_EQ(nullptr, reader.readPacket());
    }
    // A folder exists but cannot be read as a file.
    ASSERT_TRUE(open(dir));
    EXPECT_EQ(nullptr, client.readHeader());
}

TEST_F(LocalClientTest, ZeroSizeTagEndsTheMedium) {
    ASSERT_TRUE(open(write("zero.flv", header() + tag(9, 0, {0x17, 1}) + tag(9, 40, {}) +
                                           tag(9, 80, {0x17, 2}))));
    delete client.readHeader();
    EXPECT_EQ((std::vector<uint32_t>{0}), readAll());
}

TEST_F(LocalClientTest, BackslashesAndNonAsciiNamesFindTheFile) {
    std::filesystem::create_directory(dir + "/sub dir");
    write("sub dir/caf\xC3\xA9.flv", header() + tag(9, 7, {0x17, 1}));
    std::string location = dir + "\\sub dir\\caf\xC3\xA9.flv";
    ASSERT_TRUE(open(location));
    delete client.readHeader();
    EXPECT_EQ((std::vector<uint32_t>{7}), readAll());
}

TEST_F(LocalClientTest, CloseIsIdempotentAndEndsReading) {
    ASSERT_TRUE(open(write("a.flv", header() + tag(9, 0, {0x17, 1}))));
    EXPECT_TRUE(client.close());
    EXPECT_TRUE(client.close());
    EXPECT_EQ(nullptr, client.readHeader());
    EXPECT_EQ(nullptr, client.readPacket());
}

}  // namespace
