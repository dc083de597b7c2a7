// The byte source of a local FLV file.
//
// Called from one thread at a time (the host's). The file is opened without denying other
// processes read or write access, so a file that is still being written can be played.
#pragma once

#include <fstream>
#include <memory>
#include <string>

#include "sources/FLVNetworkClient.h"

class LocalClient : public FLVNetworkClient {
public:
    LocalClient();
    ~LocalClient() override;

    // Fails with 404 and "File could not be found." when nothing exists at |location|.
    // Backslashes in the location count as path separators.
    bool open(std::wstring location, vanto::streamer::Error* error) override;
    bool close() override;
    FLVHeader* readHeader() override;
    FLVPacket* readPacket() override;

private:
    std::unique_ptr<std::ifstream> stream;  // null before a successful open and after close
    std::unique_ptr<char[]> streamBuffer_;  // the stream's read buffer; outlives the stream
};
