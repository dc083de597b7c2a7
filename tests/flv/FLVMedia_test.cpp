// Real files from ffmpeg: every tag is read, and onMetaData with the first audio and video tags
// and the codec configurations describes the medium that was asked for.
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "flv/FLVHeader.h"
#include "flv/FLVMetadataPacket.h"
#include "flv/FLVPacket.h"
#include "support/TestMedia.h"

using testing_support::TestMedia;

namespace {

class FLVMediaTest : public testing::TestWithParam<TestMedia::Kind> {};

TEST_P(FLVMediaTest, MetadataDescribesTheMedium) {
    const TestMedia::Description& d = TestMedia::describe(GetParam());
    const std::string path = TestMedia::file(GetParam());
    if (path.empty()) GTEST_SKIP() << TestMedia::missingReason(GetParam());
    std::ifstream in(path, std::ios::binary);
    const std::unique_ptr<FLVHeader> header(FLVHeader::read(in));
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(d.hasAudio, header->hasAudio);
    EXPECT_EQ(d.hasVideo, header->hasVideo);
    FLVMetadataPacket m, fromConfiguration;
    bool audioSeen = false, videoSeen = false;
    int tags = 0;
    for (std::streamoff at = in.tellg(); FLVPacket* packet = FLVPacket::read(in);
         at = in.tellg(), ++tags) {
        // Header, data and the next back-pointer: the reader keeps in step with the file.
        EXPECT_EQ(at + 15 + packet->headerLength + packet->dataSize, in.tellg());
        if (packet->tagType == 18) m.parse(packet);
        fromConfiguration.fillFromCodecConfiguration(packet);
        if (packet->tagType == 8 && !audioSeen) audioSeen = (m.fillFromPacket(packet), true);
        if (packet->tagType == 9 && !videoSeen) videoSeen = (m.fillFromPacket(packet), true);
        delete packet;
    }
    EXPECT_GT(tags, 5);
    EXPECT_TRUE(in.eof());  // the whole file, the last back-pointer apart

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
    EXPECT_EQ(m.videoDataRate != 0, d.hasVideo);
    EXPECT_EQ(m.audioDataRate != 0, d.hasAudio);
    if (d.videoCodecId == 7) {
        EXPECT_EQ(fromConfiguration.width, d.width);
        EXPECT_EQ(fromConfiguration.height, d.height);
        EXPECT_EQ(fromConfiguration.frameRate, d.frameRate);
    }
    if (d.soundFormat == 10) {
        EXPECT_EQ(fromConfiguration.audioSampleRate, d.sampleRate);
        EXPECT_EQ(fromConfiguration.audioChannels, d.channels);
    }
    // The key-frame index points at the file's key frames.
    if (GetParam() != TestMedia::Kind::kH264Aac) return;
    ASSERT_GE(m.keyframeCount, 2);  // one key frame every half second
    ASSERT_EQ(m.keyframeTimesLength, uint32_t(m.keyframeCount));
    ASSERT_EQ(m.keyframeFilePositionsLength, uint32_t(m.keyframeCount));
    for (int32_t i = 0; i < m.keyframeCount; ++i) {
        in.clear();
        in.seekg(std::streamoff(m.keyframeFilePositions[i]) - 4);
        const std::unique_ptr<FLVPacket> packet(FLVPacket::read(in));
        ASSERT_NE(packet, nullptr);
        EXPECT_EQ(9u, packet->tagType);
        EXPECT_EQ(1u, packet->frameType) << "not a key frame at " << m.keyframeFilePositions[i];
        // The muxer writes the times before it adds the streams' start offset.
        EXPECT_NEAR(packet->timestamp / 1000.0, m.keyframeTimes[i], 0.1);
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, FLVMediaTest, testing::ValuesIn(TestMedia::allKinds()),
                         [](const testing::TestParamInfo<TestMedia::Kind>& kind) {
                             return std::string(TestMedia::describe(kind.param).name);
                         });

}  // namespace
