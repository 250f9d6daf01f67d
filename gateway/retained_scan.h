// The start-up scan of what the broker holds below the gateway's topics.
// Once a run, after the current points are published and the broker has
// taken them, the gateway subscribes to its own topics, looks at the
// retained messages the broker sends for that subscription, and clears
// (with an empty retained message) each one it once published that its
// point lists no longer have: a point removed or renamed, a panel taken
// out. Left alone, such a topic would go on saying "good" with its last
// value for ever.
//
// MQTT has no end-of-retained marker: a broker sends them straight after
// its SUBACK, so the scan is over when none has come for QuietFor, and in
// any case MostTime after it subscribed.
#pragma once

#include <chrono>
#include <cstddef>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace zulgate {

// Which retained topics on the broker are this gateway's to clear.
class OwnTopics {
public:
    // With a discovery prefix, Home Assistant's configs are looked at too.
    explicit OwnTopics(std::string prefix, std::string discoveryPrefix = {})
        : prefix_(std::move(prefix)), discoveryPrefix_(std::move(discoveryPrefix)) {}
    // What to subscribe to, to be sent every topic it may have left.
    std::vector<std::string> Filters() const;
    // A point element's topic ("<prefix>/<panel>/<point>" or
    // ".../<point>/N") holding a point's JSON, or a discovery config whose
    // state topic is one of them: nothing else is touched.
    bool Ours(std::string_view topic, std::string_view payload) const;

private:
    std::string prefix_;
    std::string discoveryPrefix_;
};

class RetainedScan {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto QuietFor = std::chrono::seconds(1);
    static constexpr auto MostTime = std::chrono::seconds(10);
    static constexpr std::size_t MostCleared = 10000; // the rest at the next start

    // `current`: every topic the gateway publishes now.
    RetainedScan(OwnTopics own, std::set<std::string> current) : own_(std::move(own)), current_(std::move(current)) {}

    const OwnTopics& Own() const { return own_; }
    bool Due() const { return stage_ == Stage::NotYet; } // to be started
    bool Running() const { return stage_ == Stage::Subscribed || stage_ == Stage::Listening; }
    bool Finished() const { return stage_ == Stage::Finished; }

    void Subscribed(Clock::time_point now);   // the subscription is sent
    void Acknowledged(Clock::time_point now); // and the broker has answered it
    // A retained message the subscription brought.
    void Retained(std::string_view topic, std::string_view payload, Clock::time_point now);
    // Whether it is over now; when it next may be.
    bool Over(Clock::time_point now) const;
    Clock::time_point NextLook() const;
    // Over: the topics to clear; it is finished.
    std::vector<std::string> Finish(Clock::time_point now);
    bool RanOutOfTime() const { return ranOut_; }
    // The connection was lost before it was over: again after the next publication.
    void Interrupted();

private:
    enum class Stage { NotYet, Subscribed, Listening, Finished };
    OwnTopics own_;
    std::set<std::string> current_;
    Stage stage_ = Stage::NotYet;
    Clock::time_point began_{}, last_{};
    std::vector<std::string> obsolete_;
    bool ranOut_ = false;
};

} // namespace zulgate
