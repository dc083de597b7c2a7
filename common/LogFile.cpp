#include "common/LogFile.h"

#include <sys/stat.h>

#include "platform/FileSystem.h"
#include "platform/Shell.h"

namespace {

const std::chrono::seconds kReopenInterval(30);

uint32_t sizeOf(FILE* file) {
    struct stat info;
    if (fstat(fileno(file), &info) != 0 || info.st_size < 0) return 0;
    return info.st_size > static_cast<off_t>(UINT32_MAX) ? UINT32_MAX
                                                         : static_cast<uint32_t>(info.st_size);
}

}  // namespace

LogFile::LogFile() : file_(nullptr), size_(0) {}

LogFile::~LogFile() {
    close();
}

void LogFile::start(const std::wstring& path) {
    close();
    basePath_ = path;
    path_ = path;
    size_ = 0;
    uint64_t existing = 0;
    if (platform::CreateFileAndGetSize(path, &existing) && existing > kRotateBytes) {
        // When the copy fails (a full disk) the file is kept: its size, counted below, makes the
        // first line move it aside, which needs no space.
        if (platform::CopyFileReplace(path, path + L".back")) platform::DeleteFile(path);
    }
    // Counted from what the opened file already holds, which for a fallback name need not be
    // what the first name held.
    if (openFirstName()) size_ = sizeOf(file_);
}

void LogFile::append(const std::string& line) {
    if (file_ == nullptr) {
        if (basePath_.empty() || std::chrono::steady_clock::now() < nextOpenAttempt_) return;
        if (!openFirstName()) return;
        size_ = sizeOf(file_);
    }
    fwrite(line.data(), 1, line.size(), file_);
    fflush(file_);
    // The counter counts the line as given; where text mode stores "\n" as CR LF the file grows
    // faster than the counter.
    const uint64_t total = static_cast<uint64_t>(size_) + line.size();
    size_ = total > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(total);
    if (size_ >= kRotateBytes) rotate();
}

void LogFile::close() {
    if (file_ != nullptr) {
        fclose(file_);
        file_ = nullptr;
    }
}

bool LogFile::openFirstName() {
    for (int attempt = 0; attempt < 10; ++attempt) {
        path_ = attempt == 0 ? basePath_ : basePath_ + static_cast<wchar_t>(L'0' + attempt);
        file_ = platform::OpenFileForAppend(path_);
        if (file_ != nullptr) return true;
    }
    nextOpenAttempt_ = std::chrono::steady_clock::now() + kReopenInterval;
    return false;
}

void LogFile::rotate() {
    close();
    // The backup's name must still fit a path, as the name it came from did.
    const std::wstring backup = path_.substr(0, platform::kMaxPath - 5) + L".back";
    // A failed move leaves the lines where they are; the reopened file then grows again.
    platform::MoveFileReplace(path_, backup);
    openFirstName();
    size_ = 0;
}
