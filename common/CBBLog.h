// The plug-in's log: time-stamped, levelled UTF-8 lines appended to a file under the common
// application-data folder ("Dessaro/Logs/"), with FATAL lines copied into "VantoErrors.log".
//
// Threads: any thread may log. A line is formatted on the calling thread and queued; one writer
// thread appends it to the file, flushes and rotates. FATAL lines are also written to the error
// log on the calling thread, under the init lock. The log creates nothing on disk until the first
// line that passes its threshold ("LogLevel" under "Software\Dessaro\Vanto"; 1 when missing).
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>

#include <atomic>

#include <boost/format.hpp>

#include "common/Threads.h"

class CBBLog {
public:
    // A log written to |fileName| in the log folder. Does no I/O.
    explicit CBBLog(const std::wstring& fileName);
    // The memory form: with a budget above 0 lines are only kept in the queue, the oldest
    // dropped (behind a "[...]" marker) once their bytes exceed the budget.
    CBBLog(unsigned int memoryBudget, bool showProcessId);
    // Writes every queued line, stops the writer and closes the files.
    virtual ~CBBLog();

    CBBLog(const CBBLog&) = delete;
    CBBLog& operator=(const CBBLog&) = delete;

    virtual void Log(int level, const wchar_t* format, ...);
    // At DEBUG level.
    virtual void Log(const wchar_t* format, ...);
    // The printf-style worker; text past 2047 wide characters is cut.
    virtual void LogV(const wchar_t* format, va_list args, int level);
    virtual void Log(boost::wformat message, int level);
    // Appends a finished line to the error log.
    virtual void WriteError(const std::string& line);

    // The level threshold, or -1 while it has not been read from the settings.
    int GetThreshold() const { return threshold_.load(std::memory_order_relaxed); }

private:
    // Returns false when a line of |level| is not written.
    bool passesThreshold(int level);
    void initialise();
    void compose(const std::wstring& message, int level);
    void queueLine(const std::string& line);
    void* WriterLoop(void* unused);

    std::wstring fileName_;
    FILE* logFile_;    // owned; after initialisation used by the writer thread only
    FILE* errorFile_;  // owned; guarded by initLock_
    std::atomic<int> threshold_;
    unsigned int memoryBudget_;
    bool initialised_;  // guarded by initLock_
    bool fileEnabled_;
    bool errorLogEnabled_;
    uint32_t logFileSize_;    // writer thread only
    uint32_t errorFileSize_;  // guarded by initLock_
    std::wstring logPath_;
    std::wstring errorPath_;
    std::string processName_;
    PMutex initLock_;
    bool showProcessId_;
    uint32_t processId_;
    PThread* writer_;  // owned; null until initialisation
    PCondMutex queueLock_;
    bool stopping_;                  // guarded by queueLock_
    std::deque<std::string> queue_;  // guarded by queueLock_
    uint32_t queuedBytes_;           // guarded by queueLock_
};
