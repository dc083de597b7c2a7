// Makes a log that records every line the RTMP library sends through RtmpLog the process-wide
// log for the lifetime of the capture, so that tests can compare exact texts and levels.
// One capture at a time; not for tests that run in parallel within one process.
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
    RtmpLogCapture(const RtmpLogCapture&) = delete;
    RtmpLogCapture& operator=(const RtmpLogCapture&) = delete;

    // Each line as "<LEVEL> <text>", for example "WARN No playpath in URL!".
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> guard(log_->mutex);
        return log_->lines;
    }
    void clear() {
        std::lock_guard<std::mutex> guard(log_->mutex);
        log_->lines.clear();
    }

private:
    class Recorder : public CBBLog {
    public:
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
