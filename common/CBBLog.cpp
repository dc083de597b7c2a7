#include "common/CBBLog.h"

#include <errno.h>

#include <algorithm>
#include <cwchar>
#include <exception>
#include <vector>

#include "common/Log.h"
#include "common/LogSettings.h"
#include "common/TextConversion.h"
#include "platform/FileSystem.h"
#include "platform/Shell.h"

namespace {

const size_t kMaxMessageChars = 2047;
// Formatting of a message that does not fit kMaxMessageChars retries in doubling buffers up to
// this many characters, so that absurd field widths cannot take unbounded memory.
const size_t kMaxFormatChars = size_t(1) << 20;
// How far the writer may fall behind before new lines are dropped: a disk that stalls must not
// make the host's memory grow without bound.
const size_t kMaxPendingBytes = size_t(8) << 20;
// Where the memory form dropped its oldest lines.
const char kDroppedMarker[] = "[...]\n";

// The message cut to its first kMaxMessageChars characters.
std::wstring formatMessage(const wchar_t* format, va_list args) {
    if (format == nullptr) return std::wstring();
    wchar_t first[kMaxMessageChars + 1];
    va_list copy;
    va_copy(copy, args);
    errno = 0;
    int length = std::vswprintf(first, kMaxMessageChars + 1, format, copy);
    int error = errno;
    va_end(copy);
    if (length >= 0) return std::wstring(first, static_cast<size_t>(length));

    // vswprintf reports a message that does not fit as a failure and leaves the buffer's content
    // unspecified, so the first characters come from a buffer that holds the whole message.
    std::vector<wchar_t> buffer;
    for (size_t size = 2 * (kMaxMessageChars + 1); error != EILSEQ && size <= kMaxFormatChars;
         size *= 2) {
        buffer.resize(size);
        va_copy(copy, args);
        errno = 0;
        length = std::vswprintf(buffer.data(), size, format, copy);
        error = errno;
        va_end(copy);
        if (length >= 0) {
            return std::wstring(buffer.data(),
                                std::min(static_cast<size_t>(length), kMaxMessageChars));
        }
    }
    // An argument that cannot be converted (a narrow "%s" that is not valid in the current
    // locale) or an absurd width: the format itself still tells where the line came from.
    return std::wstring(format, wcsnlen(format, kMaxMessageChars));
}

}  // namespace

CBBLog::CBBLog(const std::wstring& fileName)
    : fileName_(fileName),
      threshold_(-1),
      memoryBudget_(0),
      initialised_(false),
      fileEnabled_(false),
      errorLogEnabled_(false),
      initLock_(false),
      showProcessId_(false),
      processId_(platform::GetCurrentProcessId()),
      writer_(nullptr),
      queueLock_(false),
      stopping_(false),
      queuedBytes_(0),
      pendingBytes_(0),
      markerAtFront_(false),
      droppedLines_(0) {}

CBBLog::CBBLog(unsigned int memoryBudget, bool showProcessId) : CBBLog(std::wstring()) {
    memoryBudget_ = memoryBudget;
    showProcessId_ = showProcessId;
}

CBBLog::~CBBLog() {
    queueLock_.lock();
    // Lines dropped just before the end are still told of.
    try {
        queueDropNoteLocked();
    } catch (...) {
    }
    stopping_ = true;
    queueLock_.broadcast();
    queueLock_.unlock();
    if (writer_ != nullptr) {
        writer_->join();
        delete writer_;
        writer_ = nullptr;
    }
    logFile_.close();
    errorFile_.close();
}

void CBBLog::Log(int level, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    LogV(format, args, level);
    va_end(args);
}

void CBBLog::Log(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    LogV(format, args, 4);
    va_end(args);
}

void CBBLog::LogV(const wchar_t* format, va_list args, int level) {
    try {
        if (!passesThreshold(level) || !ensureInitialised()) return;
        compose(formatMessage(format, args), level);
    } catch (...) {
        // Out of memory: the line is lost, the caller is not.
    }
}

void CBBLog::Log(boost::wformat message, int level) {
    try {
        if (!passesThreshold(level) || !ensureInitialised()) return;
        // A format that was given too few arguments still shows what it has.
        message.exceptions(boost::io::no_error_bits);
        compose(message.str(), level);
    } catch (...) {
    }
}

void CBBLog::WriteError(const std::string& line) {
    try {
        ensureInitialised();
        if (!errorLogEnabled_) return;
        PScopedLock guard(initLock_);
        errorFile_.append(line);
    } catch (...) {
    }
}

bool CBBLog::passesThreshold(int level) {
    int threshold = threshold_.load(std::memory_order_relaxed);
    if (threshold == -1) {
        // A stored -1 keeps the threshold unread, so the setting is read again on every call.
        threshold = ReadLogThreshold();
        threshold_.store(threshold, std::memory_order_relaxed);
    }
    return level <= threshold;
}

bool CBBLog::ensureInitialised() {
    if (!initialised_.load(std::memory_order_acquire)) {
        PScopedLock guard(initLock_);
        if (!initialised_.load(std::memory_order_relaxed)) {
            initialiseLocked();
            initialised_.store(true, std::memory_order_release);
        }
    }
    return fileEnabled_ || errorLogEnabled_ || memoryBudget_ > 0;
}

void CBBLog::initialiseLocked() {
    if (memoryBudget_ > 0) return;
    std::wstring appData;
    // Without the folder the log stays initialised with both files disabled.
    if (!platform::GetCommonAppDataFolder(&appData)) return;

    const std::wstring processName = platform::ProcessNameFromPath(platform::GetExecutablePath());
    processName_ = wideToUtf8(processName);

    const std::wstring dessaro = appData + platform::kPathSeparator + L"Dessaro";
    platform::CreateFolder(dessaro);
    const std::wstring logs = dessaro + platform::kPathSeparator + L"Logs";
    platform::CreateFolder(logs);
    const std::wstring folder = logs + platform::kPathSeparator;

    logFile_.start(folder + (fileName_.empty() ? processName + L".log" : fileName_));
    fileEnabled_ = true;
    errorFile_.start(folder + L"VantoErrors.log");
    errorLogEnabled_ = true;

    try {
        writer_ = new PThread(PThreadDelegateMember<CBBLog>(this, &CBBLog::WriterLoop));
    } catch (const std::exception&) {
        // Without a writer queued lines would only pile up; FATAL lines still reach the error
        // log, which the calling threads write themselves.
        logFile_.close();
        fileEnabled_ = false;
    }
}

std::string CBBLog::prefix(int level) const {
    const platform::LocalTime now = platform::GetLocalTime();
    char text[2048];
    if (showProcessId_) {
        std::snprintf(text, sizeof(text), "%04d/%02d/%02d %02d:%02d:%02d.%03d [%-5.5s] %u - ",
                      now.year, now.month, now.day, now.hour, now.minute, now.second,
                      now.millisecond, LogLevelName(level), processId_);
    } else {
        std::snprintf(text, sizeof(text), "%04d/%02d/%02d %02d:%02d:%02d.%03d [%-5.5s] - ",
                      now.year, now.month, now.day, now.hour, now.minute, now.second,
                      now.millisecond, LogLevelName(level));
    }
    return text;
}

void CBBLog::compose(const std::wstring& message, int level) {
    std::string line = prefix(level);
    if (level == 0) {
        line += processName_;
        line += " - ";
    }
    line += wideToUtf8(message);
    line += '\n';
    if (fileEnabled_ || memoryBudget_ > 0) queueLine(line);
    if (level == 0) WriteError(line);
}

void CBBLog::queueLine(const std::string& line) {
    PScopedLock guard(queueLock_);
    if (memoryBudget_ == 0) {
        if (pendingBytes_ + line.size() > kMaxPendingBytes) {
            ++droppedLines_;
            return;
        }
        queueDropNoteLocked();
        queue_.push_back(line);
        queuedBytes_ += static_cast<uint32_t>(line.size());
        pendingBytes_ += line.size();
    } else {
        queue_.push_back(line);
        queuedBytes_ += static_cast<uint32_t>(line.size());
        if (queuedBytes_ > memoryBudget_) {
            // The marker was never counted, so it is not taken off the count either.
            if (markerAtFront_) {
                queue_.pop_front();
                markerAtFront_ = false;
            }
            while (queuedBytes_ > memoryBudget_ && !queue_.empty()) {
                queuedBytes_ -= static_cast<uint32_t>(queue_.front().size());
                queue_.pop_front();
            }
            queue_.push_front(kDroppedMarker);
            markerAtFront_ = true;
        }
    }
    queueLock_.broadcast();
}

void CBBLog::queueDropNoteLocked() {
    if (droppedLines_ == 0) return;
    // Written whatever the threshold: the lines it counts had passed it. Not counted against
    // the limit, so that it is never dropped itself.
    char text[160];
    std::snprintf(text, sizeof(text),
                  "CBBLog::Log : %llu lines dropped while the log writer was %zu MiB behind\n",
                  static_cast<unsigned long long>(droppedLines_), kMaxPendingBytes >> 20);
    const std::string note = prefix(LOG_LEVEL_WARN) + text;
    queue_.push_back(note);
    pendingBytes_ += note.size();
    droppedLines_ = 0;
}

void* CBBLog::WriterLoop(void* /*unused*/) {
    queueLock_.lock();
    for (;;) {
        while (!stopping_ && queue_.empty()) queueLock_.wait();
        // Lines queued before the stop request are all written before the loop ends.
        while (!queue_.empty()) {
            std::string line = std::move(queue_.front());
            queue_.pop_front();
            queueLock_.unlock();
            try {
                logFile_.append(line);
            } catch (...) {
            }
            queueLock_.lock();
            pendingBytes_ -= line.size();
        }
        if (stopping_) break;
    }
    queueLock_.unlock();
    return nullptr;
}
