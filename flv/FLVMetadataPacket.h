// What the plug-in knows about a medium: duration, picture size, frame rate, codecs, rates,
// channels and the key-frame index. Filled from the onMetaData script-data tag (AMF0, read by
// a small walker of its own that understands only the forms that tag uses) and completed from
// the first audio and video tags and the codec configuration they carry.
//
// A damaged or unusual script tag never fails the medium: the walk stops where the data stops
// making sense, whatever was read before stays, and nothing outside the tag's data is read.
// Not thread-safe; one owner at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class FLVPacket;

class FLVMetadataPacket {
public:
    FLVMetadataPacket();
    ~FLVMetadataPacket();

    FLVMetadataPacket(const FLVMetadataPacket&) = delete;
    FLVMetadataPacket& operator=(const FLVMetadataPacket&) = delete;

    // Walks the payload of the script-data tag |packet| (borrowed for the call) and fills the
    // fields. The payload is one or more names ("onMetaData", or "@setDataFrame" and
    // "onMetaData") and then an ECMA array or an object, both read by the same rules. False when
    // the walk of the array or object failed, which includes reaching the end marker of a
    // well-formed one; true otherwise. Callers may ignore the result: the fields hold what
    // was read either way.
    bool parse(const FLVPacket* packet);

    // Walks the ECMA array entries that begin |position| bytes into |data| and never looks at
    // or past data + dataSize. Returns the bytes walked when the walk ran to the end of the
    // data, or a negative value when it ended on an entry it does not go past (an end marker,
    // an object, an unhandled type).
    int64_t parseArray(const uint8_t* data, uint32_t dataSize, uint32_t position);

    // Stores |value| in the field that |key| names (letter case of A-Z ignored) and logs it at
    // DEBUG; an unknown key is logged at WARN, an empty key ignored.
    void parseKeyNumber(const std::string& key, double value);

    // Reads the key-frame arrays from the |size| bytes of an object value at |object|, when
    // |key| is a leading part of "keyframes". Reads nothing at or past object + size.
    void parseKeyframes(const std::string& key, const uint8_t* object, size_t size);

    // Completes the fields that are still 0 from the first audio or the first video tag: its
    // codec configuration (see fillFromCodecConfiguration), then its header byte. The audio
    // codec is the sound format as written in the tag.
    void fillFromPacket(const FLVPacket* packet);

    // Completes width, height and frame rate from an H.264 sequence header tag, sample rate and
    // channels from an AAC sequence header tag; fields already set are kept, other tags and
    // damaged configurations change nothing.
    void fillFromCodecConfiguration(const FLVPacket* packet);

    // True for an H.264 or AAC sequence header tag: a codec configuration, not a frame.
    static bool isCodecConfiguration(const FLVPacket* packet);

    uint32_t duration;  // milliseconds
    uint32_t width;
    uint32_t height;
    uint32_t videoDataRate;  // bits per second
    uint32_t videoCodecId;
    double frameRate;
    uint32_t audioDataRate;  // bits per second
    uint32_t audioCodecId;
    uint32_t audioSampleRate;  // hertz
    uint32_t audioChannels;
    uint32_t audioDelay;
    bool canSeekToEnd;

    // Element count of the last key-frame property read. Counts as written on the wire, except
    // that a negative count reads as 0 and a count larger than the tag can hold is cut to the
    // elements actually present.
    int32_t keyframeCount;
    // Key-frame times in seconds and byte positions, as written; null until read. Each holds
    // the number of elements given by its own length field below, which may differ from
    // keyframeCount when the two properties disagree.
    std::unique_ptr<double[]> keyframeTimes;
    std::unique_ptr<double[]> keyframeFilePositions;
    uint32_t keyframeTimesLength;
    uint32_t keyframeFilePositionsLength;
};
