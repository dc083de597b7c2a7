// Results on standard output. A reader that went away (`zovozudo frames X | head`) is an
// ordinary way for output to end and is told apart from a real write failure; SIGPIPE must be
// ignored for that, which main does.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <string>

namespace cli {

class Output {
  public:
    // |file| must stay open while the object is in use.
    explicit Output(std::FILE* file) : file_(file) {}

    // False once nothing more can be written; the caller then stops producing output.
    bool write(const char* data, size_t size);
    bool write(const std::string& text) { return write(text.data(), text.size()); }
    // Writes out what is buffered; false as write.
    bool flush();

    // Whether output failed because its reader closed the pipe.
    bool readerGone() const { return failure_ == EPIPE; }
    // The errno of the failure, or 0.
    int failure() const { return failure_; }

  private:
    std::FILE* const file_;
    int failure_ = 0;
};

}  // namespace cli
