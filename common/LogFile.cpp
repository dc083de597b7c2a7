#include "common/LogFile.h"

#include "platform/FileSystem.h"
#include "platform/Shell.h"

namespace {

const std::chrono::seconds kReopenInterval(30);

uint32_t clampedSize(uint64_t size) {
    return size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size);
}

}  // namespace

LogFile::LogFile() : file_(nullptr), size_(0), rotateAt_(kRotateBytes) {}

LogFile::~LogFile() {
    close();
}

void LogFile::start(const std::wstring& path) {
    close();
    basePath_ = path;
    path_ = path;
    size_ = 0;
    rotateAt_ = kRotateBytes;
    if (!openFirstName()) return;
    // Counted from what the opened file already holds, which for a fallback name need not be
    // what the first name held.
    const uint64_t existing = platform::OpenFileSize(file_);
    if (existing > kRotateBytes) {
        rotate();
    } else {
        size_ = clampedSize(existing);
    }
}

void LogFile::append(const std::string& line) {
    if (file_ == nullptr) {
        if (basePath_.empty() || std::chrono::steady_clock::now() < nextOpenAttempt_) return;
        if (!openFirstName()) return;
    } else if (!platform::IsFileAtPath(file_, path_)) {
        // Another writer moved the file aside: what is written there now would be lost at the
        // next move.
        close();
        rotateAt_ = kRotateBytes;
        if (!openFirstName()) return;
    }
    fwrite(line.data(), 1, line.size(), file_);
    fflush(file_);
    const uint64_t size = platform::OpenFileSize(file_);
    size_ = clampedSize(size);
    if (size >= rotateAt_) rotate();
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
    // The backup's name must still fit a path, as the name it came from did.
    const std::wstring backup = path_.substr(0, platform::kMaxPath - 5) + L".back";
    bool moved = true;
    {
        platform::FileLock lock(file_);
        // A writer that reached the size at the same time has moved the file already; moving
        // the fresh file that now stands at the name would throw the older lines away.
        if (platform::IsFileAtPath(file_, path_)) moved = platform::MoveFileReplace(path_, backup);
    }
    close();
    if (!openFirstName()) {
        size_ = 0;
        return;
    }
    const uint64_t size = platform::OpenFileSize(file_);
    size_ = clampedSize(size);
    // A failed move leaves the lines where they are; the reopened file then grows again.
    rotateAt_ = moved ? kRotateBytes : size + kRotateBytes;
}
