#include "host/tool/log_capture.h"

#include <cstdio>

#include "host/client/driver_log.h"
#include "host/korvan/korvan.h"

namespace zulhost {

LogCapture::LogCapture(LogMode mode) : mode_(mode) { korvan_set_sink(&LogCapture::Sink, this); }

LogCapture::~LogCapture() { korvan_set_sink(nullptr, nullptr); }

void LogCapture::Sink(int level, const char* text, void* context) {
    auto* self = static_cast<LogCapture*>(context);
    self->lines_.push_back({level, text ? text : ""});
    if (self->mode_ == LogMode::Verbose) {
        std::fprintf(stderr, "%s\n", Format(self->lines_.back()).c_str());
        self->shown_ = self->lines_.size();
    }
}

std::string LogCapture::Format(const LogLine& line) { return "[" + std::to_string(line.level) + "] " + line.text; }

std::optional<unsigned> LogCapture::PanelIdSince(std::size_t mark) const {
    for (std::size_t i = mark; i < lines_.size(); ++i) {
        if (std::optional<unsigned> id = zulclient::PanelIdIn(lines_[i].text)) return id;
    }
    return std::nullopt;
}

std::optional<int> LogCapture::HandshakeFailureSince(std::size_t mark) const {
    for (std::size_t i = mark; i < lines_.size(); ++i) {
        if (std::optional<int> rc = zulclient::HandshakeFailureIn(lines_[i].text)) return rc;
    }
    return std::nullopt;
}

void LogCapture::ShowAfterFailure(std::size_t mark) {
    if (mode_ != LogMode::OnFailure) return;
    for (std::size_t i = mark > shown_ ? mark : shown_; i < lines_.size(); ++i) {
        std::fprintf(stderr, "%s\n", Format(lines_[i]).c_str());
    }
    shown_ = lines_.size();
}

} // namespace zulhost
