#include "tools/PluginSession.h"

#include <utility>

namespace cli {

namespace {

// Gives a frame back to the plug-in when it goes out of scope.
class FrameGuard {
  public:
    FrameGuard(vanto::streamer::InputPluginInterface* plugin, unsigned char* data, void* handle)
        : plugin_(plugin), data_(data), handle_(handle) {}
    ~FrameGuard() { plugin_->freeFrame(data_, handle_); }

    FrameGuard(const FrameGuard&) = delete;
    FrameGuard& operator=(const FrameGuard&) = delete;

  private:
    vanto::streamer::InputPluginInterface* const plugin_;
    unsigned char* const data_;
    void* const handle_;
};

}  // namespace

PluginSession::PluginSession(PluginObject plugin, const MediumLocation& medium)
    : plugin_(std::move(plugin)), medium_(medium.location, medium.protocol) {}

PluginSession::~PluginSession() {
    if (started_) plugin_->stop();
    // A failed open may leave the plug-in holding its source until close.
    if (openCalled_) plugin_->close();
    plugin_.reset();
}

bool PluginSession::open() {
    openCalled_ = true;
    if (!plugin_->open(&medium_, &error_)) return false;
    plugin_->getStreamDescription(&stream_);
    plugin_->getMediumDescription(&medium_);
    return true;
}

bool PluginSession::readFrames(const std::function<bool(const Frame&)>& visit) {
    if (!started_) {
        plugin_->start();
        started_ = true;
    }
    for (;;) {
        vanto::streamer::PACKETTYPE type = vanto::streamer::PACKET_AUDIO;
        unsigned char* data = nullptr;
        unsigned int size = 0;
        uint64_t timestamp = 0;
        // The host application has no duration of its own to offer.
        uint64_t duration = 0;
        void* handle = nullptr;
        bool keyFrame = false;
        if (!plugin_->readFrame(type, data, size, timestamp, duration, handle, keyFrame)) {
            return true;
        }
        FrameGuard guard(plugin_.get(), data, handle);
        const Frame frame{type, data, size, timestamp, duration, keyFrame};
        if (!visit(frame)) return false;
    }
}

}  // namespace cli
