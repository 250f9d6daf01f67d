#include "gateway/log.h"

#include <cstdio>

namespace zulgate {

const char* LevelName(Level level) {
    switch (level) {
    case Level::Error:
        return "error";
    case Level::Warning:
        return "warning";
    case Level::Info:
        return "info";
    case Level::Debug:
        return "debug";
    }
    return "?";
}

void Log::Say(Level level, const std::string& who, const std::string& text) {
    if (!Shows(level)) return;
    std::string line = std::string("zulgate: ") + LevelName(level) + ": " + who + ": " + text + "\n";
    std::lock_guard<std::mutex> lock(outMutex_);
    std::fputs(line.c_str(), stderr);
}

bool Episodes::Failed(const std::string& key, const std::string& reason, Clock::time_point now) {
    auto it = open_.find(key);
    if (it != open_.end() && it->second.reason == reason) {
        ++it->second.failures;
        return false;
    }
    open_[key] = Open{reason, 1, now};
    return true;
}

std::optional<Episodes::Ended> Episodes::Succeeded(const std::string& key, Clock::time_point now) {
    auto it = open_.find(key);
    if (it == open_.end()) return std::nullopt;
    Ended ended{it->second.reason, it->second.failures, now - it->second.began};
    open_.erase(it);
    return ended;
}

std::string DurationText(std::chrono::steady_clock::duration d) {
    double ms = std::chrono::duration<double, std::milli>(d).count();
    char text[32];
    if (ms < 1000) {
        std::snprintf(text, sizeof text, "%.0f ms", ms);
    } else {
        std::snprintf(text, sizeof text, "%.1f s", ms / 1000);
    }
    return text;
}

} // namespace zulgate
