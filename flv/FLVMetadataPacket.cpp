#include "flv/FLVMetadataPacket.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>

#include <boost/format.hpp>

#include "common/Log.h"
#include "common/TextConversion.h"
#include "flv/CodecConfiguration.h"
#include "flv/FLVFormat.h"
#include "flv/FLVPacket.h"

using namespace std::string_view_literals;

namespace {

// AMF0 type markers that the onMetaData walker meets.
constexpr uint8_t kAmfNumber = 0;
constexpr uint8_t kAmfBoolean = 1;
constexpr uint8_t kAmfString = 2;
constexpr uint8_t kAmfObject = 3;
constexpr uint8_t kAmfNull = 5;
constexpr uint8_t kAmfUndefined = 6;
constexpr uint8_t kAmfEcmaArray = 8;
constexpr uint8_t kAmfStrictArray = 10;
constexpr uint8_t kAmfDate = 11;

constexpr size_t kNumberSize = 8;
constexpr size_t kDateSize = 10;         // a double and a 16-bit time zone
constexpr size_t kKeyframeElementSize = 9;  // an unexamined type byte and a double

// A read-only view of untrusted bytes that cannot move past its end. Every read either
// succeeds whole or leaves the cursor where it was.
class Reader {
public:
    Reader(const uint8_t* begin, size_t size) : pos_(begin), end_(begin + size) {}

    size_t remaining() const { return static_cast<size_t>(end_ - pos_); }
    const uint8_t* here() const { return pos_; }

    bool skip(size_t n) {
        if (n > remaining()) return false;
        pos_ += n;
        return true;
    }
    bool take(size_t n, const uint8_t** out) {
        if (n > remaining()) return false;
        *out = pos_;
        pos_ += n;
        return true;
    }
    bool readU8(uint8_t* out) {
        if (remaining() < 1) return false;
        *out = *pos_++;
        return true;
    }
    bool readU16(uint16_t* out) {
        if (remaining() < 2) return false;
        *out = static_cast<uint16_t>((pos_[0] << 8) | pos_[1]);
        pos_ += 2;
        return true;
    }
    bool readU32(uint32_t* out) {
        if (remaining() < 4) return false;
        *out = flv::readBE32(pos_);
        pos_ += 4;
        return true;
    }
    bool readDouble(double* out) {
        if (remaining() < kNumberSize) return false;
        const uint64_t bits = (uint64_t(flv::readBE32(pos_)) << 32) | flv::readBE32(pos_ + 4);
        std::memcpy(out, &bits, sizeof(*out));
        pos_ += kNumberSize;
        return true;
    }

private:
    const uint8_t* pos_;
    const uint8_t* const end_;
};

// Keys are 8-bit text: a NUL byte ends them, as it ends any C string they were written from.
std::string keyText(const uint8_t* bytes, size_t length) {
    const void* const nul = std::memchr(bytes, 0, length);
    if (nul != nullptr) length = static_cast<size_t>(static_cast<const uint8_t*>(nul) - bytes);
    return std::string(reinterpret_cast<const char*>(bytes), length);
}

// Only A-Z fold, as in the classic locale, so that the comparison does not depend on the
// process's locale or on how bytes above 0x7F would be read.
std::string foldCase(const std::string& text) {
    std::string folded(text);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return folded;
}

// Writers have long been matched by comparing only over the key's own length, so a key that
// is a leading part of the word (the empty key included) still names it.
bool isLeadingPartOf(const std::string& key, const char* word) {
    const size_t wordLength = std::strlen(word);
    return key.size() <= wordLength && std::memcmp(key.data(), word, key.size()) == 0;
}

// Toward zero, saturating: a value the field cannot hold must not be undefined behaviour.
// NaN and anything at or below -1 give 0.
uint32_t truncateToU32(double value) {
    if (!(value > -1.0)) return 0;
    if (value >= 4294967296.0) return UINT32_MAX;
    return static_cast<uint32_t>(value);
}

enum class WalkEnd { kDataEnd, kFailure };

// Steps over the elements of a strict array standing in the onMetaData array. A writer may put
// one there (a list of cue points, say); only elements with a fixed or self-described size are
// understood. True when all |count| elements were stepped over; otherwise |end| tells whether
// the data ended or an element could not be stepped over.
bool skipStrictArrayElements(Reader& reader, uint32_t count, WalkEnd* end) {
    // Each element takes at least one byte, so a huge count ends with the data.
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t type = 0;
        uint16_t length = 0;
        bool complete = false;
        if (!reader.readU8(&type)) {
            complete = false;
        } else {
            switch (type) {
                case kAmfNumber:
                    complete = reader.skip(kNumberSize);
                    break;
                case kAmfBoolean:
                    complete = reader.skip(1);
                    break;
                case kAmfString:
                    complete = reader.readU16(&length) && reader.skip(length);
                    break;
                case kAmfNull:
                case kAmfUndefined:
                    complete = true;
                    break;
                case kAmfDate:
                    complete = reader.skip(kDateSize);
                    break;
                default:
                    // Nested containers are not walked: their end cannot be found safely
                    // without a full AMF0 decoder, so the walk stops here.
                    *end = WalkEnd::kFailure;
                    return false;
            }
        }
        if (!complete) {
            *end = WalkEnd::kDataEnd;
            return false;
        }
    }
    return true;
}

}  // namespace

FLVMetadataPacket::FLVMetadataPacket()
    : duration(0),
      width(0),
      height(0),
      videoDataRate(0),
      videoCodecId(0),
      frameRate(0),
      audioDataRate(0),
      audioCodecId(0),
      audioSampleRate(0),
      audioChannels(0),
      audioDelay(0),
      canSeekToEnd(false),
      keyframeCount(0),
      keyframeTimesLength(0),
      keyframeFilePositionsLength(0) {}

FLVMetadataPacket::~FLVMetadataPacket() = default;

bool FLVMetadataPacket::parse(const FLVPacket* packet) {
    if (packet == nullptr || packet->data == nullptr) return true;
    const uint8_t* const data = packet->data;
    const uint32_t size = packet->dataSize;

    size_t pos = 0;
    while (pos < size) {
        switch (data[pos]) {
            case kAmfString: {
                // The names in front of the array: "onMetaData", or "@setDataFrame" and then
                // "onMetaData" as a publisher sends it; a cut-off one ends the loop.
                if (size - pos < 3) return true;
                pos += 3 + ((size_t(data[pos + 1]) << 8) | data[pos + 2]);
                break;
            }
            case kAmfEcmaArray:
            case kAmfObject: {
                // Files carry an ECMA array; live servers that rebuild the metadata (nginx) send
                // an object, whose entries have the same form without the count. The array's
                // count is only a hint that writers get wrong; the entries are walked until
                // something ends them.
                const size_t prefix = data[pos] == kAmfEcmaArray ? 5 : 1;
                if (size - pos < prefix) return true;
                pos += prefix;
                const int64_t walked = parseArray(data, size, static_cast<uint32_t>(pos));
                if (walked < 0) return false;
                pos += static_cast<size_t>(walked);
                break;
            }
            default:
                return true;
        }
    }
    return true;
}

int64_t FLVMetadataPacket::parseArray(const uint8_t* data, uint32_t dataSize, uint32_t position) {
    if (data == nullptr || position >= dataSize) return 0;
    const size_t available = dataSize - position;
    Reader reader(data + position, available);
    // An entry cut short by the end of the tag is not read: the walk ends there as it would at
    // the very end of the data.
    const int64_t kRanToEnd = static_cast<int64_t>(available);
    constexpr int64_t kFailed = -1;

    while (reader.remaining() > 0) {
        uint16_t keyLength = 0;
        const uint8_t* keyBytes = nullptr;
        uint8_t type = 0;
        if (!reader.readU16(&keyLength) || !reader.take(keyLength, &keyBytes) ||
            !reader.readU8(&type)) {
            return kRanToEnd;
        }
        const std::string key = keyText(keyBytes, keyLength);

        switch (type) {
            case kAmfNumber: {
                double value = 0;
                if (!reader.readDouble(&value)) return kRanToEnd;
                parseKeyNumber(key, value);
                break;
            }
            case kAmfBoolean:
                // "canSeekToEnd" is usually written this way; only the numeric form counts.
                if (!reader.skip(1)) return kRanToEnd;
                break;
            case kAmfString: {
                uint16_t length = 0;
                if (!reader.readU16(&length) || !reader.skip(length)) return kRanToEnd;
                break;
            }
            case kAmfObject:
                // Objects are not walked: the only one of interest is the key-frame index, and
                // the walk stops at its end marker right behind the two arrays.
                parseKeyframes(key, reader.here(), reader.remaining());
                return kFailed;
            case kAmfStrictArray: {
                uint32_t count = 0;
                if (!reader.readU32(&count)) return kRanToEnd;
                // Elements are stepped over rather than read as the next key, so that keys
                // written after a list still count.
                WalkEnd end = WalkEnd::kDataEnd;
                if (!skipStrictArrayElements(reader, count, &end)) {
                    return end == WalkEnd::kFailure ? kFailed : kRanToEnd;
                }
                break;
            }
            case kAmfDate:
                // A date before 1970 (negative double) has always ended the walk; kept so that
                // the same files describe themselves the same way.
                if (reader.remaining() >= 1 && (reader.here()[0] & 0x80) != 0) return kFailed;
                if (!reader.skip(kDateSize)) return kRanToEnd;
                break;
            default:
                // Includes the array's end marker (empty key, type 9).
                return kFailed;
        }
    }
    return kRanToEnd;
}

void FLVMetadataPacket::parseKeyNumber(const std::string& key, double value) {
    if (key.empty()) return;
    // A tag may hold a million keys: a line below the level must not cost its formatting.
    if (LogEnabled(LOG_LEVEL_DEBUG)) {
        LogDebug(boost::wformat(L"FLVMetadataPacket::parseKeyNumber : parsing %s %d") %
                 utf8ToWide(key) % value);
    }

    const std::string folded = foldCase(key);
    // Compared as views, which look at the lengths first: a tag of a million unknown keys must
    // not cost a million text comparisons per known key.
    const std::string_view name(folded);
    if (name == "totalduration"sv || name == "duration"sv) {
        duration = truncateToU32(value * 1000);
    } else if (name == "lasttimestamp"sv) {
        // Only a fallback for writers that give no duration.
        if (duration == 0) duration = truncateToU32(value * 1000);
    } else if (name == "width"sv) {
        width = truncateToU32(value);
    } else if (name == "height"sv) {
        height = truncateToU32(value);
    } else if (name == "videodatarate"sv) {
        videoDataRate = truncateToU32(value * 1000);
    } else if (name == "videocodecid"sv) {
        videoCodecId = truncateToU32(value);
    } else if (name == "videoframerate"sv || name == "framerate"sv) {
        frameRate = value;
    } else if (name == "audiodatarate"sv) {
        audioDataRate = truncateToU32(value * 1000);
    } else if (name == "audiocodecid"sv) {
        audioCodecId = truncateToU32(value);
    } else if (name == "audiosamplerate"sv || name == "samplerate"sv) {
        audioSampleRate = truncateToU32(value);
    } else if (name == "audiochannels"sv || name == "channels"sv) {
        audioChannels = truncateToU32(value);
    } else if (name == "audiodelay"sv) {
        audioDelay = truncateToU32(value);
    } else if (name == "canseektoend"sv) {
        canSeekToEnd = value != 0;
    } else if (LogEnabled(LOG_LEVEL_WARN)) {
        LogWarn(boost::wformat(L"FLVMetadataPacket::parseKeyNumber : value not considered %s %d") %
                utf8ToWide(key) % value);
    }
}

void FLVMetadataPacket::parseKeyframes(const std::string& key, const uint8_t* object,
                                       size_t size) {
    if (object == nullptr || !isLeadingPartOf(key, "keyframes")) return;
    Reader reader(object, size);

    // Exactly two properties, in whichever order the writer chose.
    for (int property = 0; property < 2; ++property) {
        uint16_t nameLength = 0;
        const uint8_t* nameBytes = nullptr;
        uint32_t rawCount = 0;
        // Only the low byte of the name's length has ever been used.
        if (!reader.readU16(&nameLength) || !reader.take(nameLength & 0xFF, &nameBytes) ||
            !reader.skip(1) || !reader.readU32(&rawCount)) {
            return;
        }
        const std::string name = keyText(nameBytes, nameLength & 0xFF);
        const int32_t count = static_cast<int32_t>(rawCount);
        // The count comes from the wire: never allocate or read more than the data holds.
        const size_t wanted = count > 0 ? static_cast<size_t>(count) : 0;
        const size_t present = std::min(wanted, reader.remaining() / kKeyframeElementSize);

        std::unique_ptr<double[]>* target = nullptr;
        uint32_t* targetLength = nullptr;
        if (isLeadingPartOf(name, "times")) {
            target = &keyframeTimes;
            targetLength = &keyframeTimesLength;
        } else if (isLeadingPartOf(name, "filepositions")) {
            target = &keyframeFilePositions;
            targetLength = &keyframeFilePositionsLength;
        }

        if (target != nullptr) {
            target->reset();
            *targetLength = 0;
            if (present > 0) {
                std::unique_ptr<double[]> values(new (std::nothrow) double[present]);
                if (!values) return;
                for (size_t i = 0; i < present; ++i) {
                    reader.skip(1);
                    reader.readDouble(&values[i]);
                }
                *target = std::move(values);
                *targetLength = static_cast<uint32_t>(present);
            }
        } else {
            reader.skip(present * kKeyframeElementSize);
        }
        keyframeCount = static_cast<int32_t>(present);
        if (present < wanted) return;  // the data ended inside this property
    }
}

namespace {

// The audio or video header byte as written, before the reader mapped its codec; -1 when the
// tag had none.
int writtenHeaderByte(const FLVPacket* packet) {
    if (packet->data == nullptr || packet->headerLength == 0) return -1;
    return *(packet->data - packet->headerLength);
}

constexpr uint32_t kSoundFormatAac = 10;
constexpr uint32_t kCodecAvc = 7;
constexpr uint8_t kSequenceHeader = 0;  // AAC / AVC packet type of a configuration
constexpr size_t kAvcPrefixSize = 4;    // AVC packet type and composition time

}  // namespace

bool FLVMetadataPacket::isCodecConfiguration(const FLVPacket* packet) {
    if (packet == nullptr || packet->data == nullptr || packet->dataSize < 1 ||
        packet->data[0] != kSequenceHeader) {
        return false;
    }
    return (packet->tagType == flv::kTagAudio &&
            writtenHeaderByte(packet) >> 4 == kSoundFormatAac) ||
           (packet->tagType == flv::kTagVideo && packet->codecId == kCodecAvc);
}

void FLVMetadataPacket::fillFromCodecConfiguration(const FLVPacket* packet) {
    if (!isCodecConfiguration(packet)) return;
    if (packet->tagType == flv::kTagAudio) {
        flv::AudioConfiguration audio;
        if (!flv::readAudioSpecificConfig(packet->data + 1, packet->dataSize - 1, &audio)) {
            return;
        }
        if (audioSampleRate == 0) audioSampleRate = audio.sampleRate;
        if (audioChannels == 0) audioChannels = audio.channels;
    } else if (packet->tagType == flv::kTagVideo) {
        flv::VideoConfiguration video;
        if (packet->dataSize < kAvcPrefixSize ||
            !flv::readAvcConfiguration(packet->data + kAvcPrefixSize,
                                       packet->dataSize - kAvcPrefixSize, &video)) {
            return;
        }
        if (width == 0) width = video.width;
        if (height == 0) height = video.height;
        if (frameRate == 0) frameRate = video.frameRate;
    }
}

void FLVMetadataPacket::fillFromPacket(const FLVPacket* packet) {
    if (packet == nullptr) return;
    fillFromCodecConfiguration(packet);
    if (packet->tagType == flv::kTagAudio) {
        // 5500 rather than 5512: the rate the host has always been told for index 0.
        static const uint32_t kSampleRates[] = {5500, 11025, 22050, 44100};
        if (audioSampleRate == 0 && packet->soundRate < 4) {
            audioSampleRate = kSampleRates[packet->soundRate];
        }
        // The format as written, not as mapped for frames: AAC (10) must stay AAC, which the
        // host is not told a name for, rather than become the "mp3" of the mapping.
        const int written = writtenHeaderByte(packet);
        if (audioCodecId == 0 && written >= 0) audioCodecId = static_cast<uint32_t>(written >> 4);
        if (audioChannels == 0) audioChannels = packet->soundType == 1 ? 2 : 1;
    } else if (packet->tagType == flv::kTagVideo) {
        if (videoCodecId == 0) videoCodecId = packet->codecId;
    }
}
