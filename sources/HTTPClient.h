// The byte source of an FLV file on an HTTP server.
//
// Opening sends a HEAD request, again for each redirect (at most 10, relative targets resolved
// against the current URL, only to http and https), then one streaming GET whose body fills a
// NetworkBuffer; readHeader and readPacket take the FLV header and tags out of that buffer,
// waiting in steps of at most 150 ms for bytes still to come. Every request carries
// "x-flash-version: 9,0,47,0" and "User-Agent: Mozilla/4.0".
//
// Threads: each client owns one Qt event-loop thread (a QCoreAppThread) while it is open, so
// several clients may be open at once; every Qt network object is created, used and deleted on
// it. The FLVNetworkClient operations and the random-access operations are called from one host
// thread at a time; close may also be called from another thread to release a reader that waits
// for bytes. Memory stays bounded: once the unread bytes pass a cap the client stops taking
// data from the reply until the reader catches up, and the server is slowed down by TCP; bytes
// that a reader waits for are never held back. A transfer that brings no byte for 30 s while the
// client takes data ends as a failed transfer, so that no read waits on a silent server forever.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include <QUrl>

#include "common/Threads.h"
#include "sources/FLVNetworkClient.h"
#include "sources/NetworkBuffer.h"

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;
class QObject;
class QTimer;
class QCoreAppThread;

class HTTPClient : public FLVNetworkClient {
  public:
    // Called on the event-loop thread for each arrival of GET data instead of the buffer.
    using DataHandler = std::function<void(QNetworkReply* reply)>;

    // Production values. The time-outs are changeable for tests.
    static constexpr int32_t kHeadTimeoutMs = 15000;
    static constexpr int32_t kGetTimeoutMs = 15000;
    static constexpr int32_t kTransferTimeoutMs = 30000;
    static constexpr int kMaxRedirects = 10;
    static constexpr uint64_t kDefaultUnreadCap = 32u << 20;

    HTTPClient();
    ~HTTPClient() override;

    // Failures written into |error|: 404 "HTTP input: URL cannot be reached" (no HEAD answer in
    // time), 404 "HTTP input: Server error." (HEAD error, too many redirects; followed by what
    // happened for a GET that ended before any data), 404 "HTTP: Header request timeout" (no GET
    // data in time).
    bool open(std::wstring location, vanto::streamer::Error* error) override;
    bool close() override;
    FLVHeader* readHeader() override;
    FLVPacket* readPacket() override;

    // Random access for callers other than the tag reader. read: the count copied, 0 once
    // closed, -1 when |length| bytes cannot be had. seek: origin 0 from the start, 1 from the
    // current position, 0x10000 asks for the Content-Length; -1 for an offset that is neither
    // held nor reachable (no new request is made) and for origin 2.
    int32_t read(uint8_t* destination, int64_t length);
    int64_t seek(int64_t offset, int origin);
    std::wstring getContentType();
    // Installs a handler before open; the buffer then stays empty.
    void setDataHandler(DataHandler handler);

    // 0 or 404, and the text of the last error.
    int getStatus() const { return status.load(); }
    std::string getErrorText() const;

    static void setTimeoutsForTesting(int32_t headMs, int32_t getMs,
                                      int32_t transferMs = kTransferTimeoutMs);
    // The HEAD and GET time-outs in force.
    static std::pair<int32_t, int32_t> timeoutsForTesting();
    static void setUnreadCapForTesting(uint64_t bytes);

  private:
    friend class QCoreAppThread;

    // Event-loop thread.
    void prepareRequest();
    void startRequest();
    void headRequestFinished();
    void getRequestFinished();
    void dataReadyRead();
    void pump();
    void transferStalled();
    void reportShortTransfer(int64_t left);
    void closeQThread();

    // Host thread.
    bool startThread();
    void stopThread();
    bool fail(vanto::streamer::Error* error, const char* message);

    std::unique_ptr<QUrl> url;  // host thread; read by the event-loop thread while it starts
    std::atomic<int> status;
    std::string errorText;                     // host thread
    std::unique_ptr<QNetworkRequest> request;  // event-loop thread
    QNetworkAccessManager* manager;            // event-loop thread; deleted there
    QNetworkReply* reply;                      // event-loop thread; deleted there
    QObject* slotContext;  // event-loop thread; deleting it cuts the reply's connections
    QTimer* pumpTimer;     // event-loop thread; drains the reply while reading is paused
    QTimer* stallTimer;    // event-loop thread; runs while the client waits for the server
    NetworkBuffer buffer;
    DataHandler dataHandler;
    PEvent headerReceived;
    PEvent closed;
    bool getPhase;  // written by the host thread while the event-loop thread is stopped

    // Written on the event-loop thread before headerReceived is set, read by the host after.
    uint64_t contentLength;
    std::wstring contentType;
    QUrl redirectTarget;
    bool getDataSeen;    // event-loop thread only after open
    int getError;        // the GET's network error when it ended before any data
    int getHttpStatus;   // and its HTTP status, 0 when none came
    bool finishPending;  // event-loop thread: the GET ended, bytes still in the reply

    PMutex infoLock_;
    std::wstring getContentType_;  // guarded by infoLock_

    std::unique_ptr<QCoreAppThread> thread_;  // host thread
    bool holdsApplication_;                   // host thread
};
