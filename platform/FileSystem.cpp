#include "platform/FileSystem.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/NativePath.h"

namespace platform {
namespace {

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool copyFile(const std::string& from, const std::string& to) {
    const int source = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (source < 0) return false;
    struct stat info;
    if (fstat(source, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(source);
        return false;
    }
    const int target = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (target < 0) {
        close(source);
        return false;
    }
    bool ok = true;
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(source, buffer, sizeof(buffer));
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        if (!writeAll(target, buffer, static_cast<size_t>(got))) {
            ok = false;
            break;
        }
    }
    if (fsync(target) != 0) ok = false;
    if (close(target) != 0) ok = false;
    close(source);
    return ok;
}

}  // namespace

bool CreateFolder(const std::wstring& path) {
    const std::string native = ToNativePath(path);
    if (mkdir(native.c_str(), 0755) == 0) return true;
    struct stat info;
    return errno == EEXIST && stat(native.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool CreateFileAndGetSize(const std::wstring& path, uint64_t* size) {
    const int fd = open(ToNativePath(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    struct stat info;
    const bool ok = fstat(fd, &info) == 0;
    if (ok) *size = static_cast<uint64_t>(info.st_size);
    close(fd);
    return ok;
}

FILE* OpenFileForAppend(const std::wstring& path) {
    // "e": not inherited by processes that the host starts.
    return fopen(ToNativePath(path).c_str(), "ae");
}

bool CopyFileReplace(const std::wstring& from, const std::wstring& to) {
    return copyFile(ToNativePath(from), ToNativePath(to));
}

bool MoveFileReplace(const std::wstring& from, const std::wstring& to) {
    const std::string source = ToNativePath(from);
    const std::string target = ToNativePath(to);
    if (rename(source.c_str(), target.c_str()) == 0) return true;
    if (errno != EXDEV) return false;
    return copyFile(source, target) && unlink(source.c_str()) == 0;
}

bool DeleteFile(const std::wstring& path) {
    return unlink(ToNativePath(path).c_str()) == 0;
}

bool IsFileAtPath(FILE* file, const std::wstring& path) {
    struct stat opened;
    struct stat named;
    return fstat(fileno(file), &opened) == 0 && stat(ToNativePath(path).c_str(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

uint64_t OpenFileSize(FILE* file) {
    struct stat info;
    if (fstat(fileno(file), &info) != 0 || info.st_size < 0) return 0;
    return static_cast<uint64_t>(info.st_size);
}

FileLock::FileLock(FILE* file) : fd_(fileno(file)) {
    while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
}

FileLock::~FileLock() {
    flock(fd_, LOCK_UN);
}

}  // namespace platform
