// The host application's side of the plug-in contract (namespace vanto::streamer). The plug-in
// derives from InputPluginInterface and calls the operations below on the host's objects; the
// declaration order of the virtual operations is the host's slot order and must not change.
// 8-bit strings are NUL-terminated.
#pragma once

#include <cstdint>

namespace vanto {
namespace streamer {

enum PACKETTYPE {
    PACKET_AUDIO = 0,
    PACKET_VIDEO = 1,
};

enum PluginErrorCodes {
    PLUGIN_OK = 0,
    PLUGIN_ERROR = 1,
    PLUGIN_NOT_SUPPORTED = 2,  // a position change that the plug-in does not carry out
};

// Host objects are owned by the host; the plug-in never deletes them.
class MediumDescription {
public:
    virtual const char* getLocation() const = 0;
    virtual void setDuration(uint64_t milliseconds) = 0;
    virtual void setFirstFlag(int flag) = 0;
    virtual void setSecondFlag(int flag) = 0;
    virtual const char* getProtocol() const = 0;

protected:
    ~MediumDescription() = default;
};

class Error {
public:
    virtual void setCode(int code) = 0;
    virtual void setMessage(const char* message) = 0;

protected:
    ~Error() = default;
};

// What audio and video descriptions have in common.
class StreamDescription {
public:
    virtual void setBitRate(unsigned int bitsPerSecond) = 0;
    virtual void setCodec(const char* name) = 0;

protected:
    ~StreamDescription() = default;
};

class AudioDescription : public StreamDescription {
public:
    virtual void setRawVariant(int variant) = 0;
    virtual void setBitsPerSample(int bits) = 0;
    virtual void setSampleRate(unsigned int hertz) = 0;
    virtual void setChannels(unsigned int channels) = 0;

protected:
    ~AudioDescription() = default;
};

class VideoDescription : public StreamDescription {
public:
    virtual void setWidth(unsigned int pixels) = 0;
    virtual void setHeight(unsigned int pixels) = 0;
    virtual void setFrameRate(double framesPerSecond) = 0;

protected:
    ~VideoDescription() = default;
};

class OutputStreamDescription {
public:
    virtual void setFormat(const char* container) = 0;
    virtual AudioDescription* getAudioDescription() = 0;
    virtual VideoDescription* getVideoDescription() = 0;

protected:
    ~OutputStreamDescription() = default;
};

// Slots 0 to 3.
class InputStream {
public:
    virtual ~InputStream() = default;
    virtual void getStreamDescription(OutputStreamDescription* description) = 0;
    // Returns true and fills every output with the next frame, or false and leaves them as
    // they were. |data| stays valid until |handle| is passed to freeFrame.
    virtual bool readFrame(PACKETTYPE& type, unsigned char*& data, unsigned int& size,
                           uint64_t& timestamp, uint64_t& duration, void*& handle,
                           bool& keyFrame) = 0;
    virtual void freeFrame(unsigned char* data, void* handle) = 0;
};

// Slots 4 to 14.
class InputPluginInterface : public InputStream {
public:
    virtual bool open(const MediumDescription* medium, Error* error) = 0;
    virtual bool updateMedium(const MediumDescription* medium, Error* error) = 0;
    virtual bool close() = 0;
    virtual bool start() = 0;
    virtual bool stop() = 0;
    virtual bool pause() = 0;
    virtual bool resume() = 0;
    virtual PluginErrorCodes getPosition(uint64_t& position) = 0;
    virtual PluginErrorCodes setPosition(uint64_t position) = 0;
    virtual bool isSingleInstance() = 0;
    virtual void getMediumDescription(MediumDescription* medium) = 0;
};

}  // namespace streamer
}  // namespace vanto

// The one function that the library exports by its C name: a new plug-in object, destroyed by
// the host through the virtual destructor.
extern "C" typedef vanto::streamer::InputPluginInterface* (*InputPluginFactoryFunction)();
