#include "host/tool/log_capture.h"

#include <cstdio>

namespace zulhost {

LogCapture::LogCapture(LogMode mode) : mode_(mode) { zulclient::WatchDriverLines(&LogCapture::Watch, this); }

LogCapture::~LogCapture() { zulclient::WatchDriverLines(nullptr, nullptr); }

void LogCapture::Watch(const LogLine& line, void* context) {
    auto* self = static_cast<LogCapture*>(context);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->lines_.push_back(line);
    if (self->mode_ == LogMode::Verbose) {
        std::fprintf(stderr, "%s\n", Format(line).c_str());
        self->shown_ = self->lines_.size();
    }
}

std::vector<LogLine> LogCapture::Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

std::size_t LogCapture::Mark() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.size();
}

std::string LogCapture::Format(const LogLine& line) { return "[" + std::to_string(line.level) + "] " + line.text; }

void LogCapture::ShowAfterFailure(std::size_t mark) {
    if (mode_ != LogMode::OnFailure) return;
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = mark > shown_ ? mark : shown_; i < lines_.size(); ++i) {
        std::fprintf(stderr, "%s\n", Format(lines_[i]).c_str());
    }
    shown_ = lines_.size();
}

} // namespace zulhost
