#include "tools/Output.h"

namespace cli {

bool Output::write(const char* data, size_t size) {
    if (failure_ != 0) return false;
    if (std::fwrite(data, 1, size, file_) == size) return true;
    failure_ = errno != 0 ? errno : EIO;
    return false;
}

bool Output::flush() {
    if (failure_ != 0) return false;
    if (std::fflush(file_) == 0) return true;
    failure_ = errno != 0 ? errno : EIO;
    return false;
}

}  // namespace cli
