// The whole road through the command-line host: "zovozudo frames http://…/x.flv" prints exactly
// what "zovozudo frames x.flv" prints, for a real ffmpeg-made file served by nginx.
#include <limits.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "support/NginxServer.h"
#include "support/TempDir.h"
#include "support/TestMedia.h"

namespace {

using testing_support::NginxServer;
using testing_support::TestMedia;

// The command-line host beside the test binaries' folder (build/zovozudo), or empty.
std::string cliPath() {
    char self[PATH_MAX] = {0};
    if (::readlink("/proc/self/exe", self, sizeof(self) - 1) <= 0) return "";
    std::string path(self);
    path = path.substr(0, path.rfind('/'));
    path = path.substr(0, path.rfind('/')) + "/zovozudo";
    return ::access(path.c_str(), X_OK) == 0 ? path : "";
}

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Under ThreadSanitizer the host is instrumented too, and Qt inside it is not: the same
// suppressions as in this binary's own Qt tests.
std::string sanitizerEnvironment(const TempDir& dir) {
    const std::string file = dir.file("tsan.supp");
    WriteTempFile(file, "race:libQt6Core.so.6\nrace:libQt6Network.so.6\nrace:libglib-2.0.so.0\n");
    const char* options = std::getenv("TSAN_OPTIONS");
    return "TSAN_OPTIONS='" + std::string(options ? options : "") + ":suppressions=" + file + "' ";
}

CliRun frames(const std::string& cli, const std::string& location, const TempDir& dir) {
    const std::string errFile = dir.file("stderr.txt");
    CliRun run;
    FILE* pipe =
        ::popen((sanitizerEnvironment(dir) + cli + " frames '" + location + "' 2>'" + errFile + "'")
                    .c_str(),
                "r");
    if (pipe == nullptr) return run;
    char chunk[4096];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof(chunk), pipe)) > 0) run.out.append(chunk, n);
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.err = ReadTempFile(errFile);
    return run;
}

TEST(HTTPEndToEndTest, FramesOverHttpMatchFramesFromTheFile) {
    const std::string cli = cliPath();
    if (cli.empty()) GTEST_SKIP() << "the zovozudo command-line host is not built";
    const std::string media = TestMedia::file(TestMedia::Kind::kH264Aac);
    if (media.empty()) GTEST_SKIP() << TestMedia::missingReason(TestMedia::Kind::kH264Aac);

    const std::string folder = media.substr(0, media.rfind('/'));
    const std::string name = media.substr(media.rfind('/'));
    NginxServer server(
        NginxServer::httpConfig(folder, "    location = /moved { return 302 " + name + "; }\n"));
    if (!server.running()) GTEST_SKIP() << server.why();

    TempDir dir;
    const CliRun local = frames(cli, media, dir);
    ASSERT_EQ(0, local.status) << local.err;
    ASSERT_GT(local.out.size(), 100u);
    for (const std::string& url : {server.url(name), server.url("/moved")}) {
        const CliRun http = frames(cli, url, dir);
        if (http.err.find("Protocol not supported") != std::string::npos) {
            GTEST_SKIP() << "the plug-in does not choose the HTTP source yet";
        }
        EXPECT_EQ(0, http.status) << url << ": " << http.err;
        EXPECT_EQ(local.out, http.out) << url;
    }
}

}  // namespace
