#include "host/RecordingHost.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace host {

namespace {

void note(Journal* journal, const std::string& line) {
    if (journal != nullptr) journal->push_back(line);
}

std::string text(const char* value) {
    return value != nullptr ? value : "";
}

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

using Json = nlohmann::ordered_json;

// Whole numbers as integers, so that a frame rate of 30 reads 30 as it always has, not 30.0.
Json jsonNumber(double value) {
    if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 9007199254740992.0)
        return static_cast<int64_t>(value);
    return value;  // NaN and infinities are written as null
}

template <class T>
void add(Json& object, const char* key, const std::optional<T>& value) {
    if (value) object[key] = *value;
}

void add(Json& object, const char* key, const std::optional<double>& value) {
    if (value) object[key] = jsonNumber(*value);
}

std::string dump(const Json& value) {
    // Bytes that are not UTF-8 (a codec name is the plug-in's to choose) must not throw.
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// One line with ", " and ": " between the parts, as the output has always been written;
// nlohmann's dump writes either no spaces at all or one line per value.
std::string render(const Json& value) {
    if (!value.is_object()) return dump(value);
    std::string out = "{";
    for (const auto& item : value.items()) {
        if (out.size() > 1) out += ", ";
        out += dump(Json(item.key())) + ": " + render(item.value());
    }
    return out + "}";
}

}  // namespace

RecordingMedium::RecordingMedium(std::string location, std::string protocol, Journal* journal)
    : location_(std::move(location)), protocol_(std::move(protocol)), journal_(journal) {}

const char* RecordingMedium::getLocation() const {
    return location_.c_str();
}
const char* RecordingMedium::getProtocol() const {
    return protocol_.c_str();
}

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
    Json root = Json::object();
    add(root, "format", stream.format);
    add(root, "duration_ms", medium.duration);
    add(root, "first_flag", medium.firstFlag);
    add(root, "second_flag", medium.secondFlag);

    Json video = Json::object();
    add(video, "codec", stream.video.codec);
    add(video, "width", stream.video.width);
    add(video, "height", stream.video.height);
    add(video, "frame_rate", stream.video.frameRate);
    add(video, "bit_rate", stream.video.bitRate);
    if (!video.empty()) root["video"] = video;

    Json audio = Json::object();
    add(audio, "codec", stream.audio.codec);
    add(audio, "raw_variant", stream.audio.rawVariant);
    add(audio, "sample_rate", stream.audio.sampleRate);
    add(audio, "channels", stream.audio.channels);
    add(audio, "bits_per_sample", stream.audio.bitsPerSample);
    add(audio, "bit_rate", stream.audio.bitRate);
    if (!audio.empty()) root["audio"] = audio;

    return render(root);
}

}  // namespace host
