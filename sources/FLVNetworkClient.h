// The byte source of a medium: one FLV file header, then FLV tags, read strictly forward.
//
// The plug-in calls open once, readHeader once, readPacket until it returns null, and close
// once before deleting the source; all calls come from one thread at a time. Deleting an open
// source releases what close would.
#pragma once

#include <string>

class FLVHeader;
class FLVPacket;

namespace vanto {
namespace streamer {
class Error;
}
}  // namespace vanto

class FLVNetworkClient {
public:
    FLVNetworkClient() = default;
    virtual ~FLVNetworkClient() = default;

    FLVNetworkClient(const FLVNetworkClient&) = delete;
    FLVNetworkClient& operator=(const FLVNetworkClient&) = delete;

    // True when the source can deliver the header. On the failures that an implementation
    // documents it has also written a code and a message into |error|.
    virtual bool open(std::wstring location, vanto::streamer::Error* error) = 0;
    // Always true.
    virtual bool close() = 0;
    // A new header owned by the caller, or null.
    virtual FLVHeader* readHeader() = 0;
    // A new tag owned by the caller (release it, then delete it), or null at the end of data.
    virtual FLVPacket* readPacket() = 0;
};
