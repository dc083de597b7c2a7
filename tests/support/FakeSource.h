// A byte source that serves tags from a script, for driving the plug-in without files or
// servers. The script is shared, so a test keeps it and reads the counters after the plug-in
// has taken (and maybe deleted) the source.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sources/FLVNetworkClient.h"

namespace testing_support {

struct FakeTag {
    uint32_t type;
    uint32_t timestamp;
    std::vector<uint8_t> payload;  // the tag's data, audio/video header bytes included
};

struct FakeScript {
    bool openSucceeds = true;
    int errorCode = 0;
    std::string errorMessage;
    std::optional<uint8_t> headerFlags;  // none: the source has no FLV header (as RTMP)
    std::vector<FakeTag> tags;

    // What the plug-in did with the source.
    std::wstring openedLocation;
    int packetsRead = 0;  // readPacket calls that returned a tag
    int closes = 0;
    int destroyed = 0;
};

class FakeSource : public FLVNetworkClient {
public:
    explicit FakeSource(std::shared_ptr<FakeScript> script) : script_(std::move(script)) {}
    ~FakeSource() override { ++script_->destroyed; }

    bool open(std::wstring location, vanto::streamer::Error* error) override;
    bool close() override;
    FLVHeader* readHeader() override;
    FLVPacket* readPacket() override;

private:
    std::shared_ptr<FakeScript> script_;
    size_t next_ = 0;
};

// An onMetaData tag holding the given number entries.
FakeTag metadataTag(const std::vector<std::pair<std::string, double>>& numbers);
// An audio tag: header byte |format|<<4 | rate<<2 | size<<1 | type, then |bodyBytes| bytes.
FakeTag audioTag(uint32_t timestamp, uint8_t headerByte = 0x2F, size_t bodyBytes = 8);
// A video tag with codec 7 (one header byte), key frame or not, then |bodyBytes| bytes.
FakeTag videoTag(uint32_t timestamp, bool key = true, size_t bodyBytes = 8);

}  // namespace testing_support
