#include "host/RecordingHost.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <utility>

namespace host {

namespace {

void note(Journal* journal, const std::string& line) {
    if (journal != nullptr) journal->push_back(line);
}

std::string text(const char* value) { return value != nullptr ? value : ""; }

// The shortest text that reads back as the same double, so 29.97 prints as 29.97.
std::string number(double value) {
    if (!std::isfinite(value)) return "null";
    char buffer[64];
    for (int precision = 15; precision <= 17; ++precision) {
        std::snprintf(buffer, sizeof(buffer), "%.*g", precision, value);
        if (std::strtod(buffer, nullptr) == value) break;
    }
    return buffer;
}

std::string quoted(const std::string& value) {
    std::string out = "\"";
    for (unsigned char c : value) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
                    out += escaped;
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    return out + "\"";
}

// Collects "key": value pairs of one JSON object, skipping unset values.
class JsonObject {
public:
    template <class T>
    void add(const char* key, const std::optional<T>& value) {
        if (value) add(key, render(*value));
    }
    void add(const char* key, const std::string& rendered) {
        if (!body_.empty()) body_ += ", ";
        body_ += quoted(key) + ": " + rendered;
    }
    bool empty() const { return body_.empty(); }
    std::string str() const { return "{" + body_ + "}"; }

private:
    static std::string render(const std::string& value) { return quoted(value); }
    static std::string render(double value) { return number(value); }
    template <class T>
    static std::string render(T value) {
        return std::to_string(value);
    }

    std::string body_;
};

}  // namespace

RecordingMedium::RecordingMedium(std::string location, std::string protocol, Journal* journal)
    : location_(std::move(location)), protocol_(std::move(protocol)), journal_(journal) {}

const char* RecordingMedium::getLocation() const { return location_.c_str(); }
const char* RecordingMedium::getProtocol() const { return protocol_.c_str(); }

void RecordingMedium::setDuration(uint64_t milliseconds) {
    duration = milliseconds;
    note(journal_, "medium.setDuration(" + std::to_string(milliseconds) + ")");
}

void RecordingMedium::setFirstFlag(int flag) {
    firstFlag = flag;
    note(journal_, "medium.setFirstFlag(" + std::to_string(flag) + ")");
}

void RecordingMedium::setSecondFlag(int flag) {
    secondFlag = flag;
    note(journal_, "medium.setSecondFlag(" + std::to_string(flag) + ")");
}

void RecordingError::setCode(int value) {
    code = value;
    note(journal_, "error.setCode(" + std::to_string(value) + ")");
}

void RecordingError::setMessage(const char* value) {
    message = text(value);
    note(journal_, "error.setMessage(" + text(value) + ")");
}

void RecordingAudioDescription::setBitRate(unsigned int value) {
    bitRate = value;
    note(journal_, "audio.setBitRate(" + std::to_string(value) + ")");
}

void RecordingAudioDescription::setCodec(const char* value) {
    codec = text(value);
    note(journal_, "audio.setCodec(" + text(value) + ")");
}

void RecordingAudioDescription::setRawVariant(int value) {
    rawVariant = value;
    note(journal_, "audio.setRawVariant(" + std::to_string(value) + ")");
}

void RecordingAudioDescription::setBitsPerSample(int value) {
    bitsPerSample = value;
    note(journal_, "audio.setBitsPerSample(" + std::to_string(value) + ")");
}

void RecordingAudioDescription::setSampleRate(unsigned int value) {
    sampleRate = value;
    note(journal_, "audio.setSampleRate(" + std::to_string(value) + ")");
}

void RecordingAudioDescription::setChannels(unsigned int value) {
    channels = value;
    note(journal_, "audio.setChannels(" + std::to_string(value) + ")");
}

bool RecordingAudioDescription::anySet() const {
    return bitRate || codec || rawVariant || bitsPerSample || sampleRate || channels;
}

void RecordingVideoDescription::setBitRate(unsigned int value) {
    bitRate = value;
    note(journal_, "video.setBitRate(" + std::to_string(value) + ")");
}

void RecordingVideoDescription::setCodec(const char* value) {
    codec = text(value);
    note(journal_, "video.setCodec(" + text(value) + ")");
}

void RecordingVideoDescription::setWidth(unsigned int value) {
    width = value;
    note(journal_, "video.setWidth(" + std::to_string(value) + ")");
}

void RecordingVideoDescription::setHeight(unsigned int value) {
    height = value;
    note(journal_, "video.setHeight(" + std::to_string(value) + ")");
}

void RecordingVideoDescription::setFrameRate(double value) {
    frameRate = value;
    note(journal_, "video.setFrameRate(" + number(value) + ")");
}

bool RecordingVideoDescription::anySet() const {
    return bitRate || codec || width || height || frameRate;
}

void RecordingStreamDescription::setFormat(const char* container) {
    format = text(container);
    note(journal_, "stream.setFormat(" + text(container) + ")");
}

vanto::streamer::AudioDescription* RecordingStreamDescription::getAudioDescription() {
    return &audio;
}

vanto::streamer::VideoDescription* RecordingStreamDescription::getVideoDescription() {
    return &video;
}

std::string describeAsJson(const RecordingMedium& medium,
                           const RecordingStreamDescription& stream) {
    JsonObject root;
    root.add("format", stream.format);
    root.add("duration_ms", medium.duration);
    root.add("first_flag", medium.firstFlag);
    root.add("second_flag", medium.secondFlag);

    JsonObject video;
    video.add("codec", stream.video.codec);
    video.add("width", stream.video.width);
    video.add("height", stream.video.height);
    video.add("frame_rate", stream.video.frameRate);
    video.add("bit_rate", stream.video.bitRate);
    if (!video.empty()) root.add("video", video.str());

    JsonObject audio;
    audio.add("codec", stream.audio.codec);
    audio.add("raw_variant", stream.audio.rawVariant);
    audio.add("sample_rate", stream.audio.sampleRate);
    audio.add("channels", stream.audio.channels);
    audio.add("bits_per_sample", stream.audio.bitsPerSample);
    audio.add("bit_rate", stream.audio.bitRate);
    if (!audio.empty()) root.add("audio", audio.str());

    return root.str();
}

}  // namespace host
