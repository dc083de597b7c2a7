// One medium played through one plug-in object, in the order the host application drives it:
// open, getStreamDescription, getMediumDescription, start, readFrame/freeFrame until false, stop,
// close, destroy. Whatever happens in between, the destructor gives back every frame, stops,
// closes and destroys the object, so an early end or a failed open leaks nothing.
#pragma once

#include <cstdint>
#include <functional>

#include "host/RecordingHost.h"
#include "tools/MediumLocation.h"
#include "tools/PluginLoader.h"

namespace cli {

// One frame as the plug-in handed it out; valid only during the callback that receives it.
struct Frame {
    vanto::streamer::PACKETTYPE type = vanto::streamer::PACKET_AUDIO;
    const unsigned char* data = nullptr;
    unsigned int size = 0;
    uint64_t timestampUs = 0;
    uint64_t durationMs = 0;
    bool keyFrame = false;
};

class PluginSession {
  public:
    // |plugin| must not be null.
    PluginSession(PluginObject plugin, const MediumLocation& medium);
    ~PluginSession();

    PluginSession(const PluginSession&) = delete;
    PluginSession& operator=(const PluginSession&) = delete;

    // Opens the medium and, on success, asks for both descriptions. On failure error() holds
    // what the plug-in wrote.
    bool open();

    // Starts the object and hands every frame to |visit| until the plug-in has no more or
    // |visit| returns false; each frame is freed right after |visit| returns (or throws). Returns
    // true when the plug-in ran out of frames.
    bool readFrames(const std::function<bool(const Frame&)>& visit);

    const host::RecordingMedium& medium() const { return medium_; }
    const host::RecordingStreamDescription& stream() const { return stream_; }
    const host::RecordingError& error() const { return error_; }

  private:
    PluginObject plugin_;
    host::RecordingMedium medium_;
    host::RecordingStreamDescription stream_;
    host::RecordingError error_;
    bool openCalled_ = false;
    bool started_ = false;
};

}  // namespace cli
