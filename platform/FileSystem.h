// The file services that the log's rotation needs: creating folders and files, opening a file
// for appending, copying, moving and deleting.
//
// Thin stand-ins for CreateDirectoryW, CreateFileW, _wfsopen, CopyFileW, MoveFileExW and
// DeleteFileW. Files are opened without any sharing restriction and are not inherited by child
// processes. Failures are reported as false (or null) only; all functions are safe on any thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace platform {

// Creates one folder (not its parents). True when the folder exists afterwards.
bool CreateFolder(const std::wstring& path);

// Opens |path| for reading and writing, creating it empty when missing, and stores its size.
bool CreateFileAndGetSize(const std::wstring& path, uint64_t* size);

// Opens |path| for appending text, creating it when missing; null on failure. The caller closes
// the result with fclose.
FILE* OpenFileForAppend(const std::wstring& path);

// Copies |from| over |to|, replacing an existing |to|; the copy is on the disk when this returns.
bool CopyFileReplace(const std::wstring& from, const std::wstring& to);

// Moves |from| to |to|, replacing an existing |to|. Where a rename cannot do it (another file
// system), copies, flushes the copy to the disk and only then deletes |from|.
bool MoveFileReplace(const std::wstring& from, const std::wstring& to);

bool DeleteFile(const std::wstring& path);

// Whether |path| still names the open |file| (the same file, not just the same name): false when
// the name is gone or names another file, as after another process moved the file aside.
bool IsFileAtPath(FILE* file, const std::wstring& path);

// The size of the open |file| as every process that writes it sees it; 0 when it cannot be told.
uint64_t OpenFileSize(FILE* file);

// Holds an exclusive advisory lock on an open file for its lifetime; other holders of the same
// file, in this or another process, wait. Stands in for LockFileEx.
class FileLock {
  public:
    explicit FileLock(FILE* file);
    ~FileLock();

    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

  private:
    const int fd_;
};

}  // namespace platform
