// A stand-in plug-in for the host's tests: its destructor writes how the host drove it to
// $ZOVOZUDO_FAKE_REPORT. ZOVOZUDO_FAKE_FRAMES=N frames (10); ZOVOZUDO_FAKE_OPEN_ERROR=C:M open
// fails with code C and message M ("-": nothing set); ZOVOZUDO_FAKE_INTERRUPT_AT=N sends SIGINT,
// as Ctrl-C would, while handing out frame N.
#include <signal.h>
#include <unistd.h>

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

class FakePlugin : public InputPluginInterface {
  public:
    ~FakePlugin() override {
        std::ofstream(setting("ZOVOZUDO_FAKE_REPORT", "/dev/null"))
            << "calls=" << calls_.erase(0, 1) << "\nlocation=" << location_
            << "\nprotocol=" << protocol_ << "\nhanded=" << handed_
            << "\nfaults=" << outstanding_.size() + faults_ << "\n";
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

    // Frame i: audio when i is even, i % 7 + 1 bytes, at 1 + i * 20 ms.
    bool readFrame(PACKETTYPE& type, unsigned char*& data, unsigned int& size, uint64_t& timestamp,
                   uint64_t& duration, void*& handle, bool&) override {
        if (duration != 0) ++faults_;  // the host offers no duration of its own
        if (handed_ == frameCount_) return false;
        if (handed_ == interruptAt_) kill(getpid(), SIGINT);
        const uint64_t i = handed_++;
        auto frame = std::make_unique<std::vector<unsigned char>>(i % 7 + 1);
        type = i % 2 == 0 ? PACKET_AUDIO : PACKET_VIDEO;
        data = frame->data();
        size = static_cast<unsigned int>(frame->size());
        timestamp = i * 20000 + 1000;
        handle = frame.get();
        outstanding_[handle] = std::move(frame);
        return true;
    }

    void freeFrame(unsigned char* data, void* handle) override {
        faults_ += outstanding_.count(handle) == 0 || outstanding_[handle]->data() != data;
        outstanding_.erase(handle);
    }

    bool open(const MediumDescription* medium, Error* error) override {
        note("open");
        location_ = medium->getLocation();
        protocol_ = medium->getProtocol();
        const std::string failure = setting("ZOVOZUDO_FAKE_OPEN_ERROR", "");
        if (failure.empty() || failure == "-") return failure.empty();
        error->setCode(std::stoi(failure));
        error->setMessage(failure.substr(failure.find(':') + 1).c_str());
        return false;
    }

    bool updateMedium(const MediumDescription*, Error*) override { return !note("updateMedium"); }
    bool close() override { return note("close"); }
    bool start() override { return note("start"); }
    bool stop() override { return note("stop"); }
    bool pause() override { return note("pause"); }
    bool resume() override { return note("resume"); }
    PluginErrorCodes getPosition(uint64_t&) override { return PLUGIN_NOT_SUPPORTED; }
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
        calls_ += std::string(" ") + call;
        return true;
    }

    const uint64_t frameCount_ = std::stoull(setting("ZOVOZUDO_FAKE_FRAMES", "10"));
    const uint64_t interruptAt_ = std::stoull(setting("ZOVOZUDO_FAKE_INTERRUPT_AT", "-1"));
    std::string calls_, location_, protocol_;
    uint64_t handed_ = 0, faults_ = 0;
    std::map<void*, std::unique_ptr<std::vector<unsigned char>>> outstanding_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) InputPluginInterface* InputPluginFactory() {
    return new FakePlugin();
}
