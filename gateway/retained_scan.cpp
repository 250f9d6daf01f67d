#include "gateway/retained_scan.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "gateway/ha_discovery.h"
#include "gateway/mqtt_payload.h"

namespace zulgate {

std::vector<std::string> OwnTopics::Filters() const {
    std::vector<std::string> filters{prefix_ + "/#"};
    if (!discoveryPrefix_.empty()) filters.push_back(discoveryPrefix_ + "/+/+/+/config");
    return filters;
}

bool OwnTopics::Ours(std::string_view topic, std::string_view payload) const {
    if (OurDiscoveryConfig(topic, payload, discoveryPrefix_, prefix_)) return true;
    std::optional<std::vector<std::string_view>> below = LevelsBelow(prefix_, topic);
    if (!below) return false;
    const std::vector<std::string_view>& levels = *below;
    if (levels.size() != 2 && levels.size() != 3) return false;
    if (std::any_of(levels.begin(), levels.end(), [](std::string_view l) { return l.empty(); })) return false;
    if (levels.size() == 3 && !ElementLevel(levels[2])) return false;
    nlohmann::json value = nlohmann::json::parse(payload.begin(), payload.end(), nullptr, false);
    return value.is_object() && value.contains("value") && value.contains("quality");
}

void RetainedScan::Subscribed(Clock::time_point now) {
    stage_ = Stage::Subscribed;
    began_ = last_ = now;
    obsolete_.clear();
    ranOut_ = false;
}

void RetainedScan::Acknowledged(Clock::time_point now) {
    if (stage_ != Stage::Subscribed) return;
    stage_ = Stage::Listening;
    last_ = now;
}

void RetainedScan::Retained(std::string_view topic, std::string_view payload, Clock::time_point now) {
    if (!Running()) return;
    last_ = now;
    if (obsolete_.size() >= MostCleared || !own_.Ours(topic, payload)) return;
    std::string name(topic);
    if (!current_.count(name)) obsolete_.push_back(std::move(name));
}

bool RetainedScan::Over(Clock::time_point now) const {
    if (!Running()) return false;
    return now >= began_ + MostTime || (stage_ == Stage::Listening && now >= last_ + QuietFor);
}

RetainedScan::Clock::time_point RetainedScan::NextLook() const {
    if (!Running()) return Clock::time_point::max();
    Clock::time_point end = began_ + MostTime;
    return stage_ == Stage::Listening ? std::min(end, last_ + QuietFor) : end;
}

std::vector<std::string> RetainedScan::Finish(Clock::time_point now) {
    ranOut_ = now >= began_ + MostTime || obsolete_.size() >= MostCleared;
    stage_ = Stage::Finished;
    std::sort(obsolete_.begin(), obsolete_.end());
    obsolete_.erase(std::unique(obsolete_.begin(), obsolete_.end()), obsolete_.end());
    return std::move(obsolete_);
}

void RetainedScan::Interrupted() {
    if (Running()) stage_ = Stage::NotYet;
}

} // namespace zulgate
