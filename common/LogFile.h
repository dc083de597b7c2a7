// One file of the log: appended to line by line, flushed after every line, and moved aside to
// "<name>.back" once 524288 bytes have been written to it.
//
// When the file cannot be opened under its own name, the names with a digit 1 to 9 appended are
// tried in turn ("ZOVOzudo.log1" ...). When none opens, lines are dropped (never written through
// a closed handle), and the names are tried again at most every 30 seconds.
//
// Not thread-safe: the owner serialises every call.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

class LogFile {
  public:
    static constexpr uint32_t kRotateBytes = 524288;

    LogFile();
    ~LogFile();

    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Moves |path| to |path|.back when it holds more than kRotateBytes (a file of exactly
    // kRotateBytes is kept), then opens it, or the first of the other nine names that opens.
    void start(const std::wstring& path);

    // Writes |line| and flushes; once the bytes written reach kRotateBytes the file is closed,
    // moved to "<name>.back" (replacing it) and opened anew.
    void append(const std::string& line);

    void close();

    bool isOpen() const { return file_ != nullptr; }
    // The name last tried to open.
    const std::wstring& path() const { return path_; }
    // Bytes written since the file was opened or moved aside.
    uint32_t size() const { return size_; }

  private:
    bool openFirstName();
    void rotate();

    std::wstring basePath_;
    std::wstring path_;
    FILE* file_;  // owned
    uint32_t size_;
    std::chrono::steady_clock::time_point nextOpenAttempt_;
};
