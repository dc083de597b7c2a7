// Parses the input as the payload of an onMetaData script tag, then completes the record from
// audio and video tags whose header byte is the input's first byte, and from H.264 and AAC
// sequence-header tags that carry the input as their codec configuration; the SPS and
// AudioSpecificConfig readers also read the input on their own. The key-frame arrays are read
// over their whole stated length so that a length beyond the allocation shows up.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "flv/CodecConfiguration.h"
#include "flv/FLVFormat.h"
#include "flv/FLVMetadataPacket.h"
#include "flv/FLVPacket.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

double sum(const double* values, uint32_t length) {
    double total = 0;
    for (uint32_t i = 0; i < length; ++i) total += values[i];
    return total;
}

void checkKeyframes(const FLVMetadataPacket& metadata, size_t size) {
    check(metadata.keyframeCount >= 0);
    check(static_cast<size_t>(metadata.keyframeCount) <= size / 9);
    check(metadata.keyframeTimesLength <= size / 9);
    check(metadata.keyframeFilePositionsLength <= size / 9);
    check((metadata.keyframeTimes == nullptr) == (metadata.keyframeTimesLength == 0));
    check((metadata.keyframeFilePositions == nullptr) ==
          (metadata.keyframeFilePositionsLength == 0));
    volatile double sink = sum(metadata.keyframeTimes.get(), metadata.keyframeTimesLength) +
                           sum(metadata.keyframeFilePositions.get(),
                               metadata.keyframeFilePositionsLength);
    (void)sink;
}

void fillFrom(FLVMetadataPacket& metadata, uint32_t tagType, const uint8_t* data, size_t size) {
    FLVPacket packet;
    packet.tagType = tagType;
    packet.dataSize = size > 2 ? 2 : static_cast<uint32_t>(size);
    uint8_t* const buffer = new uint8_t[packet.dataSize];
    if (packet.dataSize > 0) std::memcpy(buffer, data, packet.dataSize);
    packet.setData(buffer);
    metadata.fillFromPacket(&packet);
    packet.release();
}

// A sequence-header tag: |header| (the tag's header bytes and packet type), then the input.
void fillFromConfiguration(FLVMetadataPacket& metadata, uint32_t tagType, const std::string& header,
                           const uint8_t* data, size_t size) {
    FLVPacket packet;
    packet.tagType = tagType;
    packet.dataSize = static_cast<uint32_t>(header.size() + size);
    uint8_t* const buffer = new uint8_t[packet.dataSize];
    std::memcpy(buffer, header.data(), header.size());
    if (size > 0) std::memcpy(buffer + header.size(), data, size);
    packet.setData(buffer);
    metadata.fillFromCodecConfiguration(&packet);
    packet.release();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0xFFFFFF) return 0;  // a tag's data size has 24 bits

    FLVPacket script;
    script.tagType = flv::kTagScript;
    script.dataSize = static_cast<uint32_t>(size);
    // Exactly |size| bytes, so that any read past the tag's data leaves the allocation.
    uint8_t* const buffer = new uint8_t[size];
    if (size > 0) std::memcpy(buffer, data, size);
    script.setData(buffer);

    FLVMetadataPacket metadata;
    metadata.parse(&script);
    checkKeyframes(metadata, size);

    // The walkers on their own, from the first byte, as if it began an entry or an object.
    FLVMetadataPacket direct;
    const int64_t walked = direct.parseArray(script.data, script.dataSize, 0);
    check(walked < 0 || static_cast<size_t>(walked) <= size);
    direct.parseKeyframes("keyframes", script.data, size);
    checkKeyframes(direct, size);

    fillFrom(metadata, flv::kTagAudio, data, size);
    fillFrom(metadata, flv::kTagVideo, data, size);
    // Whatever the metadata said, the audio tag leaves no hole that it could fill.
    check(metadata.audioChannels != 0 && metadata.audioSampleRate != 0);

    FLVMetadataPacket configured;
    fillFromConfiguration(configured, flv::kTagVideo, std::string("\x17\0\0\0\0", 5), data, size);
    fillFromConfiguration(configured, flv::kTagAudio, std::string("\xAF\0", 2), data, size);
    flv::VideoConfiguration video;
    if (flv::readAvcConfiguration(script.data, size, &video)) {
        check(video.width > 0 && video.width <= 65536 && video.height > 0 &&
              video.height <= 2 * 65536);
    }
    flv::AudioConfiguration audio;
    if (flv::readAudioSpecificConfig(script.data, size, &audio)) check(audio.sampleRate > 0);

    script.release();
    return 0;
}
