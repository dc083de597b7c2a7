// A fresh folder under $TMPDIR (or /tmp) for one test, removed with everything in it when the
// TempDir is destroyed; and whole-file helpers for tests.
#pragma once

#include <string>

class TempDir {
  public:
    TempDir();
    ~TempDir();

    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // |relative| below the folder.
    std::string file(const std::string& relative) const { return path_ + "/" + relative; }

  private:
    std::string path_;
};

// "" for a missing file.
std::string ReadTempFile(const std::string& path);
void WriteTempFile(const std::string& path, const std::string& contents);
bool TempPathExists(const std::string& path);
