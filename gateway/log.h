// The gateway's log: one line per event on stderr, "zulgate: LEVEL: WHO:
// text", WHO being the panel (or "modbus", or "gateway"). The driver's own
// lines come back with the result of the call that logged them and are said
// with the event they belong to, as "driver [64] ZUL01: ...".
// A failure that repeats is said when it begins and when it ends
// (Episodes), not every time.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/client/driver_result.h"

namespace zulgate {

enum class Level { Error, Warning, Info, Debug };
const char* LevelName(Level level);

using DriverLine = zulclient::DriverLine;

class Log {
public:
    explicit Log(Level threshold) : threshold_(threshold) {}
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    bool Shows(Level level) const { return level <= threshold_; }
    Level Threshold() const { return threshold_; }
    void Say(Level level, const std::string& who, const std::string& text);

private:
    Level threshold_;
    std::mutex outMutex_;
};

// Failures by what failed (a key) and why.
class Episodes {
public:
    using Clock = std::chrono::steady_clock;
    struct Ended {
        std::string reason;
        int failures = 0;
        Clock::duration lasted{};
    };
    // True when this failure begins an episode: the key was not failing, or
    // failed for another reason.
    bool Failed(const std::string& key, const std::string& reason, Clock::time_point now);
    // The episode that this success ends, if any.
    std::optional<Ended> Succeeded(const std::string& key, Clock::time_point now);
    bool Failing(const std::string& key) const { return open_.count(key) != 0; }

private:
    struct Open {
        std::string reason;
        int failures = 0;
        Clock::time_point began;
    };
    std::map<std::string, Open> open_;
};

std::string DurationText(std::chrono::steady_clock::duration d); // "850 ms", "12.3 s"

} // namespace zulgate
