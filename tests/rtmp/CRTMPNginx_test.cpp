// The client against nginx with its RTMP module: a file played on demand to its end with nginx's
// chunks larger and smaller than the client's and a play path longer than one chunk. Skipped where
// nginx or its module is missing.
#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "rtmp/CRTMP.h"
#include "support/NginxServer.h"
#include "support/TestMedia.h"

namespace {

using testing_support::NginxServer;
using testing_support::TestMedia;

class CRTMPNginxTest : public ::testing::Test {
  protected:
    void SetUp() override {
        clip_ = TestMedia::file(TestMedia::Kind::kH264Aac);
        if (clip_.empty()) GTEST_SKIP() << TestMedia::missingReason(TestMedia::Kind::kH264Aac);
        if (NginxServer::binary().empty() || !std::filesystem::exists(NginxServer::rtmpModule()))
            GTEST_SKIP() << "needs nginx with its RTMP module";
        media_ = TestMedia::tempDir() + "/rtmp-vod";
        std::filesystem::create_directories(media_);
        for (const std::string& name : {std::string("clip"), kLongName}) {
            std::filesystem::copy_file(clip_, media_ + "/" + name + ".flv",
                                       std::filesystem::copy_options::overwrite_existing);
        }
    }
    void startNginx(int chunkSize) {
        nginx_.reset();
        nginx_ = std::make_unique<NginxServer>(
            NginxServer::rtmpConfig(media_, "    chunk_size " + std::to_string(chunkSize) + ";\n"));
        ASSERT_TRUE(nginx_->running()) << nginx_->why();
    }
    // Media messages until the connection ends or |enough| arrived, on a new connection.
    int play(const char* app, const char* name, int enough) {
        const std::string tcUrl = "rtmp://127.0.0.1/" + std::string(app);
        client_ = std::make_unique<RTMP_LIB::CRTMP>();
        client_->SetReceiveTimeout(5000);
        if (!client_->Connect("127.0.0.1", nginx_->port(), name, app, 0, tcUrl.c_str(), 0))
            return -1;
        RTMP_LIB::RTMPPacket packet;
        int media = 0;
        for (; media < enough && client_->GetNextMediaPacket(packet); ++media) {
            EXPECT_GT(packet.bodySize, 0u);
            packet.free();
        }
        return media;
    }

    // Longer than one of the client's chunks of 128 bytes once in the play command.
    const std::string kLongName = "clip-" + std::string(120, 'n');
    std::string clip_, media_;
    std::unique_ptr<NginxServer> nginx_;
    std::unique_ptr<RTMP_LIB::CRTMP> client_;
};

TEST_F(CRTMPNginxTest, PlaysAFileToItsEnd) {
    for (int chunkSize : {4096, 64}) {
        startNginx(chunkSize);
        for (const std::string& name : {std::string("clip"), kLongName}) {
            SCOPED_TRACE(std::to_string(chunkSize) + " " + name);
            // About a second of audio and video, then NetStream.Play.Stop closes the connection.
            EXPECT_GT(play("vod", name.c_str(), 1 << 20), 20);
            EXPECT_FALSE(client_->IsConnected());
            EXPECT_GT(client_->GetDuration(), 0.5);
        }
    }
}

}  // namespace
