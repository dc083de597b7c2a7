// A reference implementation of the host's classes that records every call the plug-in makes on
// them: each object keeps the last value of every setter (unset until called) and appends a line
// such as "video.setWidth(320)" to a journal shared by the objects of one medium, so that the
// order of the calls can be checked too. Used by the tests and by the zovozudo command-line host.
//
// Not thread-safe: the plug-in calls host objects from the thread that called it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "plugin/HostInterface.h"

namespace host {

using Journal = std::vector<std::string>;

class RecordingMedium : public vanto::streamer::MediumDescription {
public:
    // |journal| must outlive the object; null keeps no journal.
    RecordingMedium(std::string location, std::string protocol, Journal* journal = nullptr);
    virtual ~RecordingMedium() = default;

    const char* getLocation() const override;
    void setDuration(uint64_t milliseconds) override;
    void setFirstFlag(int flag) override;
    void setSecondFlag(int flag) override;
    const char* getProtocol() const override;

    std::optional<uint64_t> duration;
    std::optional<int> firstFlag;
    std::optional<int> secondFlag;

private:
    std::string location_;
    std::string protocol_;
    Journal* const journal_;
};

class RecordingError : public vanto::streamer::Error {
public:
    explicit RecordingError(Journal* journal = nullptr) : journal_(journal) {}
    virtual ~RecordingError() = default;

    void setCode(int value) override;
    void setMessage(const char* text) override;

    std::optional<int> code;
    std::optional<std::string> message;

private:
    Journal* const journal_;
};

class RecordingAudioDescription : public vanto::streamer::AudioDescription {
public:
    explicit RecordingAudioDescription(Journal* journal) : journal_(journal) {}
    virtual ~RecordingAudioDescription() = default;

    void setBitRate(unsigned int bitsPerSecond) override;
    void setCodec(const char* name) override;
    void setRawVariant(int variant) override;
    void setBitsPerSample(int bits) override;
    void setSampleRate(unsigned int hertz) override;
    void setChannels(unsigned int count) override;

    bool anySet() const;

    std::optional<unsigned int> bitRate;
    std::optional<std::string> codec;
    std::optional<int> rawVariant;
    std::optional<int> bitsPerSample;
    std::optional<unsigned int> sampleRate;
    std::optional<unsigned int> channels;

private:
    Journal* const journal_;
};

class RecordingVideoDescription : public vanto::streamer::VideoDescription {
public:
    explicit RecordingVideoDescription(Journal* journal) : journal_(journal) {}
    virtual ~RecordingVideoDescription() = default;

    void setBitRate(unsigned int bitsPerSecond) override;
    void setCodec(const char* name) override;
    void setWidth(unsigned int pixels) override;
    void setHeight(unsigned int pixels) override;
    void setFrameRate(double framesPerSecond) override;

    bool anySet() const;

    std::optional<unsigned int> bitRate;
    std::optional<std::string> codec;
    std::optional<unsigned int> width;
    std::optional<unsigned int> height;
    std::optional<double> frameRate;

private:
    Journal* const journal_;
};

class RecordingStreamDescription : public vanto::streamer::OutputStreamDescription {
public:
    explicit RecordingStreamDescription(Journal* journal = nullptr)
        : audio(journal), video(journal), journal_(journal) {}
    virtual ~RecordingStreamDescription() = default;

    void setFormat(const char* container) override;
    vanto::streamer::AudioDescription* getAudioDescription() override;
    vanto::streamer::VideoDescription* getVideoDescription() override;

    std::optional<std::string> format;
    RecordingAudioDescription audio;
    RecordingVideoDescription video;

private:
    Journal* const journal_;
};

// What a medium description and a stream description learned, as one JSON object: only the
// setters that were called appear.
std::string describeAsJson(const RecordingMedium& medium,
                           const RecordingStreamDescription& stream);

}  // namespace host
