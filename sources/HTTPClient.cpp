#include "sources/HTTPClient.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QString>
#include <QThread>
#include <QTimer>
#include <QVariant>

#include <boost/format.hpp>

#include "common/Log.h"
#include "flv/FLVHeader.h"
#include "flv/FLVPacket.h"
#include "plugin/HostInterface.h"
#include "sources/QtApplicationHost.h"

// The event-loop thread of one HTTPClient: it makes the client's request, runs Qt's event loop
// until it is told to quit, and then lets the client release its network objects, all on this
// thread. It is started once per HEAD pass and once for the GET.
class QCoreAppThread : public QThread {
  public:
    explicit QCoreAppThread(HTTPClient* client) : owner(client) {}

    PEvent started;  // set when the request is made and the loop is about to run
    // Set when the thread has released its network objects. Joining through this event as well
    // as QThread::wait makes the hand-over visible to tools that cannot see into Qt.
    PEvent ended;

  protected:
    void run() override {
        owner->startRequest();
        started.set();
        exec();
        owner->closeQThread();
        ended.set();
    }

  private:
    HTTPClient* const owner;  // not owned; outlives the thread
};

namespace {

constexpr int32_t kWaitStepMs = 150;
// How much the reply itself may hold while reading from it is paused. Qt's network thread hands
// the body over in pieces of up to this size; with 1 MiB it wrote most of them into freshly
// mapped pages (tens of thousands of page faults per GB), and a fast reader needed about a third
// more CPU time than with 4 MiB.
constexpr qint64 kReplyReadBuffer = 4 << 20;
constexpr int kPumpIntervalMs = 10;

std::atomic<int32_t> headTimeoutMs(HTTPClient::kHeadTimeoutMs);
std::atomic<int32_t> getTimeoutMs(HTTPClient::kGetTimeoutMs);
std::atomic<int32_t> transferTimeoutMs(HTTPClient::kTransferTimeoutMs);
std::atomic<uint64_t> unreadCap(HTTPClient::kDefaultUnreadCap);

bool acceptedError(int error) {
    // An unknown-content answer (an unusual 4xx) still delivers the file.
    return error == QNetworkReply::NoError || error == QNetworkReply::UnknownContentError;
}

}  // namespace

void HTTPClient::setTimeoutsForTesting(int32_t headMs, int32_t getMs, int32_t transferMs) {
    headTimeoutMs = headMs;
    getTimeoutMs = getMs;
    transferTimeoutMs = transferMs;
}

std::pair<int32_t, int32_t> HTTPClient::timeoutsForTesting() {
    return {headTimeoutMs.load(), getTimeoutMs.load()};
}

void HTTPClient::setUnreadCapForTesting(uint64_t bytes) {
    unreadCap = bytes;
}

HTTPClient::HTTPClient()
    : status(0),
      manager(nullptr),
      reply(nullptr),
      slotContext(nullptr),
      pumpTimer(nullptr),
      stallTimer(nullptr),
      getPhase(false),
      contentLength(0),
      getDataSeen(false),
      getError(QNetworkReply::NoError),
      getHttpStatus(0),
      finishPending(false),
      infoLock_(false),
      holdsApplication_(false) {}

HTTPClient::~HTTPClient() {
    close();
}

std::string HTTPClient::getErrorText() const {
    return errorText;
}

bool HTTPClient::fail(vanto::streamer::Error* error, const char* message) {
    // A reader called after a failed open must not wait for bytes that will never come.
    closed.set();
    buffer.wakeWaiters();
    if (error != nullptr) {
        error->setCode(404);
        error->setMessage(message);
    }
    return false;
}

bool HTTPClient::open(std::wstring location, vanto::streamer::Error* error) {
    LogInfo(boost::wformat(L"HTTPClient::open : %s") % location);
    // A client serves one medium; its thread and buffer are not reused.
    if (thread_ || closed.isSignalled()) return fail(error, "HTTP input: URL cannot be reached");

    // Before any Qt object exists on this thread: see QtApplicationHost.
    if (!holdsApplication_) {
        if (!QtApplicationHost::acquire()) {
            LogError(boost::wformat(L"HTTPClient::open: Qt could not be started"));
            return fail(error, "HTTP input: URL cannot be reached");
        }
        holdsApplication_ = true;
    }
    url.reset(new QUrl(QString::fromStdWString(location)));
    thread_.reset(new QCoreAppThread(this));

    for (int redirects = 0;; ++redirects) {
        getPhase = false;
        headerReceived.reset();
        if (!startThread()) return fail(error, "HTTP input: URL cannot be reached");
        if (!headerReceived.timedWait(headTimeoutMs)) {
            LogError(boost::wformat(L"HTTPClient::open: Head request timeout"));
            return fail(error, "HTTP input: URL cannot be reached");
        }
        if (status != 0) {
            LogError(boost::wformat(L"HTTPClient::open: Head request error %d") % status.load());
            return fail(error, "HTTP input: Server error.");
        }
        const QUrl target = redirectTarget;
        stopThread();
        if (!target.isValid() || target.isEmpty()) break;
        if (redirects == kMaxRedirects) {
            status = 404;
            LogError(boost::wformat(L"HTTPClient::open : more than %d redirects") % kMaxRedirects);
            LogError(boost::wformat(L"HTTPClient::open: Head request error %d") % status.load());
            return fail(error, "HTTP input: Server error.");
        }
        const QUrl next = url->resolved(target);
        // Qt would also follow a server to file: or data: URLs; a medium on the web must not
        // turn into a file of this machine.
        const QString scheme = next.scheme().toLower();
        if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
            status = 404;
            LogError(boost::wformat(L"HTTPClient::open : redirect to %s refused") %
                     next.toString().toStdWString());
            LogError(boost::wformat(L"HTTPClient::open: Head request error %d") % status.load());
            return fail(error, "HTTP input: Server error.");
        }
        *url = next;
        LogInfo(boost::wformat(L"HTTPClient::open : redirected to %s") %
                url->toString().toStdWString());
    }

    getPhase = true;
    buffer.setEndOfStream(false);
    closed.reset();
    headerReceived.reset();
    if (!startThread()) return fail(error, "HTTP input: URL cannot be reached");
    if (!headerReceived.timedWait(getTimeoutMs)) {
        status = 404;
        errorText = "HTTP: Header request timeout";
        LogError(boost::wformat(L"HTTPClient::open: Header not received in time!"));
        return fail(error, errorText.c_str());
    }
    // A GET that ended before any data (an error status, an empty file, the server gone between
    // the two requests): nothing will ever come. Say which, as the bare "Server error." of a
    // failed HEAD request would leave the user guessing.
    if (!getDataSeen) {
        status = 404;
        if (getHttpStatus >= 400) {
            errorText = (boost::format("HTTP input: Server error. The server answered the file "
                                       "request with HTTP status %d.") %
                         getHttpStatus)
                            .str();
            LogError(boost::wformat(L"HTTPClient::open : GET answered with HTTP status %d") %
                     getHttpStatus);
        } else if (!acceptedError(getError)) {
            errorText = (boost::format("HTTP input: Server error. The connection failed before "
                                       "any data came (network error %d).") %
                         getError)
                            .str();
            LogError(boost::wformat(L"HTTPClient::open : Received network error %d before any "
                                    L"GET data") %
                     getError);
        } else {
            errorText = "HTTP input: Server error. The file is empty.";
            LogError(boost::wformat(L"HTTPClient::open : GET answer with HTTP status %d has an "
                                    L"empty body") %
                     getHttpStatus);
        }
        return fail(error, errorText.c_str());
    }
    return true;
}

bool HTTPClient::startThread() {
    thread_->started.reset();
    thread_->ended.reset();
    thread_->start(QThread::InheritPriority);
    // QThread::start reports a failed thread creation only by not running.
    if (!thread_->isRunning() && !thread_->isFinished()) return false;
    thread_->started.wait();
    return true;
}

void HTTPClient::stopThread() {
    thread_->quit();
    thread_->wait();
    if (thread_->isFinished()) thread_->ended.wait();
}

bool HTTPClient::close() {
    LogInfo(boost::wformat(L"HTTPClient::close"));
    closed.set();
    buffer.wakeWaiters();
    if (thread_) {
        stopThread();
        thread_.reset();
    }
    buffer.clear();
    if (holdsApplication_) {
        QtApplicationHost::release();
        holdsApplication_ = false;
    }
    return true;
}

FLVHeader* HTTPClient::readHeader() {
    if (closed.isSignalled()) return nullptr;
    return FLVHeader::read(buffer, closed);
}

FLVPacket* HTTPClient::readPacket() {
    if (closed.isSignalled()) return nullptr;
    return FLVPacket::read(buffer, closed);
}

int32_t HTTPClient::read(uint8_t* destination, int64_t length) {
    if (closed.timedWait(0)) return 0;
    if (length <= 0) return 0;
    // The result is a 32-bit count.
    if (length > std::numeric_limits<int32_t>::max()) return -1;
    const uint64_t wanted = static_cast<uint64_t>(length);
    while (buffer.available() < wanted) {
        if (buffer.isEndOfStream() && buffer.available() < wanted) return -1;
        buffer.waitForData(wanted, kWaitStepMs);
        if (closed.timedWait(0)) return -1;
    }
    const uint32_t copied = buffer.read(destination, static_cast<uint32_t>(length));
    // Only a part that was not copied is zeroed: filling the whole length first would write
    // every byte twice.
    std::memset(destination + copied, 0, static_cast<size_t>(length) - copied);
    return static_cast<int32_t>(copied);
}

int64_t HTTPClient::seek(int64_t offset, int origin) {
    if (closed.timedWait(0)) return -1;
    if (origin == 0x10000) return static_cast<int64_t>(contentLength);
    if (origin == 1) {
        offset += static_cast<int64_t>(buffer.position());
    } else if (origin != 0) {
        return -1;
    }
    if (buffer.isInBuffer(offset)) {
        buffer.seek(offset);
        return offset;
    }
    // Bytes a little beyond the received end are worth waiting for; once the transfer has ended
    // they will never come.
    while (buffer.isReachable(offset) && !buffer.isEndOfStream()) {
        const uint64_t position = buffer.position();
        const uint64_t needed = static_cast<uint64_t>(offset) >= position
                                    ? static_cast<uint64_t>(offset) - position + 1
                                    : 1;
        buffer.waitForData(needed, kWaitStepMs);
        if (closed.timedWait(0)) return -1;
        if (buffer.isInBuffer(offset)) {
            buffer.seek(offset);
            return offset;
        }
    }
    LogError(
        boost::wformat(L"HTTPClient::seek : out of range seek received -- need to perform a "
                       L"new GET request. TO BE IMPLEMENTED"));
    return -1;
}

std::wstring HTTPClient::getContentType() {
    if (!contentType.empty()) return contentType;
    PScopedLock guard(infoLock_);
    return getContentType_;
}

void HTTPClient::setDataHandler(DataHandler handler) {
    dataHandler = std::move(handler);
}

// ---- Event-loop thread ----

void HTTPClient::prepareRequest() {
    if (manager == nullptr) manager = new QNetworkAccessManager();
    request.reset(new QNetworkRequest(*url));
    request->setRawHeader("x-flash-version", "9,0,47,0");
    request->setRawHeader("User-Agent", "Mozilla/4.0");
    // Each redirect gets a HEAD pass of its own, so Qt must not follow them by itself.
    request->setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                          QNetworkRequest::ManualRedirectPolicy);
}

void HTTPClient::startRequest() {
    prepareRequest();
    delete reply;
    reply = nullptr;
    slotContext = new QObject();
    if (!getPhase) {
        reply = manager->head(*request);
        QObject::connect(
            reply, &QNetworkReply::finished, slotContext, [this] { headRequestFinished(); },
            Qt::DirectConnection);
        return;
    }
    getDataSeen = false;
    getError = QNetworkReply::NoError;
    getHttpStatus = 0;
    finishPending = false;
    reply = manager->get(*request);
    // Bounds what Qt holds while reading is paused; TCP then slows the server down.
    reply->setReadBufferSize(kReplyReadBuffer);
    pumpTimer = new QTimer();
    pumpTimer->setInterval(kPumpIntervalMs);
    QObject::connect(
        pumpTimer, &QTimer::timeout, slotContext, [this] { pump(); }, Qt::DirectConnection);
    stallTimer = new QTimer();
    stallTimer->setSingleShot(true);
    stallTimer->setInterval(transferTimeoutMs.load());
    QObject::connect(
        stallTimer, &QTimer::timeout, slotContext, [this] { transferStalled(); },
        Qt::DirectConnection);
    QObject::connect(
        reply, &QNetworkReply::readyRead, slotContext, [this] { dataReadyRead(); },
        Qt::DirectConnection);
    QObject::connect(
        reply, &QNetworkReply::finished, slotContext, [this] { getRequestFinished(); },
        Qt::DirectConnection);
}

void HTTPClient::headRequestFinished() {
    status = 0;
    const int error = reply->error();
    if (!acceptedError(error)) {
        status = 404;
        LogError(boost::wformat(L"HTTPClient::open : Received network error %d") % error);
    }
    contentType = reply->header(QNetworkRequest::ContentTypeHeader).toString().toStdWString();
    LogInfo(boost::wformat(L"HTTPClient::open : Content type %s") % contentType);
    contentLength = reply->header(QNetworkRequest::ContentLengthHeader).toULongLong();
    redirectTarget = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    headerReceived.set();
}

void HTTPClient::dataReadyRead() {
    if (!getDataSeen) {
        getDataSeen = true;
        {
            PScopedLock guard(infoLock_);
            getContentType_ =
                reply->header(QNetworkRequest::ContentTypeHeader).toString().toStdWString();
        }
        headerReceived.set();
    }
    if (dataHandler) {
        stallTimer->start();
        dataHandler(reply);
        return;
    }
    pump();
}

void HTTPClient::pump() {
    // Up to the cap and no further, so that what stays in the reply is known to stay there.
    const uint64_t limit = std::max(unreadCap.load(), buffer.demand());
    const uint64_t unread = buffer.available();
    if (unread < limit) buffer.readFromNetwork(reply, limit - unread);
    if (reply->bytesAvailable() > 0) {
        // Paused: the reader is behind. Look again soon; Qt stops reading from the socket
        // meanwhile, once the reply's own buffer is full. The silence that follows is ours, not
        // the server's.
        if (!pumpTimer->isActive()) pumpTimer->start();
        stallTimer->stop();
        return;
    }
    pumpTimer->stop();
    if (finishPending) {
        finishPending = false;
        buffer.setEndOfStream(true);
        return;
    }
    // Bytes came, or the pause ended: the server has the whole time-out again.
    stallTimer->start();
}

void HTTPClient::transferStalled() {
    LogError(boost::wformat(L"HTTPClient::transferStalled : no data for %d ms, transfer "
                            L"abandoned") %
             stallTimer->interval());
    // Qt then reports the end of the reply, which ends the stream after the bytes held.
    reply->abort();
}

void HTTPClient::reportShortTransfer(int64_t left) {
    // A handler takes the bytes itself; the buffer cannot count them.
    if (dataHandler) return;
    const int error = reply->error();
    const uint64_t received = buffer.discardedBytes() + buffer.heldBytes() +
                              static_cast<uint64_t>(std::max<int64_t>(left, 0));
    // The HEAD answer's length stands in when the GET answer has none (chunked, or a header
    // that Qt could not take).
    const QVariant declared = reply->header(QNetworkRequest::ContentLengthHeader);
    const uint64_t expected = declared.isValid() ? declared.toULongLong() : contentLength;
    const bool cutShort = expected > 0 && received < expected;
    if (!cutShort && (acceptedError(error) || expected > 0)) return;
    LogError(boost::wformat(L"HTTPClient::getRequestFinished : transfer ended early, %lld of %s "
                            L"bytes received (network error %d)") %
             static_cast<long long>(received) %
             (expected > 0 ? std::to_wstring(expected) : std::wstring(L"unknown")) % error);
}

void HTTPClient::getRequestFinished() {
    stallTimer->stop();
    const int64_t left = reply->bytesAvailable();
    LogInfo(boost::wformat(L"HTTPClient::getRequestFinished - %lld bytes left") %
            static_cast<long long>(left));
    if (!getDataSeen) {
        getError = reply->error();
        getHttpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        headerReceived.set();
    } else {
        reportShortTransfer(left);
    }
    finishPending = true;
    if (dataHandler) {
        finishPending = false;
        buffer.setEndOfStream(true);
        return;
    }
    // What is still in the reply belongs to the stream; the end is set once it is taken.
    pump();
}

void HTTPClient::closeQThread() {
    LogInfo(boost::wformat(L"HTTPClient::closeQThread"));
    closed.set();
    buffer.wakeWaiters();
    request.reset();
    // Deleting the context first cuts our connections, so aborting the reply below does not
    // call back into the client.
    delete slotContext;
    slotContext = nullptr;
    delete pumpTimer;
    pumpTimer = nullptr;
    delete stallTimer;
    stallTimer = nullptr;
    if (reply != nullptr) {
        reply->abort();
        reply->close();
        delete reply;
        reply = nullptr;
    }
    delete manager;
    manager = nullptr;
}
