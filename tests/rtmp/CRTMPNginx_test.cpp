// The client against nginx with its RTMP module: a file played on demand to its end with nginx's
// chunks larger and smaller than the client's, by a play path longer than one of the client's
// chunks. Skipped where nginx or its module is missing.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "rtmp/CRTMP.h"
#include "support/NginxServer.h"
#include "support/TestMedia.h"

namespace {

using testing_support::NginxServer;
using testing_support::TestMedia;

TEST(CRTMPNginxTest, PlaysAFileToItsEndWhateverNginxsChunkSize) {
    const std::string clip = TestMedia::file(TestMedia::Kind::kH264Aac);
    if (clip.empty()) GTEST_SKIP() << TestMedia::missingReason(TestMedia::Kind::kH264Aac);
    if (NginxServer::binary().empty() || !std::filesystem::exists(NginxServer::rtmpModule()))
        GTEST_SKIP() << "needs nginx with its RTMP module";
    const std::string media = TestMedia::tempDir() + "/rtmp-vod",
                      name = "clip-" + std::string(120, 'n');
    std::filesystem::create_directories(media);
    std::filesystem::copy_file(clip, media + "/" + name + ".flv",
                               std::filesystem::copy_options::overwrite_existing);
    for (int chunkSize : {4096, 64}) {
        NginxServer nginx(
            NginxServer::rtmpConfig(media, "    chunk_size " + std::to_string(chunkSize) + ";\n"));
        ASSERT_TRUE(nginx.running()) << nginx.why();
        RTMP_LIB::CRTMP client;
        client.SetReceiveTimeout(5000);
        ASSERT_TRUE(client.Connect("127.0.0.1", nginx.port(), name.c_str(), "vod", 0,
                                   "rtmp://127.0.0.1/vod", 0));
        RTMP_LIB::RTMPPacket packet;
        int frames = 0;
        for (; client.GetNextMediaPacket(packet); packet.free()) frames += packet.bodySize > 0;
        // About a second of audio and video, then NetStream.Play.Stop closes the connection.
        EXPECT_GT(frames, 20) << chunkSize;
        EXPECT_FALSE(client.IsConnected());
        EXPECT_GT(client.GetDuration(), 0.5);
    }
}

}  // namespace
