#include "common/Log.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include <boost/weak_ptr.hpp>

#include "common/CBBLog.h"
#include "common/TextConversion.h"

namespace {

// The weak reference is copied under a mutex: a boost::weak_ptr is not safe to read while
// another thread replaces it, and SetGlobalLog runs on whichever thread creates a plug-in.
std::mutex& globalLogMutex() {
    static std::mutex mutex;
    return mutex;
}

boost::weak_ptr<CBBLog>& globalLog() {
    static boost::weak_ptr<CBBLog> log;
    return log;
}

// The threshold of the current log, so that a line below it is turned away without the mutex
// and the weak reference: (generation << 32) | (threshold + 1), where the generation counts the
// calls of SetGlobalLog and a low half of 0 means "not known yet". A thread that read the
// threshold of a log that has been replaced since cannot store it: the generation differs.
std::atomic<uint64_t> cachedThreshold{0};

constexpr uint64_t kThresholdMask = 0xFFFFFFFFu;

// The live log if a line of |level| may pass its threshold, else null.
boost::shared_ptr<CBBLog> logFor(int level) {
    uint64_t cached = cachedThreshold.load(std::memory_order_acquire);
    const uint64_t known = cached & kThresholdMask;
    if (known != 0 && level > static_cast<int>(known) - 1) return nullptr;

    boost::shared_ptr<CBBLog> log = GetGlobalLog();
    if (log) {
        const int threshold = log->GetThreshold();
        if (threshold >= 0) {
            const uint64_t update =
                (cached & ~kThresholdMask) | static_cast<uint32_t>(threshold + 1);
            cachedThreshold.compare_exchange_strong(cached, update, std::memory_order_acq_rel);
        }
        if (threshold != -1 && threshold < level) log.reset();
    }
    return log;
}

int rtmpLogLevel(int level) {
    return level == 0 ? LOG_LEVEL_DEBUG : level == 2 ? LOG_LEVEL_WARN : LOG_LEVEL_ERROR;
}

void forward(int level, const boost::wformat& message) {
    if (boost::shared_ptr<CBBLog> log = logFor(level)) log->Log(message, level);
}

void forwardV(int level, const wchar_t* format, va_list args) {
    if (boost::shared_ptr<CBBLog> log = logFor(level)) log->LogV(format, args, level);
}

}  // namespace

const char* LogLevelName(int level) {
    static const char* const kNames[] = {"FATAL", "ERROR", "WARN", "INFO", "DEBUG"};
    return level >= 0 && level <= 4 ? kNames[level] : "";
}

void SetGlobalLog(boost::shared_ptr<CBBLog> log) {
    std::lock_guard<std::mutex> guard(globalLogMutex());
    globalLog() = log;
    const uint64_t generation = (cachedThreshold.load(std::memory_order_relaxed) >> 32) + 1;
    cachedThreshold.store(generation << 32, std::memory_order_release);
}

boost::shared_ptr<CBBLog> GetGlobalLog() {
    std::lock_guard<std::mutex> guard(globalLogMutex());
    return globalLog().lock();
}

bool LogEnabled(int level) { return static_cast<bool>(logFor(level)); }

void LogDebug(const boost::wformat& message) { forward(LOG_LEVEL_DEBUG, message); }
void LogInfo(const boost::wformat& message) { forward(LOG_LEVEL_INFO, message); }
void LogWarn(const boost::wformat& message) { forward(LOG_LEVEL_WARN, message); }
void LogError(const boost::wformat& message) { forward(LOG_LEVEL_ERROR, message); }
void LogFatal(const boost::wformat& message) { forward(LOG_LEVEL_FATAL, message); }

#define ZOVOZUDO_LOG_PRINTF(name, level)      \
    void name(const wchar_t* format, ...) {   \
        va_list args;                         \
        va_start(args, format);               \
        forwardV(level, format, args);        \
        va_end(args);                         \
    }

ZOVOZUDO_LOG_PRINTF(LogDebug, LOG_LEVEL_DEBUG)
ZOVOZUDO_LOG_PRINTF(LogInfo, LOG_LEVEL_INFO)
ZOVOZUDO_LOG_PRINTF(LogWarn, LOG_LEVEL_WARN)
ZOVOZUDO_LOG_PRINTF(LogError, LOG_LEVEL_ERROR)
ZOVOZUDO_LOG_PRINTF(LogFatal, LOG_LEVEL_FATAL)

#undef ZOVOZUDO_LOG_PRINTF

void RtmpLog(int level, const char* format, ...) {
    const int logLevel = rtmpLogLevel(level);
    // Skip the formatting when nobody would read the line.
    boost::shared_ptr<CBBLog> log = logFor(logLevel);
    if (!log) return;

    char text[1024] = {0};
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);

    log->Log(boost::wformat(L"%s") % utf8ToWide(text), logLevel);
}

bool RtmpLogEnabled(int level) { return static_cast<bool>(logFor(rtmpLogLevel(level))); }
