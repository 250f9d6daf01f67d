// The last value of every point element, when it was last read well, and
// what became of its last read; and each panel's state. Written with what
// the panels' workers report, read by every front end (Modbus now), each
// panel behind its own lock so that a reader never waits for the line.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zulgate {

using Clock = std::chrono::steady_clock;

enum class Quality : std::uint8_t {
    NeverRead,   // nothing read yet
    Good,        // read (or written) at readAt
    ReadFailed,  // the last read of it failed
    PanelAway,   // its panel does not answer, or its device is gone
    WrittenNear, // another point's write changed its bytes: read again before it is served
};
const char* QualityName(Quality quality);

struct StoredValue {
    std::uint32_t raw = 0; // 16-bit value, bit (0/1), or the 32 bits of L, F and D
    Clock::time_point readAt{};
    Quality quality = Quality::NeverRead;
};

enum class PanelState {
    Starting, // its first ColdStart has not run yet
    Up,       // polled
    Silent,   // the device is there, the panel does not answer: probed
    Gone,     // the port's device does not exist (or cannot be opened): watched
    Stopped,
};
const char* PanelStateName(PanelState state);

struct CycleStats {
    std::uint64_t cycles = 0;       // poll cycles completed
    Clock::duration lastDuration{}; // of the last complete cycle
    int lastRequests = 0;           // block reads it made
    int lastFailed = 0;             // of which failed
    std::uint64_t requests = 0;     // every driver request for this panel
    Clock::time_point lastEnd{};
};

struct PanelStatus {
    PanelState state = PanelState::Starting;
    Clock::time_point since{};
    std::string detail; // why, in words, when it is not up
    CycleStats cycle;
};

struct PanelSnapshot {
    PanelStatus status;
    std::vector<StoredValue> values;
};

class PointStore {
public:
    // One entry per panel: how many values it keeps, and how old a value may
    // be and still be served as current.
    PointStore(const std::vector<std::size_t>& valueCounts, const std::vector<Clock::duration>& staleAfter);

    std::size_t Panels() const { return panels_.size(); }

    // Driver thread.
    struct Update {
        std::size_t value;
        std::uint32_t raw;
    };
    void Store(std::size_t panel, const std::vector<Update>& updates, Clock::time_point at);
    // New values of elements whose read time and quality stay as they are
    // (a write changed some of their bits).
    void Revise(std::size_t panel, const std::vector<Update>& updates);
    void MarkFailed(std::size_t panel, const std::vector<std::size_t>& values, Quality why);
    void MarkAll(std::size_t panel, Quality why);
    void SetState(std::size_t panel, PanelState state, const std::string& detail, Clock::time_point at);
    void SetCycle(std::size_t panel, const CycleStats& cycle);

    // Front ends. Copies the values asked for (in that order).
    void Read(std::size_t panel, const std::vector<std::size_t>& values, std::vector<StoredValue>& out) const;
    // Whether a value may be served as the panel's current one.
    bool Current(std::size_t panel, const StoredValue& value, Clock::time_point now) const;
    PanelStatus Status(std::size_t panel) const;
    PanelSnapshot Snapshot(std::size_t panel) const;

private:
    struct Panel {
        mutable std::mutex mutex;
        std::vector<StoredValue> values;
        PanelStatus status;
        Clock::duration staleAfter{};
    };
    std::vector<std::unique_ptr<Panel>> panels_;
};

} // namespace zulgate
