// A log that keeps every line with its level, from any thread; a Recorder makes it the global log.
#pragma once

#include <cstdarg>
#include <cwchar>
#include <mutex>
#include <string>
#include <vector>

#include <boost/format.hpp>
#include <boost/make_shared.hpp>

#include "common/CBBLog.h"
#include "common/Log.h"

namespace recording_log {

class RecordingLog : public CBBLog {
  public:
    RecordingLog() : CBBLog(1 << 16, false) {}
    void Log(boost::wformat message, int level) override { add(level, message.str()); }
    void LogV(const wchar_t* format, va_list args, int level) override {
        wchar_t text[2048];
        std::vswprintf(text, 2048, format, args);
        add(level, text);
    }
    using CBBLog::Log;

    // "LEVEL text" lines, in order; with |level| >= 0 only the lines of that level, as "text".
    std::vector<std::wstring> lines(int level = -1) {
        std::lock_guard<std::mutex> guard(mutex_);
        std::vector<std::wstring> out;
        for (const auto& [lineLevel, text] : lines_)
            if (level < 0 || lineLevel == level)
                out.push_back(level < 0 ? std::to_wstring(lineLevel) + L" " + text : text);
        return out;
    }

    void add(int level, std::wstring text) {
        std::lock_guard<std::mutex> guard(mutex_);
        lines_.emplace_back(level, std::move(text));
    }
    std::mutex mutex_;
    std::vector<std::pair<int, std::wstring>> lines_;
};

struct Recorder {
    Recorder() { SetGlobalLog(log_); }
    ~Recorder() { SetGlobalLog(boost::shared_ptr<CBBLog>()); }
    RecordingLog& log() { return *log_; }
    const boost::shared_ptr<RecordingLog> log_ = boost::make_shared<RecordingLog>();
};

}  // namespace recording_log
