// Peak memory of the RTMP source for one legal aggregate message of the largest size a chunk
// header can give (16 MiB), filled with empty FLV tags: about 1.1 million of them. A scripted
// server on loopback plays it after the usual connect, createStream and play; the source hands
// out every tag, and each is freed at once, as the host does.
//
// Prints the growth of the peak resident set size over what the process held before the open
// (the server's copy of the message included), in MiB and as a multiple of the message.
// Goal: a small multiple of the message (taking all its tags apart at once cost 174 MiB).
//
//   build/bench/rtmp_aggregate_memory
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "common/TextConversion.h"
#include "flv/FLVPacket.h"
#include "host/RecordingHost.h"
#include "sources/RTMPClient.h"
#include "support/ScriptedRtmpServer.h"

namespace {

using testing_support::BigEndian;
using testing_support::Invoke;
using testing_support::Message12;
using testing_support::RtmpMessage;
using testing_support::ScriptedRtmpServer;
namespace amf = testing_support::amf;

constexpr uint32_t kMaxMessageSize = 0xFFFFFF;
constexpr uint32_t kEmptyTagSize = 11 + 4;  // header and back-pointer
constexpr uint32_t kChunkSize = 4096;

// A value in kB from /proc/self/status ("VmRSS", "VmHWM"), or -1.
long statusKb(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, field.size() + 1, field + ":") == 0) {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return -1;
}

// Makes the peak resident set size start again from the current one.
bool resetPeak() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    return static_cast<bool>(clear);
}

bool startPlay(ScriptedRtmpServer& s) {
    RtmpMessage m;
    if (!s.acceptConnect(&m) || !s.send(Invoke("_result", 1))) return false;
    for (int i = 0; i < 3; ++i) {  // server bandwidth, ping, createStream
        if (!s.readMessage(&m)) return false;
    }
    return s.send(Invoke("_result", 2, amf::num(1))) && s.readMessage(&m) && s.readMessage(&m);
}

}  // namespace

int main() {
    const uint32_t tags = kMaxMessageSize / kEmptyTagSize;
    std::string body;
    body.reserve(size_t(tags) * kEmptyTagSize);
    for (uint32_t i = 0; i < tags; ++i) {
        body += std::string("\x08") + BigEndian(0, 3) + BigEndian(i & 0xFFFFFF, 3) + '\0' +
                BigEndian(0, 3) + BigEndian(11, 4);
    }
    const std::string wire = Message12(2, 0x01, 0, BigEndian(kChunkSize, 4)) +
                             Message12(4, 0x16, 1, body, kChunkSize) + Message12(4, 8, 1, "\x2F!");
    body.clear();
    body.shrink_to_fit();

    ScriptedRtmpServer server([&wire](ScriptedRtmpServer& s) {
        if (startPlay(s) && s.send(wire)) s.waitForClose();
    });
    if (!resetPeak()) {
        std::fprintf(stderr, "cannot reset the peak resident set size\n");
        return 2;
    }
    const long baseKb = statusKb("VmRSS");
    const auto start = std::chrono::steady_clock::now();

    uint64_t handedOut = 0;
    {
        RTMPClient client;
        host::RecordingError error;
        const std::string url = "rtmp://127.0.0.1:" + std::to_string(server.port()) + "/live/s";
        if (!client.open(utf8ToWide(url), &error)) {
            std::fprintf(stderr, "open failed: %s\n", error.message.value_or("").c_str());
            return 1;
        }
        // The audio message behind the aggregate shows that every tag came out before it.
        for (;;) {
            std::unique_ptr<FLVPacket> tag(client.readPacket());
            if (!tag) break;
            ++handedOut;
            if (tag->dataSize > 0) break;
        }
        client.close();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long peakKb = statusKb("VmHWM");
    const double messageMiB = double(kMaxMessageSize) / (1024 * 1024);
    const double growthMiB = double(peakKb - baseKb) / 1024;
    std::printf("aggregate of %u empty tags (%.1f MiB): %llu tags handed out in %.2f s\n", tags,
                messageMiB, static_cast<unsigned long long>(handedOut), seconds);
    std::printf("peak resident growth: %.1f MiB, %.2f times the message\n", growthMiB,
                growthMiB / messageMiB);
    return handedOut == uint64_t(tags) + 1 ? 0 : 1;
}
