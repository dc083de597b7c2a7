#include "sources/RTMPClient.h"

#include <chrono>

#include <boost/format.hpp>

#include "common/Log.h"
#include "common/TextConversion.h"
#include "flv/FLVPacket.h"
#include "platform/Sockets.h"
#include "plugin/HostInterface.h"
#include "rtmp/CRTMP.h"
#include "rtmp/ParseUrl.h"
#include "rtmp/RTMPPacket.h"

namespace {

// Ten hours: the server may send as far ahead as it likes.
constexpr int32_t kBufferTimeMs = 36000000;
constexpr uint8_t kMessageAggregate = 22;

void fail(vanto::streamer::Error* error, int code, const char* message) {
    if (error == nullptr) return;
    error->setCode(code);
    error->setMessage(message);
}

}  // namespace

RTMPClient::RTMPClient() : firstDelivered(false), socketsStarted_(false), aggregateOffset_(0) {}

RTMPClient::~RTMPClient() {
    if (connection) {
        connection->Close();
        cleanupSockets();
        connection.reset();
    }
    // The connection borrows the settings strings; they go only after it.
    firstMessage.reset();
    aggregate_.reset();
    for (FLVPacket* packet : queue) delete packet;
    queue.clear();
}

void RTMPClient::cleanupSockets() {
    if (!socketsStarted_) return;
    platform::SocketsCleanup();
    socketsStarted_ = false;
}

bool RTMPClient::open(std::wstring location, vanto::streamer::Error* error) {
    LogInfo(boost::wformat(L"RTMPClient::open : %s") % location);

    const std::string url = wideToUtf8(location);
    int protocol = -1;
    char* host = nullptr;
    unsigned int port = 0;
    char* app = nullptr;
    char* playpath = nullptr;
    const bool parsed = RTMP_LIB::ParseUrl(url.c_str(), &protocol, &host, &port, &app, &playpath);
    host_.reset(host);
    app_.reset(app);
    playpath_.reset(playpath);
    // Without a stream name there is nothing to play: refuse before touching the network.
    if (!parsed || host_ == nullptr || playpath_ == nullptr || *playpath_ == '\0') {
        LogError(boost::wformat(L"RTMPClient::open Couldn't parse the specified url (%s)!") %
                 location);
        fail(error, 2, "RTMP input: URL format not supported.");
        return false;
    }

    // The port never appears in the tcUrl, whatever the URL said.
    const char* tcUrl = nullptr;
    if (app_ != nullptr) {
        tcUrl_ = std::string("rtmp://") + host_.get() + "/" + app_.get();
        tcUrl = tcUrl_.c_str();
    }

    connection = std::make_unique<RTMP_LIB::CRTMP>();
    connection->SetBufferTime(kBufferTimeMs);
    platform::SocketsStartup();
    socketsStarted_ = true;

    if (!connection->Connect(host_.get(), port, playpath_.get(), app_.get(), protocol, tcUrl,
                             0.0)) {
        LogError(boost::wformat(L"RTMPClient::open Failed to connect to url (%s)!") % location);
        fail(error, 404, "RTMP input: Failed to connect to URL.");
        return false;
    }

    firstMessage = std::make_unique<RTMP_LIB::RTMPPacket>();
    if (!connection->GetNextMediaPacket(*firstMessage)) {
        firstMessage.reset();
        const std::string& refusal = connection->GetServerError();
        if (!refusal.empty()) {
            LogError(boost::wformat(L"RTMPClient::open The server refused url (%s)!") % location);
            fail(error, 404,
                 ("RTMP input: The server reported an error: " + refusal + ".").c_str());
            return false;
        }
        LogError(boost::wformat(L"RTMPClient::open Failed to get header from url (%s)!") %
                 location);
        fail(error, 2, "RTMP input: Failed to parse metadata.");
        return false;
    }

    LogInfo(boost::wformat(L"RTMPClient::open Connected to url (%s)!") % location);
    return true;
}

bool RTMPClient::close() {
    if (connection) {
        connection->Close();
        cleanupSockets();
    }
    return true;
}

FLVHeader* RTMPClient::readHeader() {
    return nullptr;
}

FLVPacket* RTMPClient::readPacket() {
    if (!connection || !connection->IsConnected()) return nullptr;

    // Messages may come that hold no tag (an aggregate with nothing readable in it); they do not
    // keep the source waiting beyond the receive time-out any more than silence would.
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(connection->GetReceiveTimeout());
    for (;;) {
        if (FLVPacket* const tag = takeTag()) return tag;
        if (!firstDelivered && firstMessage) {
            firstDelivered = true;
            accept(std::move(firstMessage));
            continue;
        }
        if (!connection->IsConnected()) return nullptr;
        if (connection->GetReceiveTimeout() > 0 && std::chrono::steady_clock::now() >= deadline) {
            LogError(boost::wformat(L"RTMPClient::readPacket : no tag in the messages of the last "
                                    L"%d ms, closing") %
                     connection->GetReceiveTimeout());
            connection->Close();
            return nullptr;
        }
        auto message = std::make_unique<RTMP_LIB::RTMPPacket>();
        if (!connection->GetNextMediaPacket(*message)) return nullptr;
        accept(std::move(message));
    }
}

FLVPacket* RTMPClient::takeTag() {
    if (!queue.empty()) {
        FLVPacket* const packet = queue.front();
        queue.pop_front();
        return packet;
    }
    if (!aggregate_) return nullptr;
    FLVPacket* const packet = FLVPacket::nextAggregateTag(*aggregate_, &aggregateOffset_);
    if (packet == nullptr) aggregate_.reset();
    return packet;
}

void RTMPClient::accept(std::unique_ptr<RTMP_LIB::RTMPPacket> message) {
    // An aggregate may hold a million tags; made all at once they would take many times the
    // message's memory.
    if (message->packetType == kMessageAggregate && message->ready()) {
        aggregate_ = std::move(message);
        aggregateOffset_ = 0;
        return;
    }
    FLVPacket::fromRTMPPacket(message.release(), queue);
}
