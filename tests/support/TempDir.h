// A fresh folder under $TMPDIR (or /tmp) for one test, removed with everything in it at the end.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

class TempDir {
  public:
    TempDir() : path_(std::filesystem::temp_directory_path() / "zovozudo-XXXXXX") {
        if (mkdtemp(&path_[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
    }
    ~TempDir() { std::filesystem::remove_all(path_, ignored_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string file(const std::string& relative) const { return path_ + "/" + relative; }

  private:
    std::string path_;
    std::error_code ignored_;
};

// "" for a missing file.
inline std::string ReadTempFile(const std::string& path) {
    std::ostringstream contents;
    contents << std::ifstream(path, std::ios::binary).rdbuf();
    return contents.str();
}

inline void WriteTempFile(const std::string& path, const std::string& contents) {
    if (!(std::ofstream(path, std::ios::binary) << contents)) throw std::runtime_error(path);
}
