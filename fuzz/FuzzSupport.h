// What several fuzz targets share: a log that formats every line (so that the formatting code is
// fuzzed too) and then drops it, and a check that stops the run on a broken invariant.
#pragma once

#include <cstddef>
#include <cstdlib>

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>

#include "common/CBBLog.h"
#include "common/Log.h"

namespace fuzz_support {

inline void check(bool condition) {
    if (!condition) std::abort();
}

class DiscardingLog : public CBBLog {
public:
    DiscardingLog() : CBBLog(1u << 16, false) {}
    using CBBLog::Log;
    void Log(boost::wformat message, int) override { sink_ += message.str().size(); }

private:
    size_t sink_ = 0;
};

// Makes the discarding log the process-wide one, or, with |enabled| false, leaves none.
inline void installDiscardingLog(bool enabled = true) {
    static const boost::shared_ptr<CBBLog> log = boost::make_shared<DiscardingLog>();
    SetGlobalLog(enabled ? log : boost::shared_ptr<CBBLog>());
}

}  // namespace fuzz_support
