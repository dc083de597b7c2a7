#include "tools/ProbeReport.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace cli {

namespace {

std::string seconds(uint64_t milliseconds) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.3f s", static_cast<double>(milliseconds) / 1000);
    return text;
}

std::string framesPerSecond(double rate) {
    char text[64];
    std::snprintf(text, sizeof(text), "%g fps", rate);
    return text;
}

std::string joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& part : parts) {
        if (!out.empty()) out += ", ";
        out += part;
    }
    return out;
}

std::string line(const char* label, const std::string& value) {
    char head[32];
    std::snprintf(head, sizeof(head), "%-10s ", label);
    return head + value + "\n";
}

template <class T>
std::string orUnset(const std::optional<T>& value) {
    return value ? std::to_string(*value) : "unset";
}

std::string videoLine(const host::RecordingVideoDescription& video) {
    std::vector<std::string> parts;
    parts.push_back(video.codec ? *video.codec : "codec unset");
    if (video.width || video.height)
        parts.push_back(orUnset(video.width) + "x" + orUnset(video.height));
    if (video.frameRate) parts.push_back(framesPerSecond(*video.frameRate));
    if (video.bitRate) parts.push_back(std::to_string(*video.bitRate) + " bit/s");
    return joined(parts);
}

std::string audioLine(const host::RecordingAudioDescription& audio) {
    std::vector<std::string> parts;
    std::string codec = audio.codec ? *audio.codec : "codec unset";
    if (audio.rawVariant) codec += " (variant " + std::to_string(*audio.rawVariant) + ")";
    parts.push_back(codec);
    if (audio.sampleRate) parts.push_back(std::to_string(*audio.sampleRate) + " Hz");
    if (audio.channels) {
        parts.push_back(std::to_string(*audio.channels) +
                        (*audio.channels == 1 ? " channel" : " channels"));
    }
    if (audio.bitsPerSample) parts.push_back(std::to_string(*audio.bitsPerSample) + " bits");
    if (audio.bitRate) parts.push_back(std::to_string(*audio.bitRate) + " bit/s");
    return joined(parts);
}

}  // namespace

std::string describeReadably(const MediumLocation& handedOver, const host::RecordingMedium& medium,
                             const host::RecordingStreamDescription& stream) {
    std::string out;
    out += line("location", handedOver.location);
    out += line("protocol", handedOver.protocol);
    out += line("format", stream.format ? *stream.format : "unset");
    if (medium.duration) {
        out += line("duration",
                    seconds(*medium.duration) + " (" + std::to_string(*medium.duration) + " ms)");
    } else {
        out += line("duration", "unset");
    }
    if (medium.firstFlag || medium.secondFlag) {
        out += line("flags", "first " + orUnset(medium.firstFlag) + ", second " +
                                 orUnset(medium.secondFlag));
    }
    out += line("video", stream.video.anySet() ? videoLine(stream.video) : "none");
    out += line("audio", stream.audio.anySet() ? audioLine(stream.audio) : "none");
    return out;
}

}  // namespace cli
