// The entry points through which every part of the plug-in logs. They look up the process-wide
// current log (a weak reference to the CBBLog that the newest plug-in object published), check
// its level and hand the message over; with no live log they return at once.
//
// Plug-in code passes wide formats (on this platform a wide string argument takes "%ls"); the
// RTMP library passes narrow printf formats through RtmpLog. All entry points are safe to call
// from any thread; a log is never destroyed during a call.
#pragma once

#include <boost/format.hpp>
#include <boost/shared_ptr.hpp>

class CBBLog;

enum LogLevel {
    LOG_LEVEL_FATAL = 0,
    LOG_LEVEL_ERROR = 1,
    LOG_LEVEL_WARN = 2,
    LOG_LEVEL_INFO = 3,
    LOG_LEVEL_DEBUG = 4,
};

// "FATAL", "ERROR", "WARN", "INFO" or "DEBUG"; "" for a level outside 0..4.
const char* LogLevelName(int level);

// Replaces the process-wide current log. Only a weak reference is kept.
void SetGlobalLog(boost::shared_ptr<CBBLog> log);

// The current log, or null when none is alive.
boost::shared_ptr<CBBLog> GetGlobalLog();

// True when a line of |level| would pass the current log's threshold; false with no live log.
// A boost::wformat is formatted as it is built, before the entry point can look at the level,
// so code that logs in a loop asks first:
//
//     if (LogEnabled(LOG_LEVEL_DEBUG)) LogDebug(boost::wformat(L"... %s") % expensive());
//
// The printf-style entry points and RtmpLog check the level before they format.
bool LogEnabled(int level);

void LogDebug(const boost::wformat& message);
void LogInfo(const boost::wformat& message);
void LogWarn(const boost::wformat& message);
void LogError(const boost::wformat& message);
void LogFatal(const boost::wformat& message);

void LogDebug(const wchar_t* format, ...);
void LogInfo(const wchar_t* format, ...);
void LogWarn(const wchar_t* format, ...);
void LogError(const wchar_t* format, ...);
void LogFatal(const wchar_t* format, ...);

// The RTMP library's logging call. Level 0 is written at DEBUG, 2 at WARN, any other at ERROR.
// The text is cut to 1023 bytes and decoded as UTF-8 up to its first invalid byte.
void RtmpLog(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// True when RtmpLog(|level|, ...) would write a line.
bool RtmpLogEnabled(int level);
