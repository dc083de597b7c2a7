// A stand-in plug-in for the tests of the command-line host. When its object is destroyed it
// writes how the host drove it to $ZOVOZUDO_FAKE_REPORT (calls=, location=, protocol=, handed=,
// freed=, outstanding=, bad_frees=, nonzero_durations=); a host that never destroys it leaves
// none. ZOVOZUDO_FAKE_FRAMES=N frames to hand out (10); ZOVOZUDO_FAKE_OPEN_ERROR=C:M open fails
// with code C and message M ("C" alone sets no message, "-" nothing); ZOVOZUDO_FAKE_INTERRUPT_AT=N
// sends the process SIGINT, as Ctrl-C would, while handing out frame N.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
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
            << "\nprotocol=" << protocol_ << "\nhanded=" << handed_ << "\nfreed=" << freed_
            << "\noutstanding=" << outstanding_.size() << "\nbad_frees=" << badFrees_
            << "\nnonzero_durations=" << nonzeroDurations_ << "\n";
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

    // Frame i: audio when i is even, i % 7 + 1 bytes of value i, timestamp i * 20 ms, duration
    // 10 (audio) or 40 (video), a key frame when i is a multiple of 3.
    bool readFrame(PACKETTYPE& type, unsigned char*& data, unsigned int& size, uint64_t& timestamp,
                   uint64_t& duration, void*& handle, bool& keyFrame) override {
        if (duration != 0) ++nonzeroDurations_;
        if (!started_ || handed_ == frameCount_) return false;
        if (handed_ == interruptAt_) kill(getpid(), SIGINT);
        const uint64_t i = handed_++;
        auto* frame = new std::vector<unsigned char>(i % 7 + 1, static_cast<unsigned char>(i));
        type = i % 2 == 0 ? PACKET_AUDIO : PACKET_VIDEO;
        data = frame->data();
        size = static_cast<unsigned int>(frame->size());
        timestamp = i * 20000;
        duration = i % 2 == 0 ? 10 : 40;
        keyFrame = i % 3 == 0;
        handle = frame;
        outstanding_[handle] = frame;
        return true;
    }

    void freeFrame(unsigned char* data, void* handle) override {
        auto found = outstanding_.find(handle);
        if (found == outstanding_.end() || found->second->data() != data) {
            ++badFrees_;
            return;
        }
        delete found->second;
        outstanding_.erase(found);
        ++freed_;
    }

    bool open(const MediumDescription* medium, Error* error) override {
        note("open");
        location_ = medium->getLocation();
        protocol_ = medium->getProtocol();
        const std::string failure = setting("ZOVOZUDO_FAKE_OPEN_ERROR", "");
        if (failure.empty() || failure == "-") return failure.empty();
        error->setCode(std::stoi(failure));
        if (failure.find(':') != std::string::npos)
            error->setMessage(failure.c_str() + failure.find(':') + 1);
        return false;
    }

    bool updateMedium(const MediumDescription*, Error*) override { return !note("updateMedium"); }
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
        calls_ += std::string(" ") + call;
        return true;
    }

    const uint64_t frameCount_ = std::stoull(setting("ZOVOZUDO_FAKE_FRAMES", "10"));
    const uint64_t interruptAt_ = std::stoull(setting("ZOVOZUDO_FAKE_INTERRUPT_AT", "-1"));
    std::string calls_, location_, protocol_;
    bool started_ = false;
    uint64_t handed_ = 0, freed_ = 0, badFrees_ = 0, nonzeroDurations_ = 0;
    std::map<void*, std::vector<unsigned char>*> outstanding_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) InputPluginInterface* InputPluginFactory() {
    return new FakePlugin();
}
