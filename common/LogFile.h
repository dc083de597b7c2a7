// One file of the log: appended to line by line, flushed after every line, and moved aside to
// "<name>.back" once it holds 524288 bytes.
//
// Several writers (other processes, or other log objects of this one) may append to the same
// file. Before each line a writer checks that its open file is still the one at the name and
// opens the name anew when another writer has moved the file aside; the size that triggers the
// move is the file's own, whoever wrote it; and the move is made under a lock on the file by one
// writer only, so that a second writer cannot move the fresh file over the ".back" that holds
// everyone's older lines. A line is thus in the file or in ".back" until the next move.
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

    // Opens |path|, or the first of the other nine names that opens; a file holding more than
    // kRotateBytes (a file of exactly kRotateBytes is kept) is first moved to "<name>.back".
    void start(const std::wstring& path);

    // Writes |line| and flushes; once the file holds kRotateBytes or more it is moved to
    // "<name>.back" (replacing it) and opened anew.
    void append(const std::string& line);

    void close();

    bool isOpen() const { return file_ != nullptr; }
    // The name last tried to open.
    const std::wstring& path() const { return path_; }
    // The file's size after the last line written to it.
    uint32_t size() const { return size_; }

  private:
    bool openFirstName();
    void rotate();

    std::wstring basePath_;
    std::wstring path_;
    FILE* file_;  // owned
    uint32_t size_;
    // The size at which the file is moved aside: kRotateBytes, or after a move that failed
    // kRotateBytes beyond the size then, so that a file that cannot be moved is not tried at
    // every line.
    uint64_t rotateAt_;
    std::chrono::steady_clock::time_point nextOpenAttempt_;
};
