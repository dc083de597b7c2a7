// A fresh folder under $TMPDIR (or /tmp) for one test, removed with everything in it when the
// TempDir is destroyed.
#pragma once

#include <string>

class TempDir {
public:
    TempDir();
    ~TempDir();

    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // |relative| below the folder.
    std::string file(const std::string& relative) const { return path_ + "/" + relative; }

private:
    std::string path_;
};

// Whole-file helpers for tests. ReadTempFile gives "" for a missing file.
std::string ReadTempFile(const std::string& path);
void WriteTempFile(const std::string& path, const std::string& contents);
bool TempPathExists(const std::string& path);
bool TempPathIsFolder(const std::string& path);
