// Makes a log that records each line of the RTMP library as "<LEVEL> <text>" the process-wide
// log for its lifetime. One capture at a time.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "common/CBBLog.h"
#include "common/Log.h"
#include "common/TextConversion.h"

class RtmpLogCapture {
  public:
    RtmpLogCapture() : log_(boost::make_shared<Recorder>()) { SetGlobalLog(log_); }
    ~RtmpLogCapture() { SetGlobalLog(boost::shared_ptr<CBBLog>()); }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> guard(log_->mutex);
        return log_->lines;
    }

  private:
    struct Recorder : CBBLog {
        Recorder() : CBBLog(1u << 20, false) {}
        using CBBLog::Log;
        void Log(boost::wformat message, int level) override {
            std::lock_guard<std::mutex> guard(mutex);
            lines.push_back(std::string(LogLevelName(level)) + " " + wideToUtf8(message.str()));
        }
        std::mutex mutex;
        std::vector<std::string> lines;
    };
    boost::shared_ptr<Recorder> log_;
};
