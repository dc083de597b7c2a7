#include "plugin/ZOVOzudo.h"

#include <cstring>
#include <string>

#include "common/CBBLog.h"
#include "common/Log.h"
#include "common/TextConversion.h"
#include "flv/FLVHeader.h"
#include "flv/FLVMetadataPacket.h"
#include "flv/FLVPacket.h"
#include "plugin/SourceFactory.h"
#include "sources/FLVNetworkClient.h"

using vanto::streamer::PACKETTYPE;
using vanto::streamer::PluginErrorCodes;

namespace {

// Tags read while examining a medium; a stream whose first tags do not show every expected
// stream is described from what was found by then.
constexpr int kExaminedTags = 30;

constexpr uint64_t kDefaultFrameDuration = 10;

void destroyPacket(FLVPacket* packet) {
    packet->release();
    delete packet;
}

// Milliseconds per frame at |frameRate|, truncated; 0 when the rate gives no usable duration
// (a hostile file may carry a negative, infinite or absurdly small rate).
uint64_t frameDuration(double frameRate) {
    const double milliseconds = 1000.0 / frameRate;
    if (!(milliseconds >= 0.0) || milliseconds >= 18446744073709551616.0) return 0;
    return static_cast<uint64_t>(milliseconds);
}

const char* videoCodecName(unsigned int codecId) {
    switch (codecId) {
        case 2: return "svq";
        case 4:
        case 5: return "vp6f";
        case 7: return "h264";
        default: return "flv";
    }
}

}  // namespace

ZOVOzudo::ZOVOzudo()
    : hasAudio(false),
      hasVideo(false),
      firstVideoPacket(nullptr),
      firstAudioPacket(nullptr),
      position(0),
      started(false),
      log(new CBBLog(L"ZOVOzudo.log")) {
    SetGlobalLog(log);
}

ZOVOzudo::~ZOVOzudo() {
    close();
    discardQueue();
    log.reset();
}

bool ZOVOzudo::open(const vanto::streamer::MediumDescription* medium,
                    vanto::streamer::Error* error) {
    const char* const location = medium != nullptr ? medium->getLocation() : nullptr;
    const char* const scheme = medium != nullptr ? medium->getProtocol() : nullptr;

    // A host that opens without closing first must not leak the previous source.
    close();
    source = createSource(scheme != nullptr ? scheme : "");
    if (!source->open(utf8ToWide(location), error)) return false;

    if (!getFileInformation()) {
        if (error != nullptr) error->setCode(2);
        return false;
    }
    return true;
}

bool ZOVOzudo::updateMedium(const vanto::streamer::MediumDescription* medium,
                            vanto::streamer::Error* error) {
    stop();
    close();
    return open(medium, error);
}

bool ZOVOzudo::close() {
    if (source) {
        source->close();
        source.reset();
    }
    metadata.reset();
    firstVideoPacket = nullptr;
    firstAudioPacket = nullptr;
    firstAudioSoundSize.reset();
    return true;
}

bool ZOVOzudo::start() {
    started = true;
    return true;
}

bool ZOVOzudo::stop() {
    started = false;
    discardQueue();
    return true;
}

bool ZOVOzudo::pause() { return true; }

bool ZOVOzudo::resume() { return true; }

bool ZOVOzudo::isSingleInstance() { return false; }

void ZOVOzudo::discardQueue() {
    while (!packetQueue.empty()) {
        destroyPacket(packetQueue.front());
        packetQueue.pop_front();
    }
}

bool ZOVOzudo::getFileInformation() {
    bool expectAudio = true;
    bool expectVideo = true;
    if (FLVHeader* const header = source->readHeader()) {
        expectAudio = header->hasAudio;
        expectVideo = header->hasVideo;
        delete header;
    }

    metadata.reset(new FLVMetadataPacket());
    bool foundAudio = false;
    bool foundVideo = false;

    for (int read = 0; read < kExaminedTags; ++read) {
        FLVPacket* const packet = source->readPacket();
        if (packet == nullptr) return false;

        if (packet->tagType == flv::kTagScript) {
            metadata->parse(packet);
            destroyPacket(packet);
            if (metadata->videoDataRate != 0) expectVideo = true;
            if (metadata->audioDataRate != 0) expectAudio = true;
            continue;
        }

        packetQueue.push_back(packet);
        // A tag without payload tells nothing about its stream.
        if (packet->dataSize <= 1) continue;

        if (!foundAudio && packet->tagType == flv::kTagAudio) {
            foundAudio = true;
            firstAudioPacket = packet;
            firstAudioSoundSize = packet->soundSize;
            metadata->fillFromPacket(packet);
        }
        if (!foundVideo && packet->tagType == flv::kTagVideo) {
            foundVideo = true;
            firstVideoPacket = packet;
            metadata->fillFromPacket(packet);
        }
        if ((!expectVideo || foundVideo) && (!expectAudio || foundAudio)) break;
    }

    hasAudio = foundAudio;
    hasVideo = foundVideo;
    return hasAudio || hasVideo;
}

void ZOVOzudo::getStreamDescription(vanto::streamer::OutputStreamDescription* description) {
    if (!metadata || description == nullptr) return;
    description->setFormat("flv");

    if (hasVideo) {
        description->getVideoDescription()->setWidth(metadata->width);
        description->getVideoDescription()->setHeight(metadata->height);
        description->getVideoDescription()->setBitRate(metadata->videoDataRate);
        description->getVideoDescription()->setFrameRate(metadata->frameRate);
        description->getVideoDescription()->setCodec(videoCodecName(metadata->videoCodecId));
    }

    if (hasAudio) {
        description->getAudioDescription()->setSampleRate(metadata->audioSampleRate);
        description->getAudioDescription()->setChannels(metadata->audioChannels);
        description->getAudioDescription()->setBitRate(metadata->audioDataRate);
        switch (metadata->audioCodecId) {
            case 0:
            case 1:
                description->getAudioDescription()->setCodec("raw");
                description->getAudioDescription()->setRawVariant(
                    static_cast<int>(metadata->audioCodecId));
                break;
            case 2: description->getAudioDescription()->setCodec("mp3"); break;
            case 5:
            case 6: description->getAudioDescription()->setCodec("nellymoser"); break;
            default: break;  // the host has no name for the other formats
        }
    }

    if (firstAudioSoundSize) {
        description->getAudioDescription()->setBitsPerSample(*firstAudioSoundSize == 0 ? 8 : 16);
    }
}

void ZOVOzudo::getMediumDescription(vanto::streamer::MediumDescription* medium) {
    if (medium == nullptr) return;
    if (metadata) medium->setDuration(static_cast<uint64_t>(metadata->duration));
    medium->setFirstFlag(0);
    medium->setSecondFlag(1);
}

bool ZOVOzudo::readFrame(PACKETTYPE& type, unsigned char*& data, unsigned int& size,
                         uint64_t& timestamp, uint64_t& duration, void*& handle,
                         bool& keyFrame) {
    if (!started) return false;

    FLVPacket* packet = nullptr;
    if (!packetQueue.empty()) {
        packet = packetQueue.front();
        packetQueue.pop_front();
    } else if (source) {
        packet = source->readPacket();
    }
    if (packet == nullptr) return false;

    type = packet->tagType == flv::kTagAudio ? vanto::streamer::PACKET_AUDIO
                                             : vanto::streamer::PACKET_VIDEO;
    data = packet->data;
    size = packet->dataSize;
    timestamp = static_cast<uint64_t>(packet->timestamp) * 1000;
    handle = packet;
    keyFrame = true;

    if (type == vanto::streamer::PACKET_VIDEO) {
        keyFrame = packet->frameType == 1;
        if (metadata && metadata->frameRate != 0) duration = frameDuration(metadata->frameRate);
    }
    if (duration == 0) duration = kDefaultFrameDuration;

    position = timestamp;
    return true;
}

void ZOVOzudo::freeFrame(unsigned char* /*data*/, void* handle) {
    if (handle != nullptr) destroyPacket(static_cast<FLVPacket*>(handle));
}

PluginErrorCodes ZOVOzudo::getPosition(uint64_t& out) {
    out = position;
    return vanto::streamer::PLUGIN_OK;
}

PluginErrorCodes ZOVOzudo::setPosition(uint64_t /*target*/) {
    return vanto::streamer::PLUGIN_NOT_SUPPORTED;
}
