// A stand-in plug-in library for the tests of the command-line host. It exports
// InputPluginFactory like the real one and writes, when its object is destroyed, a report of
// how the host drove it to the file named by ZOVOZUDO_FAKE_REPORT:
//
//   calls=open getStreamDescription getMediumDescription start stop close
//   location=...          protocol=...
//   handed=N freed=N outstanding=N bad_frees=N nonzero_durations=N
//
// A host that never destroys the object leaves no report. Further settings:
//   ZOVOZUDO_FAKE_FRAMES=N        frames to hand out (default 10), see frameAt for their content
//   ZOVOZUDO_FAKE_OPEN_ERROR=C:M  open fails with code C and message M; "C" alone sets no
//                                 message, "-" sets nothing at all
//   ZOVOZUDO_FAKE_INTERRUPT_AT=N  sends the process SIGINT while handing out frame N, as Ctrl-C
//                                 would
#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "plugin/HostInterface.h"

namespace {

using namespace vanto::streamer;

std::string setting(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : fallback;
}

struct FakeFrame {
    std::vector<unsigned char> bytes;
};

class FakePlugin : public InputPluginInterface {
  public:
    FakePlugin()
        : frameCount_(std::stoull(setting("ZOVOZUDO_FAKE_FRAMES", "10"))),
          interruptAt_(std::stoll(setting("ZOVOZUDO_FAKE_INTERRUPT_AT", "-1"))) {}

    ~FakePlugin() override {
        std::ofstream report(setting("ZOVOZUDO_FAKE_REPORT", "/dev/null"));
        report << "calls=" << calls_ << "\n"
               << "location=" << location_ << "\n"
               << "protocol=" << protocol_ << "\n"
               << "handed=" << handed_ << "\n"
               << "freed=" << freed_ << "\n"
               << "outstanding=" << outstanding_.size() << "\n"
               << "bad_frees=" << badFrees_ << "\n"
               << "nonzero_durations=" << nonzeroDurations_ << "\n";
    }

    void getStreamDescription(OutputStreamDescription* description) override {
        note("getStreamDescription");
        description->setFormat("flv");
        description->getVideoDescription()->setWidth(320);
        description->getVideoDescription()->setHeight(240);
        description->getVideoDescription()->setFrameRate(29.97);
        description->getVideoDescription()->setCodec("h264");
        description->getAudioDescription()->setSampleRate(44100);
        description->getAudioDescription()->setCodec("raw");
        description->getAudioDescription()->setRawVariant(1);
    }

    bool readFrame(PACKETTYPE& type, unsigned char*& data, unsigned int& size, uint64_t& timestamp,
                   uint64_t& duration, void*& handle, bool& keyFrame) override {
        if (duration != 0) ++nonzeroDurations_;
        if (!started_ || handed_ == frameCount_) return false;
        if (static_cast<long long>(handed_) == interruptAt_) kill(getpid(), SIGINT);
        const uint64_t index = handed_++;
        auto frame = std::make_unique<FakeFrame>();
        frame->bytes.assign(index % 7 + 1, static_cast<unsigned char>(index));
        type = index % 2 == 0 ? PACKET_AUDIO : PACKET_VIDEO;
        data = frame->bytes.data();
        size = static_cast<unsigned int>(frame->bytes.size());
        timestamp = index * 20000;
        duration = index % 2 == 0 ? 10 : 40;
        keyFrame = index % 3 == 0;
        handle = frame.get();
        outstanding_[handle] = std::move(frame);
        return true;
    }

    void freeFrame(unsigned char* data, void* handle) override {
        auto found = outstanding_.find(handle);
        if (found == outstanding_.end() || found->second->bytes.data() != data) {
            ++badFrees_;
            return;
        }
        outstanding_.erase(found);
        ++freed_;
    }

    bool open(const MediumDescription* medium, Error* error) override {
        note("open");
        location_ = medium->getLocation();
        protocol_ = medium->getProtocol();
        const std::string failure = setting("ZOVOZUDO_FAKE_OPEN_ERROR", "");
        if (failure.empty()) return true;
        if (failure == "-") return false;
        const std::string::size_type colon = failure.find(':');
        error->setCode(std::stoi(failure.substr(0, colon)));
        if (colon != std::string::npos) error->setMessage(failure.c_str() + colon + 1);
        return false;
    }

    bool updateMedium(const MediumDescription*, Error*) override {
        note("updateMedium");
        return false;
    }
    bool close() override { return note("close"); }
    bool start() override {
        started_ = true;
        return note("start");
    }
    bool stop() override {
        started_ = false;
        return note("stop");
    }
    bool pause() override { return note("pause"); }
    bool resume() override { return note("resume"); }
    PluginErrorCodes getPosition(uint64_t& position) override {
        position = 0;
        return PLUGIN_OK;
    }
    PluginErrorCodes setPosition(uint64_t) override { return PLUGIN_NOT_SUPPORTED; }
    bool isSingleInstance() override { return false; }

    void getMediumDescription(MediumDescription* medium) override {
        note("getMediumDescription");
        medium->setDuration(12345);
        medium->setFirstFlag(0);
        medium->setSecondFlag(1);
    }

  private:
    bool note(const char* call) {
        if (!calls_.empty()) calls_ += " ";
        calls_ += call;
        return true;
    }

    const uint64_t frameCount_;
    const long long interruptAt_;
    std::string calls_;
    std::string location_;
    std::string protocol_;
    bool started_ = false;
    uint64_t handed_ = 0;
    uint64_t freed_ = 0;
    uint64_t badFrees_ = 0;
    uint64_t nonzeroDurations_ = 0;
    std::map<void*, std::unique_ptr<FakeFrame>> outstanding_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) InputPluginInterface* InputPluginFactory() {
    return new FakePlugin();
}
