// The plug-in object that the host drives: it chooses and owns the byte source of a medium,
// examines the medium's start to describe it, and hands its FLV tags out as frames.
//
// Threads: the host calls one operation at a time on an object, from any of its threads; the
// object takes no locks. A source read may block (network sources wait for data).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>

#include <boost/shared_ptr.hpp>

#include "plugin/HostInterface.h"

#define ZOVOZUDO_EXPORT __attribute__((visibility("default")))

class CBBLog;
class FLVMetadataPacket;
class FLVNetworkClient;
class FLVPacket;

class ZOVOZUDO_EXPORT ZOVOzudo : public vanto::streamer::InputPluginInterface {
public:
    // Creates the plug-in's log "ZOVOzudo.log" and makes it the process-wide log.
    ZOVOzudo();
    // Closes the source, releases the queued tags and drops the log.
    ~ZOVOzudo() override;

    ZOVOzudo(const ZOVOzudo&) = delete;
    ZOVOzudo& operator=(const ZOVOzudo&) = delete;

    void getStreamDescription(vanto::streamer::OutputStreamDescription* description) override;
    bool readFrame(vanto::streamer::PACKETTYPE& type, unsigned char*& data, unsigned int& size,
                   uint64_t& timestamp, uint64_t& duration, void*& handle,
                   bool& keyFrame) override;
    void freeFrame(unsigned char* data, void* handle) override;

    // True when the medium is open and examined. On failure |error| holds the source's code and
    // message, or code 2 when the medium has no usable audio or video.
    bool open(const vanto::streamer::MediumDescription* medium,
              vanto::streamer::Error* error) override;
    bool updateMedium(const vanto::streamer::MediumDescription* medium,
                      vanto::streamer::Error* error) override;
    bool close() override;
    bool start() override;
    bool stop() override;
    bool pause() override;
    bool resume() override;
    // The timestamp of the last frame handed out, in microseconds.
    vanto::streamer::PluginErrorCodes getPosition(uint64_t& out) override;
    // Seeking is not offered: always PLUGIN_NOT_SUPPORTED, and reading goes on unchanged.
    vanto::streamer::PluginErrorCodes setPosition(uint64_t target) override;
    bool isSingleInstance() override;
    void getMediumDescription(vanto::streamer::MediumDescription* medium) override;

private:
    // Reads the header and the first tags (within the bounds in ZOVOzudo.cpp) and describes the
    // medium from them; true when an audio or a video tag was found.
    bool getFileInformation();
    void discardQueue();

    std::unique_ptr<FLVNetworkClient> source;
    bool hasAudio;
    bool hasVideo;
    FLVPacket* firstVideoPacket;  // lives in packetQueue
    FLVPacket* firstAudioPacket;  // lives in packetQueue
    std::optional<unsigned int> firstAudioSoundSize;
    std::unique_ptr<FLVMetadataPacket> metadata;
    std::deque<FLVPacket*> packetQueue;  // owned tags, oldest first
    uint64_t position;
    bool started;
    boost::shared_ptr<CBBLog> log;
};
