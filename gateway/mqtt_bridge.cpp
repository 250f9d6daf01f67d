#include "gateway/mqtt_bridge.h"

#include <mosquitto.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace zulgate {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int QoS = 1;
constexpr auto ScanEvery = milliseconds(200);
constexpr auto ConnectWait = seconds(10); // for the broker's CONNACK
constexpr auto LongestBackoff = seconds(30);
constexpr int MostOutstanding = 1000; // unacknowledged messages before changes wait
constexpr std::size_t MostPendingWrites = 64;
constexpr int LongestSetPayload = 64;
constexpr auto StopWait = seconds(2);

std::string ErrorText(int rc) {
    if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
    return mosquitto_strerror(rc);
}

std::string OutcomeText(WriteOutcome outcome) {
    switch (outcome) {
    case WriteOutcome::Written:
        return "ok";
    case WriteOutcome::Refused:
        return "refused by the panel";
    case WriteOutcome::NoAnswer:
        return "no usable answer from the panel: it may not have been written";
    case WriteOutcome::PanelAway:
        return "not written: the panel is away";
    case WriteOutcome::TimedOut:
        return "not written: not taken within write_timeout_ms";
    case WriteOutcome::Stopping:
        return "not written: the gateway is stopping";
    }
    return "not written";
}

} // namespace

MqttBridge::MqttBridge(const MqttConfig& config, const std::vector<ServedPanel>& panels, const PointStore& store,
                       WriteQueue& writes, Metrics& metrics, Log& log)
    : config_(config),
      panels_(panels),
      store_(store),
      writes_(writes),
      metrics_(metrics),
      log_(log),
      statusTopic_(config.topicPrefix + "/status") {
    for (std::size_t i = 0; i < panels_.size(); ++i) {
        byName_[panels_[i].name] = i;
        std::vector<Element> elements;
        const std::vector<MappedPoint>& points = panels_[i].map->Points();
        for (std::size_t p = 0; p < points.size(); ++p) {
            for (int k = 0; k < points[p].count; ++k) {
                elements.push_back(Element{ElementTopic(config.topicPrefix, panels_[i].name, points[p].name, k), p,
                                           points[p].firstValue + static_cast<std::size_t>(k)});
            }
        }
        sent_.emplace_back(elements.size());
        elements_.push_back(std::move(elements));
    }
}

MqttBridge::~MqttBridge() {
    Stop();
    if (mosq_) mosquitto_destroy(mosq_);
    mosquitto_lib_cleanup();
}

std::string MqttBridge::Broker() const {
    return (config_.host.find(':') != std::string::npos ? "[" + config_.host + "]" : config_.host) + ":" +
           std::to_string(config_.port);
}

bool MqttBridge::Start(std::string& error) {
    mosquitto_lib_init();
    mosq_ = mosquitto_new(config_.clientId.c_str(), true, this);
    if (!mosq_) {
        error = "mqtt: cannot make a client: " + std::string(std::strerror(errno));
        return false;
    }
    if (!config_.username.empty()) {
        std::string password;
        if (!config_.passwordFile.empty()) {
            std::ifstream in(config_.passwordFile);
            if (!in || !std::getline(in, password)) {
                error = "mqtt: cannot read the password file " + config_.passwordFile;
                return false;
            }
            if (!password.empty() && password.back() == '\r') password.pop_back();
        }
        mosquitto_username_pw_set(mosq_, config_.username.c_str(),
                                  config_.passwordFile.empty() ? nullptr : password.c_str());
    }
    if (!config_.tlsCa.empty()) {
        int rc = mosquitto_tls_set(mosq_, config_.tlsCa.c_str(), nullptr,
                                   config_.tlsCert.empty() ? nullptr : config_.tlsCert.c_str(),
                                   config_.tlsKey.empty() ? nullptr : config_.tlsKey.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            error = "mqtt: TLS files (tls_ca " + config_.tlsCa + "): " + ErrorText(rc);
            return false;
        }
    }
    int rc = mosquitto_will_set(mosq_, statusTopic_.c_str(), 7, "offline", QoS, true);
    if (rc != MOSQ_ERR_SUCCESS) {
        error = "mqtt: cannot set the will: " + ErrorText(rc);
        return false;
    }
    mosquitto_connect_callback_set(mosq_, [](mosquitto*, void* self, int code) {
        static_cast<MqttBridge*>(self)->OnConnect(code);
    });
    mosquitto_disconnect_callback_set(mosq_, [](mosquitto*, void* self, int code) {
        auto* bridge = static_cast<MqttBridge*>(self);
        if (code != 0 || !bridge->stopping_) bridge->Lost("the connection was lost", Clock::now());
    });
    mosquitto_publish_callback_set(mosq_, [](mosquitto*, void* self, int) {
        auto* bridge = static_cast<MqttBridge*>(self);
        if (bridge->outstanding_ > 0) --bridge->outstanding_;
    });
    mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* message) {
        static_cast<MqttBridge*>(self)->OnMessage(*message);
    });
    thread_ = std::thread([this] { Run(); });
    return true;
}

void MqttBridge::Run() {
    while (!stopping_) {
        Clock::time_point now = Clock::now();
        if (state_ == State::Disconnected && now >= nextAttempt_) Connect(now);
        if (state_ == State::Connecting && now >= connectDeadline_) {
            mosquitto_disconnect(mosq_);
            Lost("no answer to CONNECT within " + DurationText(ConnectWait), now);
        }
        if (state_ == State::Disconnected) {
            std::this_thread::sleep_for(milliseconds(100));
        } else {
            // Shorter turns while a write is out, so its result follows it closely.
            int rc = mosquitto_loop(mosq_, pending_.empty() ? 100 : 5, 1);
            if (rc != MOSQ_ERR_SUCCESS && state_ != State::Disconnected) Lost(ErrorText(rc), Clock::now());
        }
        now = Clock::now();
        if (state_ == State::Connected && (publishAll_ || now >= nextScan_)) {
            bool heartbeat = config_.heartbeat.count() > 0 && now >= nextHeartbeat_;
            if (heartbeat) nextHeartbeat_ = now + config_.heartbeat;
            bool all = publishAll_ || heartbeat;
            publishAll_ = false; // PublishPoints sets it again if it has to stop short
            PublishPoints(all, now);
            nextScan_ = now + ScanEvery;
        }
        CheckWrites(false, now);
    }
}

void MqttBridge::Connect(Clock::time_point now) {
    int rc = mosquitto_connect_async(mosq_, config_.host.c_str(), config_.port,
                                     static_cast<int>(config_.keepalive.count()));
    if (rc != MOSQ_ERR_SUCCESS) {
        // A refused or unreachable address fails at once: the same back-off.
        Lost(ErrorText(rc), now);
        return;
    }
    state_ = State::Connecting;
    connectDeadline_ = now + ConnectWait;
}

void MqttBridge::Lost(const std::string& why, Clock::time_point now) {
    if (state_ == State::Disconnected && nextAttempt_ > now) return; // said already
    bool wasUp = state_ == State::Connected;
    state_ = State::Disconnected;
    if (wasUp) metrics_.MqttConnected(false);
    nextAttempt_ = now + backoff_;
    std::string again = "trying again in " + DurationText(backoff_);
    backoff_ = std::min<Clock::duration>(backoff_ * 2, LongestBackoff);
    if (stopping_) return;
    if (wasUp) {
        log_.Say(Level::Warning, "mqtt", "broker " + Broker() + ": " + why + "; " + again);
        episodes_.Failed("broker", why, now);
    } else if (episodes_.Failed("broker", why, now)) {
        log_.Say(Level::Warning, "mqtt",
                 "broker " + Broker() + ": cannot connect (" + why + "); " + again + ", then at most every " +
                     DurationText(LongestBackoff) + "; Modbus and the polls go on");
    } else if (log_.Shows(Level::Debug)) {
        log_.Say(Level::Debug, "mqtt", "broker " + Broker() + ": " + why + "; " + again);
    }
}

void MqttBridge::OnConnect(int rc) {
    Clock::time_point now = Clock::now();
    if (rc != 0) {
        mosquitto_disconnect(mosq_);
        Lost(mosquitto_connack_string(rc), now);
        return;
    }
    state_ = State::Connected;
    metrics_.MqttConnected(true);
    backoff_ = seconds(1);
    outstanding_ = 0;
    std::optional<Episodes::Ended> back = episodes_.Succeeded("broker", now);
    log_.Say(Level::Info, "mqtt",
             "connected to broker " + Broker() + " as " + config_.clientId + ", topics " + config_.topicPrefix +
                 "/..." +
                 (back ? " (after " + std::to_string(back->failures) + " failures over " + DurationText(back->lasted) +
                             ")"
                       : ""));
    Publish(statusTopic_, "online", true);
    for (const char* pattern : {"/+/+/set", "/+/+/+/set"}) {
        std::string topic = config_.topicPrefix + pattern;
        mosquitto_subscribe(mosq_, nullptr, topic.c_str(), QoS);
    }
    publishAll_ = true; // the broker may have lost what it held
    nextHeartbeat_ = now + config_.heartbeat;
}

bool MqttBridge::Publish(const std::string& topic, const std::string& payload, bool retain) {
    int rc = mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), QoS,
                               retain);
    if (rc != MOSQ_ERR_SUCCESS) return false;
    ++outstanding_;
    metrics_.MqttMessage(true);
    return true;
}

void MqttBridge::PublishPoints(bool all, Clock::time_point now) {
    auto wallNow = std::chrono::system_clock::now();
    for (std::size_t panel = 0; panel < panels_.size(); ++panel) {
        PanelSnapshot snapshot = store_.Snapshot(panels_[panel].index);
        const std::vector<MappedPoint>& points = panels_[panel].map->Points();
        for (std::size_t e = 0; e < elements_[panel].size(); ++e) {
            if (outstanding_ >= MostOutstanding) {
                publishAll_ = publishAll_ || all; // the rest on a later scan
                return;
            }
            const Element& element = elements_[panel][e];
            const StoredValue& value = snapshot.values[element.value];
            Published quality = PublishedOf(value, store_.Current(panels_[panel].index, value, now));
            Sent& sent = sent_[panel][e];
            bool changed = !sent.sent || sent.quality != quality ||
                           (quality != Published::Bad && sent.raw != value.raw);
            if (!all && !changed) continue;
            auto readAt = wallNow - std::chrono::duration_cast<std::chrono::system_clock::duration>(now - value.readAt);
            if (Publish(element.topic, ValueJson(points[element.point], value, quality, readAt), true))
                sent = Sent{true, quality, value.raw}; // else again on the next scan
        }
    }
}

void MqttBridge::OnMessage(const mosquitto_message& message) {
    metrics_.MqttMessage(false);
    std::string topic = message.topic ? message.topic : "";
    if (topic.size() < 4 || topic.compare(topic.size() - 4, 4, "/set") != 0) return;
    std::string resultTopic = topic.substr(0, topic.size() - 4) + "/result";
    std::string what = topic.substr(config_.topicPrefix.size() + 1, topic.size() - config_.topicPrefix.size() - 5);
    std::string payload(static_cast<const char*>(message.payload), static_cast<std::size_t>(message.payloadlen));
    if (message.retain) {
        // A retained set would be written again on every reconnect.
        Result(resultTopic, "a retained set is not written: publish it without retain", what);
        return;
    }
    SetTopic set;
    auto panel = byName_.end();
    if (!ParseSetTopic(config_.topicPrefix, topic, set) || (panel = byName_.find(set.panel)) == byName_.end()) {
        Result(resultTopic, "no such point: not written", what);
        return;
    }
    const ServedPanel& served = panels_[panel->second];
    std::optional<std::size_t> index = served.map->FindName(set.point);
    if (!index) {
        Result(resultTopic, "no such point: not written", what);
        return;
    }
    const MappedPoint& point = served.map->Points()[*index];
    if (set.element >= point.count) {
        Result(resultTopic, point.name + " has " + std::to_string(point.count) + " elements: not written", what);
        return;
    }
    what += " = " + payload.substr(0, LongestSetPayload);
    std::uint32_t raw = 0;
    std::string why;
    if (message.payloadlen > LongestSetPayload) {
        Result(resultTopic, "not a JSON number: not written", what);
        return;
    }
    if (!ParseSet(point, payload, raw, why)) {
        Result(resultTopic, why, what);
        return;
    }
    if (pending_.size() >= MostPendingWrites) {
        Result(resultTopic, "not written: too many writes waiting", what);
        return;
    }
    WriteRequest request;
    request.panel = served.index;
    request.writes.push_back(PointWrite{*index, set.element, {raw}});
    pending_.push_back(
        PendingWrite{writes_.Submit(std::move(request)), Clock::now() + served.writeTimeout, resultTopic, what});
}

void MqttBridge::CheckWrites(bool giveUp, Clock::time_point now) {
    for (auto it = pending_.begin(); it != pending_.end();) {
        std::optional<WriteOutcome> outcome = it->ticket->Check(giveUp || now >= it->deadline);
        if (!outcome) {
            ++it;
            continue;
        }
        Result(it->resultTopic, OutcomeText(*outcome), it->what);
        if (*outcome == WriteOutcome::Written) nextScan_ = now; // its new value at once
        it = pending_.erase(it);
    }
}

void MqttBridge::Result(const std::string& topic, const std::string& text, const std::string& what) {
    if (log_.Shows(Level::Debug)) log_.Say(Level::Debug, "mqtt", "set " + what + ": " + text);
    if (state_ == State::Connected) Publish(topic, text, false);
}

void MqttBridge::Stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    thread_.join();
    if (state_ != State::Connected) return;
    CheckWrites(true, Clock::now());
    Publish(statusTopic_, "offline", true);
    auto until = Clock::now() + StopWait;
    while (outstanding_ > 0 && Clock::now() < until && mosquitto_loop(mosq_, 50, 1) == MOSQ_ERR_SUCCESS) {
    }
    mosquitto_disconnect(mosq_);
    mosquitto_loop(mosq_, 50, 1);
    state_ = State::Disconnected;
    metrics_.MqttConnected(false);
    log_.Say(Level::Info, "mqtt", "offline published, disconnected from " + Broker());
}

} // namespace zulgate
