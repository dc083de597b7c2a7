// The plug-in's log: time-stamped, levelled UTF-8 lines appended to a file under the common
// application-data folder ("Dessaro/Logs/"), with FATAL lines copied into "VantoErrors.log".
//
// Threads: any thread may log. A line is formatted on the calling thread and queued; one writer
// thread appends it to the file, flushes and rotates. FATAL lines are also written to the error
// log on the calling thread, under the init lock. The log creates nothing on disk until the first
// line that passes its threshold ("LogLevel" under "Software\Dessaro\Vanto"; 1 when missing).
//
// Every line queued before the destructor runs is in the file when it returns. No operation
// reports an error or lets an exception out: a line that cannot be written is dropped. When the
// writer falls 8 MiB behind (a disk that stalls), new lines are dropped until it catches up, and
// a WARN line then says how many were lost.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>

#include <atomic>

#include <boost/format.hpp>

#include "common/LogFile.h"
#include "common/Threads.h"

class CBBLog {
  public:
    // A log written to |fileName| in the log folder. Does no I/O.
    explicit CBBLog(const std::wstring& fileName);
    // The memory form: with a budget above 0 lines are only kept in the queue, the oldest
    // dropped (behind a "[...]" marker) once their bytes exceed the budget. With a budget of 0
    // it is a file log named after the process ("<process>.log").
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
    friend class CBBLogTestPeer;

    // Returns false when a line of |level| is not written.
    bool passesThreshold(int level);
    // True when lines have somewhere to go once the log is initialised.
    bool ensureInitialised();
    void initialiseLocked();
    // The time stamp and level field that begin every line.
    std::string prefix(int level) const;
    void compose(const std::wstring& message, int level);
    void queueLine(const std::string& line);
    // Queues a WARN line that counts the lines dropped since the last one, if any.
    void queueDropNoteLocked();
    void* WriterLoop(void* unused);

    std::wstring fileName_;
    LogFile logFile_;    // after initialisation used by the writer thread only
    LogFile errorFile_;  // guarded by initLock_
    std::atomic<int> threshold_;
    unsigned int memoryBudget_;
    // Set, with release ordering, once the fields below it that initialisation fills are final.
    std::atomic<bool> initialised_;
    bool fileEnabled_;
    bool errorLogEnabled_;
    std::string processName_;
    PMutex initLock_;
    bool showProcessId_;
    uint32_t processId_;
    PThread* writer_;  // owned; null until initialisation
    PCondMutex queueLock_;
    bool stopping_;                  // guarded by queueLock_
    std::deque<std::string> queue_;  // guarded by queueLock_
    uint32_t queuedBytes_;           // guarded by queueLock_; bytes ever queued (memory budget)
    size_t pendingBytes_;            // guarded by queueLock_; queued, not yet written
    bool markerAtFront_;             // guarded by queueLock_; queue_.front() is the "[...]" line
    uint64_t droppedLines_;          // guarded by queueLock_; dropped since the last note
};
