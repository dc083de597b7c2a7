// The byte source of an RTMP stream: one connection, read on the caller's thread. open connects
// and waits for the first media or metadata message; readPacket then hands out one FLV tag per
// call, made from the messages the connection reads (an aggregate message gives several).
//
// Called from one thread at a time. Every readPacket that must read blocks until a tag can be
// made or the connection's receive time-out expires, whatever else the server sends. No header,
// no seek, no reopen.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>

#include "sources/FLVNetworkClient.h"

namespace RTMP_LIB {
class CRTMP;
class RTMPPacket;
}  // namespace RTMP_LIB

class RTMPClient : public FLVNetworkClient {
public:
    RTMPClient();
    ~RTMPClient() override;

    // Fails with 2 "RTMP input: URL format not supported." for a location that is not an RTMP
    // URL with a stream name, 404 "RTMP input: Failed to connect to URL." when the connection or
    // handshake fails, 404 "RTMP input: The server reported an error: CODE (DESCRIPTION)." as
    // soon as the server refuses the connection or the stream with an error status, and 2
    // "RTMP input: Failed to parse metadata." when no media message arrives.
    bool open(std::wstring location, vanto::streamer::Error* error) override;
    // Closes the connection; the connection object stays until destruction.
    bool close() override;
    // Always null: a stream has no FLV file header.
    FLVHeader* readHeader() override;
    FLVPacket* readPacket() override;

private:
    struct FreeDeleter {
        void operator()(char* text) const { std::free(text); }
    };
    using CString = std::unique_ptr<char, FreeDeleter>;

    void cleanupSockets();
    // A tag already made or the next one of the aggregate being taken apart; null when neither.
    FLVPacket* takeTag();
    // Makes tags of a message from the connection: queued at once, or for an aggregate, one at
    // a time as takeTag asks.
    void accept(std::unique_ptr<RTMP_LIB::RTMPPacket> message);

    // The connection borrows these strings, so they live as long as it does.
    CString host_;
    CString app_;
    CString playpath_;
    std::string tcUrl_;

    std::unique_ptr<RTMP_LIB::CRTMP> connection;
    std::unique_ptr<RTMP_LIB::RTMPPacket> firstMessage;
    bool firstDelivered;
    bool socketsStarted_;
    std::deque<FLVPacket*> queue;  // owned tags, oldest first
    // The aggregate message whose tags are handed out, and where its next tag begins.
    std::unique_ptr<RTMP_LIB::RTMPPacket> aggregate_;
    uint32_t aggregateOffset_;
};
