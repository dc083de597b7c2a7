#include "support/TempDir.h"

#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    return remove(path);
}

}  // namespace

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    path_ = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/zovozudo-XXXXXX";
    if (mkdtemp(&path_[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
    nftw(path_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string ReadTempFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

void WriteTempFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!(out << contents)) throw std::runtime_error("cannot write " + path);
}

bool TempPathExists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}
