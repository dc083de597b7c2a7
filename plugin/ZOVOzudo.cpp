#include "plugin/ZOVOzudo.h"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

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

// The examination of a medium reads tags until every stream it expects has shown its first
// tag, but no further than 1,000 tags (script tags included), 10 s of stream time after the
// first tag or 32 MiB of tag data, whichever comes first. A player that joins a live stream
// between two key frames gets several seconds of audio before the first video tag, so a small
// count of tags is not enough. The stream time also bounds the wait on a live source: tags come
// in real time, and each read is bounded by the source's own time-out. The data bound keeps
// the memory of the queued tags, and the time spent on huge script tags, small.
constexpr int kMaxExaminedTags = 1000;
constexpr uint32_t kMaxExaminedStreamTime = 10000;  // milliseconds
constexpr uint64_t kMaxExaminedBytes = 32 << 20;

// Without a frame rate from the metadata or the codec configuration, the rate is taken from
// the timestamps of this many video frames (the examination reads on for them within its
// bounds): millisecond timestamps of single frames are too coarse.
constexpr size_t kRateFrames = 10;

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

namespace {

// Frames per second from the timestamps of consecutive video frames; 0 when they give none.
double rateFromTimestamps(const std::vector<uint32_t>& timestamps) {
    if (timestamps.size() < 2 || timestamps.back() <= timestamps.front()) return 0;
    return 1000.0 * static_cast<double>(timestamps.size() - 1) /
           static_cast<double>(timestamps.back() - timestamps.front());
}

}  // namespace

bool ZOVOzudo::getFileInformation() {
    // The flags say which streams are expected until the examination says which were found;
    // set first, so that a failed examination never leaves those of an earlier medium.
    hasAudio = true;
    hasVideo = true;
    if (FLVHeader* const header = source->readHeader()) {
        hasAudio = header->hasAudio;
        hasVideo = header->hasVideo;
        delete header;
    }

    metadata.reset(new FLVMetadataPacket());
    bool foundAudio = false;
    bool foundVideo = false;
    std::optional<uint32_t> firstTimestamp;
    std::vector<uint32_t> frameTimestamps;
    uint64_t examinedBytes = 0;

    for (int read = 0; read < kMaxExaminedTags; ++read) {
        FLVPacket* const packet = source->readPacket();
        if (packet == nullptr) {
            // A medium that ends while only the frame rate is still sought is complete.
            if ((hasVideo && !foundVideo) || (hasAudio && !foundAudio)) return false;
            break;
        }
        // Stream time counts from the first frame: servers send the metadata and the codec
        // configurations of a running stream to a new player with timestamps of their own.
        const bool isFrame = packet->tagType != flv::kTagScript && packet->dataSize > 1 &&
                             !FLVMetadataPacket::isCodecConfiguration(packet);
        if (!firstTimestamp && isFrame) firstTimestamp = packet->timestamp;
        examinedBytes += packet->dataSize;
        const bool timeUp = (firstTimestamp && packet->timestamp >= *firstTimestamp &&
                             packet->timestamp - *firstTimestamp >= kMaxExaminedStreamTime) ||
                            examinedBytes >= kMaxExaminedBytes;

        if (packet->tagType == flv::kTagScript) {
            metadata->parse(packet);
            destroyPacket(packet);
            // Metadata that promises a stream keeps the examination going until it shows.
            if (metadata->videoDataRate != 0 || metadata->videoCodecId != 0) hasVideo = true;
            if (metadata->audioDataRate != 0 || metadata->audioCodecId != 0) hasAudio = true;
            if (timeUp) break;
            continue;
        }

        packetQueue.push_back(packet);
        // A tag without payload tells nothing about its stream.
        if (packet->dataSize > 1) {
            metadata->fillFromCodecConfiguration(packet);
            if (!foundAudio && packet->tagType == flv::kTagAudio) {
                foundAudio = true;
                firstAudioPacket = packet;
                firstAudioSoundSize = packet->soundSize;
            }
            if (packet->tagType == flv::kTagVideo) {
                if (!foundVideo) firstVideoPacket = packet;
                foundVideo = true;
                if (isFrame && frameTimestamps.size() < kRateFrames) {
                    frameTimestamps.push_back(packet->timestamp);
                }
            }
        }
        const bool rateKnown =
            !foundVideo || metadata->frameRate != 0 || frameTimestamps.size() >= kRateFrames;
        if ((!hasVideo || foundVideo) && (!hasAudio || foundAudio) && rateKnown) break;
        if (timeUp) break;
    }

    // The first tags complete the description last, so that neither the metadata nor a codec
    // configuration that came after them is overridden by their header bytes.
    if (foundAudio) metadata->fillFromPacket(firstAudioPacket);
    if (foundVideo) metadata->fillFromPacket(firstVideoPacket);
    if (metadata->frameRate == 0) metadata->frameRate = rateFromTimestamps(frameTimestamps);

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
