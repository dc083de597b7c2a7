// Real files from ffmpeg: every tag comes out as its bytes say, and onMetaData with the first
// audio and video tags describes the medium that was asked for.
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "flv/FLVHeader.h"
#include "flv/FLVMetadataPacket.h"
#include "flv/FLVPacket.h"
#include "support/FlvWriter.h"
#include "support/TestMedia.h"

using testing_support::TestMedia;

namespace {

// A tag as found by walking the file here, independently of the reader.
struct RawTag {
    size_t offset;  // of the tag header, behind its back-pointer
    uint32_t previousTagSize;
    uint8_t type;
    uint32_t timestamp;
    std::string data;
};

uint32_t be(const std::string& bytes, size_t at, int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) value = (value << 8) | uint8_t(bytes[at + i]);
    return value;
}

std::vector<RawTag> walk(const std::string& file) {
    std::vector<RawTag> tags;
    for (size_t at = 9; at + 15 <= file.size();) {
        const uint32_t size = be(file, at + 5, 3);
        if (size == 0 || at + 15 + size > file.size()) break;
        tags.push_back({at + 4, be(file, at, 4), uint8_t(file[at + 4]),
                        be(file, at + 8, 3) | (be(file, at + 11, 1) << 24),
                        file.substr(at + 15, size)});
        at += 15 + size;
    }
    return tags;
}

class FLVMediaTest : public testing::TestWithParam<TestMedia::Kind> {
protected:
    void SetUp() override {
        path_ = TestMedia::file(GetParam());
        if (path_.empty()) GTEST_SKIP() << TestMedia::missingReason(GetParam());
        std::ifstream in(path_, std::ios::binary);
        bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    std::string path_;
    std::string bytes_;
};

TEST_P(FLVMediaTest, EveryTagAsItsBytesSay) {
    const std::vector<RawTag> expected = walk(bytes_);
    ASSERT_GT(expected.size(), 5u);

    std::ifstream in(path_, std::ios::binary);
    const std::unique_ptr<FLVHeader> header(FLVHeader::read(in));
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->hasAudio, TestMedia::describe(GetParam()).hasAudio);
    EXPECT_EQ(header->hasVideo, TestMedia::describe(GetParam()).hasVideo);

    for (const RawTag& tag : expected) {
        const std::unique_ptr<FLVPacket> packet(FLVPacket::read(in));
        ASSERT_NE(packet, nullptr) << "tag at " << tag.offset;
        SCOPED_TRACE(testing::Message() << "tag at " << tag.offset);
        EXPECT_EQ(packet->tagType, tag.type);
        EXPECT_EQ(packet->timestamp, tag.timestamp);
        EXPECT_EQ(packet->previousTagSize, tag.previousTagSize);
        const uint8_t first = uint8_t(tag.data[0]);
        size_t skipped = 0;
        if (tag.type == 8) {
            const unsigned format = first >> 4;
            const bool kept = format <= 2 || format == 5 || format == 6;
            EXPECT_EQ(packet->soundFormat, kept ? format : 2u);
            EXPECT_EQ(packet->soundRate, (first >> 2) & 3u);
            EXPECT_EQ(packet->soundSize, (first >> 1) & 1u);
            EXPECT_EQ(packet->soundType, first & 1u);
            skipped = 1;
        } else if (tag.type == 9) {
            const unsigned codec = first & 15;
            EXPECT_EQ(packet->frameType, first >> 4u);
            EXPECT_EQ(packet->codecId, codec >= 2 && codec <= 7 ? codec : 4u);
            skipped = packet->codecId == 4 ? 2 : 1;
        }
        EXPECT_EQ(packet->headerLength, skipped);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(packet->data), packet->dataSize),
                  tag.data.substr(skipped));
    }
    EXPECT_EQ(FLVPacket::read(in), nullptr);
}

TEST_P(FLVMediaTest, MetadataDescribesTheMedium) {
    const TestMedia::Description& d = TestMedia::describe(GetParam());
    FLVMetadataPacket m, fromConfiguration;
    bool audioSeen = false, videoSeen = false;
    std::ifstream in(path_, std::ios::binary);
    delete FLVHeader::read(in);
    while (FLVPacket* packet = FLVPacket::read(in)) {
        if (packet->tagType == 18) m.parse(packet);
        fromConfiguration.fillFromCodecConfiguration(packet);
        if (packet->tagType == 8 && !audioSeen) audioSeen = (m.fillFromPacket(packet), true);
        if (packet->tagType == 9 && !videoSeen) videoSeen = (m.fillFromPacket(packet), true);
        packet->release();
        delete packet;
    }

    EXPECT_GE(m.duration, d.seconds * 1000 * 0.95);
    EXPECT_LE(m.duration, d.seconds * 1000 * 1.2);
    EXPECT_EQ(m.width, d.width);
    EXPECT_EQ(m.height, d.height);
    EXPECT_EQ(m.frameRate, d.frameRate);
    EXPECT_EQ(m.videoCodecId, d.videoCodecId);
    EXPECT_EQ(m.audioCodecId, d.soundFormat);
    EXPECT_EQ(m.audioSampleRate, d.sampleRate);
    // AAC tags always carry the stereo bit: the count comes from the AudioSpecificConfig.
    EXPECT_EQ(m.audioChannels, d.channels);
    // The muxer writes rates in units of 1024 bits per second.
    if (d.videoBitRate != 0) {
        EXPECT_NEAR(m.videoDataRate, d.videoBitRate * 1000.0 / 1024, 1);
    }
    if (d.audioBitRate != 0) {
        EXPECT_NEAR(m.audioDataRate, d.audioBitRate * 1000.0 / 1024, 1);
    }
    // What the H.264 and AAC configurations say matches what ffmpeg was asked for.
    if (d.videoCodecId == 7) {
        EXPECT_EQ(fromConfiguration.width, d.width);
        EXPECT_EQ(fromConfiguration.height, d.height);
        EXPECT_EQ(fromConfiguration.frameRate, d.frameRate);
    }
    if (d.soundFormat == 10) {
        EXPECT_EQ(fromConfiguration.audioSampleRate, d.sampleRate);
        EXPECT_EQ(fromConfiguration.audioChannels, d.channels);
    }
    EXPECT_EQ(m.videoDataRate != 0, d.hasVideo);
    EXPECT_EQ(m.audioDataRate != 0, d.hasAudio);
}

INSTANTIATE_TEST_SUITE_P(Kinds, FLVMediaTest, testing::ValuesIn(TestMedia::allKinds()),
                         [](const testing::TestParamInfo<TestMedia::Kind>& kind) {
                             return std::string(TestMedia::describe(kind.param).name);
                         });

// The key-frame index of a real file points at the file's key frames.
TEST(FLVMediaKeyframesTest, IndexPointsAtKeyFrames) {
    const std::string path = TestMedia::file(TestMedia::Kind::kH264Aac);
    if (path.empty()) GTEST_SKIP() << TestMedia::missingReason(TestMedia::Kind::kH264Aac);
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::vector<RawTag> tags = walk(bytes);
    ASSERT_FALSE(tags.empty());
    ASSERT_EQ(tags[0].type, 18);

    FLVMetadataPacket m;
    m.parse(testing_support::packetFromBytes(18, tags[0].data).get());

    ASSERT_GE(m.keyframeCount, 2);  // one key frame every half second
    ASSERT_EQ(m.keyframeTimesLength, uint32_t(m.keyframeCount));
    ASSERT_EQ(m.keyframeFilePositionsLength, uint32_t(m.keyframeCount));
    for (int32_t i = 0; i < m.keyframeCount; ++i) {
        const double position = m.keyframeFilePositions[i];
        bool found = false;
        for (const RawTag& tag : tags) {
            if (tag.offset != position) continue;
            found = true;
            EXPECT_EQ(tag.type, 9);
            EXPECT_EQ(uint8_t(tag.data[0]) >> 4, 1) << "not a key frame at " << position;
            // The muxer writes the times before it adds the streams' start offset.
            EXPECT_NEAR(tag.timestamp / 1000.0, m.keyframeTimes[i], 0.1);
        }
        EXPECT_TRUE(found) << "no tag at " << position;
    }
}

}  // namespace
