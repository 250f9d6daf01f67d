#include "gateway/mqtt_bridge.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "gateway/text_file.h"
#include "zultrk_version.h"

namespace zulgate {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int QoS = 1;
constexpr auto ConnectWait = seconds(10); // for the broker's CONNACK
constexpr auto LongestBackoff = seconds(30);
// A connection that lasts this long ends a back-off; one that is dropped
// sooner (a client id clash, a broker that takes it and then closes it)
// doubles it. Longer than the longest back-off, so that two clients on one
// id, each coming back at most that often, keep each other backed off.
constexpr auto HeldAfter = 2 * LongestBackoff;
constexpr auto Housekeeping = seconds(1);      // keep-alive pings, at least this often
constexpr auto RetryAfter = milliseconds(200); // a publication libmosquitto refused
constexpr int MostOutstanding = 1000;          // unacknowledged messages before changes wait
constexpr std::size_t MostPendingWrites = 64;
constexpr int LongestSetPayload = 64;
constexpr auto StopWait = seconds(2);
constexpr int ListedCleared = 5; // topics named in the log line

std::string ErrorText(int rc) {
    if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
    return mosquitto_strerror(rc);
}

// What came from the network, fit for one log line.
std::string Printable(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// The subscriptions that brought a message, from its identifiers; a broker
// that sends none gets both looks (each checks the topic itself).
unsigned SubscriptionsOf(const mosquitto_property* properties) {
    unsigned found = 0;
    std::uint32_t id = 0;
    for (const mosquitto_property* p =
             mosquitto_property_read_varint(properties, MQTT_PROP_SUBSCRIPTION_IDENTIFIER, &id, false);
         p; p = mosquitto_property_read_varint(p, MQTT_PROP_SUBSCRIPTION_IDENTIFIER, &id, true)) {
        found |= id;
    }
    return found ? found : (MqttBridge::SetTopics | MqttBridge::OwnRetained | MqttBridge::HaStatus);
}

// libmosquitto takes a list of topics as char* const*.
struct TopicList {
    explicit TopicList(const std::vector<std::string>& topics) : texts(topics) {
        for (std::string& t : texts) pointers.push_back(t.data());
    }
    std::vector<std::string> texts;
    std::vector<char*> pointers;
};

} // namespace

MqttBridge::MqttBridge(const MqttConfig& config, const std::vector<ServedPanel>& panels, const PointStore& store,
                       WriteQueue& writes, Metrics& metrics, Log& log)
    : config_(config),
      panels_(panels),
      store_(store),
      writes_(writes),
      metrics_(metrics),
      log_(log),
      statusTopic_(config.topicPrefix + "/status"),
      scan_(OwnTopics(config.topicPrefix), {}),
      discovery_(DiscoveryConfigs(config, panels, ZULTRK_VERSION_TEXT)) {
    std::set<std::string> current{statusTopic_};
    for (const DiscoveryConfig& d : discovery_) current.insert(d.topic);
    for (std::size_t i = 0; i < panels_.size(); ++i) {
        byName_[panels_[i].name] = i;
        std::vector<Element> elements;
        const std::vector<MappedPoint>& points = panels_[i].map->Points();
        for (std::size_t p = 0; p < points.size(); ++p) {
            for (int k = 0; k < points[p].count; ++k) {
                elements.push_back(Element{ElementTopic(config.topicPrefix, panels_[i].name, points[p].name, k), p,
                                           points[p].firstValue + static_cast<std::size_t>(k)});
                current.insert(elements.back().topic);
            }
        }
        sent_.emplace_back(elements.size());
        elements_.push_back(std::move(elements));
    }
    scan_ = RetainedScan(OwnTopics(config.topicPrefix, config.discoveryPrefix), std::move(current));
}

MqttBridge::~MqttBridge() {
    Stop();
    store_.Unwatch(notice_);
    if (mosq_) mosquitto_destroy(mosq_);
    mosquitto_lib_cleanup();
}

std::string MqttBridge::Broker() const {
    return (config_.host.find(':') != std::string::npos ? "[" + config_.host + "]" : config_.host) + ":" +
           std::to_string(config_.port);
}

bool MqttBridge::Start(std::string& error) {
    if (!notice_.Usable()) {
        error = "mqtt: cannot make an eventfd: " + std::string(std::strerror(errno));
        return false;
    }
    mosquitto_lib_init();
    mosq_ = mosquitto_new(config_.clientId.c_str(), true, this);
    if (!mosq_) {
        error = "mqtt: cannot make a client: " + std::string(std::strerror(errno));
        return false;
    }
    // MQTT 5: a set's retain flag as it was published, a clash named as one.
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    if (!config_.username.empty()) {
        std::string password;
        if (!config_.passwordFile.empty()) {
            // Its first line; an MQTT password holds at most 65535 bytes.
            std::string text, why;
            if (ReadTextFile(config_.passwordFile, PasswordFileLimit, text, why) && text.empty()) why = "it is empty";
            if (!why.empty()) {
                error = "mqtt: cannot read the password file " + config_.passwordFile + ": " + why;
                return false;
            }
            password = text.substr(0, text.find('\n'));
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
    mosquitto_connect_v5_callback_set(mosq_, [](mosquitto*, void* self, int reason, int, const mosquitto_property*) {
        static_cast<MqttBridge*>(self)->OnConnect(reason);
    });
    mosquitto_disconnect_v5_callback_set(mosq_, [](mosquitto*, void* self, int reason, const mosquitto_property*) {
        static_cast<MqttBridge*>(self)->OnDisconnect(reason);
    });
    mosquitto_publish_callback_set(mosq_, [](mosquitto*, void* self, int) {
        auto* bridge = static_cast<MqttBridge*>(self);
        if (bridge->outstanding_ > 0) --bridge->outstanding_;
    });
    mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* self, int mid, int count, const int* granted) {
        static_cast<MqttBridge*>(self)->OnSubscribed(mid, count, granted);
    });
    mosquitto_message_v5_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* message,
                                                const mosquitto_property* properties) {
        static_cast<MqttBridge*>(self)->OnMessage(*message, SubscriptionsOf(properties));
    });
    store_.Watch(notice_);
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
        if (state_ == State::Connected) Work(now);
        CheckWrites(false, now);
        WaitForWork(now);
        if (state_ != State::Disconnected) {
            // The socket's reads and writes and the keep-alive, without waiting.
            int rc = mosquitto_loop(mosq_, 0, 1);
            if (rc != MOSQ_ERR_SUCCESS && state_ != State::Disconnected) Lost(ErrorText(rc), Clock::now());
        }
    }
}

void MqttBridge::Work(Clock::time_point now) {
    if (!held_ && now - connectedAt_ >= HeldAfter) Held(now);
    if (config_.heartbeat.count() > 0 && now >= nextHeartbeat_) {
        publishAll_ = true;
        nextHeartbeat_ = now + config_.heartbeat;
    }
    if (publishDiscovery_) {
        publishDiscovery_ = false;
        PublishDiscovery();
    }
    if (publishAll_ || changed_ || now >= nextLook_) {
        bool all = publishAll_;
        publishAll_ = changed_ = false; // PublishPoints sets them again if it has to stop short
        PublishPoints(all, now);
    }
    // The scan, once the broker has taken every current point.
    if (scan_.Due() && !publishAll_ && outstanding_ == 0) StartScan(now);
    if (scan_.Over(now)) FinishScan(now);
}

void MqttBridge::WaitForWork(Clock::time_point now) {
    Clock::time_point until = now + Housekeeping;
    switch (state_.load()) {
    case State::Disconnected:
        until = std::min(until, nextAttempt_);
        break;
    case State::Connecting:
        until = std::min(until, connectDeadline_);
        break;
    case State::Connected:
        until = std::min({until, nextLook_, scan_.NextLook()});
        if (config_.heartbeat.count() > 0) until = std::min(until, nextHeartbeat_);
        if (!held_) until = std::min(until, connectedAt_ + HeldAfter);
        break;
    }
    for (const PendingWrite& w : pending_) until = std::min(until, w.deadline);
    pollfd fds[2] = {{notice_.Fd(), POLLIN, 0}, {-1, 0, 0}};
    int sock = state_ != State::Disconnected ? mosquitto_socket(mosq_) : -1;
    if (sock >= 0) fds[1] = pollfd{sock, static_cast<short>(POLLIN | (mosquitto_want_write(mosq_) ? POLLOUT : 0)), 0};
    auto wait = std::chrono::ceil<milliseconds>(until - now).count();
    poll(fds, sock >= 0 ? 2 : 1, static_cast<int>(std::clamp<decltype(wait)>(wait, 0, 1000)));
    if (notice_.Take()) changed_ = true;
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

void MqttBridge::Lost(const std::string& why, Clock::time_point now, bool takenOver) {
    if (state_ == State::Disconnected && nextAttempt_ > now) return; // said already
    bool wasUp = state_ == State::Connected;
    bool held = wasUp && held_;
    state_ = State::Disconnected;
    scan_.Interrupted();
    if (wasUp) metrics_.MqttConnected(false);
    if (held) backoff_ = seconds(1);
    nextAttempt_ = now + backoff_;
    std::string again = "trying again in " + DurationText(backoff_);
    backoff_ = std::min<Clock::duration>(backoff_ * 2, LongestBackoff);
    if (stopping_) return;
    const std::string broker = "broker " + Broker() + ": ";
    if (wasUp && !held) ++unheld_;
    episodes_.Failed("broker", "away", now); // for the "(after ...)" of the next connect
    if (takenOver) {
        if (episodes_.Failed("clash", "taken over", now)) {
            log_.Say(Level::Warning, "mqtt",
                     broker + "another client connected with this client id, " + config_.clientId +
                         ", and the broker closed this connection for it (MQTT reason 0x8E, session taken over): "
                         "every client of a broker needs a client_id of its own; " +
                         again + ", backing off to at most every " + DurationText(LongestBackoff) +
                         "; said again when a connection holds for " + DurationText(HeldAfter));
        } else if (log_.Shows(Level::Debug)) {
            log_.Say(Level::Debug, "mqtt", broker + "taken over again by the other " + config_.clientId + "; " + again);
        }
    } else if (wasUp && unheld_ >= 2) {
        // Brokers that do not name a take-over (mosquitto 2.0.11 just closes
        // the socket) make a clash look like this: connections closed one
        // after the other soon after they were made. The likely cause is said.
        if (episodes_.Failed("drop", "closed soon", now)) {
            log_.Say(Level::Warning, "mqtt",
                     broker + "the connection was closed again " + DurationText(now - connectedAt_) +
                         " after it was made (" + why + "); most often another client uses this client id, " +
                         config_.clientId +
                         " (every client of a broker needs a client_id of its own), else the broker refuses what "
                         "the gateway does (its ACL, its limits); " +
                         again + ", backing off to at most every " + DurationText(LongestBackoff) +
                         "; said again when a connection holds for " + DurationText(HeldAfter));
        } else if (log_.Shows(Level::Debug)) {
            log_.Say(Level::Debug, "mqtt", broker + "closed again (" + why + "); " + again);
        }
    } else if (wasUp) {
        log_.Say(Level::Warning, "mqtt", broker + why + "; " + again);
    } else if (!episodes_.Failing("drop") && episodes_.Failed("connect", why, now)) {
        log_.Say(Level::Warning, "mqtt",
                 broker + "cannot connect (" + why + "); " + again + ", then at most every " +
                     DurationText(LongestBackoff) + "; Modbus and the polls go on");
    } else if (log_.Shows(Level::Debug)) {
        log_.Say(Level::Debug, "mqtt", broker + why + "; " + again);
    }
}

void MqttBridge::Held(Clock::time_point now) {
    held_ = true;
    unheld_ = 0;
    backoff_ = seconds(1);
    if (std::optional<Episodes::Ended> over = episodes_.Succeeded("clash", now)) {
        log_.Say(Level::Info, "mqtt",
                 "broker " + Broker() + ": the connection has held for " + DurationText(HeldAfter) +
                     ": the client id clash is over (taken over " + std::to_string(over->failures) + " times in " +
                     DurationText(over->lasted) + ")");
    }
    if (std::optional<Episodes::Ended> over = episodes_.Succeeded("drop", now)) {
        log_.Say(Level::Info, "mqtt",
                 "broker " + Broker() + ": the connection has held for " + DurationText(HeldAfter) + " (closed " +
                     std::to_string(over->failures) + " times in " + DurationText(over->lasted) + " before)");
    }
}

void MqttBridge::OnConnect(int reason) {
    Clock::time_point now = Clock::now();
    if (reason != 0) {
        mosquitto_disconnect(mosq_);
        // A broker of MQTT 3 only answers 1 (its "unacceptable protocol version").
        Lost(reason == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION || reason == 1
                 ? std::string("the broker does not speak MQTT 5")
                 : mosquitto_reason_string(reason),
             now);
        return;
    }
    state_ = State::Connected;
    connectedAt_ = now;
    held_ = false;
    metrics_.MqttConnected(true);
    outstanding_ = 0;
    std::optional<Episodes::Ended> back = episodes_.Succeeded("broker", now);
    episodes_.Succeeded("connect", now);
    // While connections are being dropped as soon as they are made, that is said when it ends.
    bool dropping = episodes_.Failing("clash") || episodes_.Failing("drop");
    if (!dropping || log_.Shows(Level::Debug)) {
        log_.Say(dropping ? Level::Debug : Level::Info, "mqtt",
                 "connected to broker " + Broker() + " as " + config_.clientId + ", topics " + config_.topicPrefix +
                     "/..." +
                     (back ? " (after " + std::to_string(back->failures) + " failures over " +
                                 DurationText(back->lasted) + ")"
                           : ""));
    }
    Publish(statusTopic_, "online", true);
    // Retain as published: a retained set is told from a live one, however it
    // comes. No local: the gateway's own clearing of one does not come back.
    TopicList sets({config_.topicPrefix + "/+/+/set", config_.topicPrefix + "/+/+/+/set"});
    mosquitto_property* properties = nullptr;
    mosquitto_property_add_varint(&properties, MQTT_PROP_SUBSCRIPTION_IDENTIFIER, SetTopics);
    mosquitto_subscribe_multiple(mosq_, &setsMid_, static_cast<int>(sets.pointers.size()), sets.pointers.data(), QoS,
                                 MQTT_SUB_OPT_RETAIN_AS_PUBLISHED | MQTT_SUB_OPT_NO_LOCAL, properties);
    mosquitto_property_free_all(&properties);
    if (!discovery_.empty()) {
        // Home Assistant's entities before their values; again whenever it
        // says it is online (it may have restarted without its broker).
        PublishDiscovery();
        std::string ha = HaStatusTopic(config_);
        mosquitto_property* haProperties = nullptr;
        mosquitto_property_add_varint(&haProperties, MQTT_PROP_SUBSCRIPTION_IDENTIFIER, HaStatus);
        mosquitto_subscribe_v5(mosq_, nullptr, ha.c_str(), QoS, 0, haProperties);
        mosquitto_property_free_all(&haProperties);
    }
    publishAll_ = true; // the broker may have lost what it held
    nextHeartbeat_ = now + config_.heartbeat;
}

void MqttBridge::PublishDiscovery() {
    for (const DiscoveryConfig& d : discovery_) Publish(d.topic, d.payload, true);
    if (log_.Shows(Level::Debug)) {
        log_.Say(Level::Debug, "mqtt",
                 std::to_string(discovery_.size()) + " Home Assistant discovery configs published under " +
                     config_.discoveryPrefix + "/");
    }
}

void MqttBridge::OnDisconnect(int reason) {
    if (reason == 0 && stopping_) return;
    if (reason == MQTT_RC_SESSION_TAKEN_OVER) {
        Lost("session taken over", Clock::now(), true);
        return;
    }
    // A broker's DISCONNECT gives an MQTT reason (0x80 and up); a lost socket, libmosquitto's error.
    std::string why = "the connection was lost";
    if (reason >= 0x80) {
        why = "the broker closed the connection: " + std::string(mosquitto_reason_string(reason));
    } else if (reason != 0 && reason != MOSQ_ERR_CONN_LOST) {
        why += " (" + ErrorText(reason) + ")";
    }
    Lost(why, Clock::now());
}

void MqttBridge::OnSubscribed(int mid, int count, const int* granted) {
    bool refused = false;
    for (int i = 0; i < count; ++i) refused = refused || granted[i] >= 0x80;
    if (mid == scanMid_) {
        scan_.Acknowledged(Clock::now());
        if (refused) {
            log_.Say(Level::Warning, "mqtt",
                     "broker " + Broker() + ": the subscription to " + config_.topicPrefix +
                         "/# was refused (its ACL?): retained topics of points no longer in the lists stay");
        }
    } else if (mid == setsMid_ && refused) {
        log_.Say(Level::Warning, "mqtt",
                 "broker " + Broker() + ": the subscription to " + config_.topicPrefix +
                     "/.../set was refused (its ACL?): no writes through MQTT");
    }
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
    Clock::time_point next = Clock::time_point::max();
    for (std::size_t panel = 0; panel < panels_.size(); ++panel) {
        std::size_t index = panels_[panel].index;
        PanelSnapshot snapshot = store_.Snapshot(index);
        const std::vector<MappedPoint>& points = panels_[panel].map->Points();
        for (std::size_t e = 0; e < elements_[panel].size(); ++e) {
            if (outstanding_ >= MostOutstanding) {
                // The rest when the broker has acknowledged some.
                publishAll_ = publishAll_ || all;
                changed_ = true;
                return;
            }
            const Element& element = elements_[panel][e];
            const StoredValue& value = snapshot.values[element.value];
            bool current = store_.Current(index, value, now);
            // Nothing tells when a value grows old: that moment is looked for.
            if (current) next = std::min(next, store_.StaleAt(index, value));
            Published quality = PublishedOf(value, current);
            Sent& sent = sent_[panel][e];
            bool changed = !sent.sent || sent.quality != quality ||
                           (quality != Published::Bad && sent.raw != value.raw);
            if (!all && !changed) continue;
            auto readAt = wallNow - std::chrono::duration_cast<std::chrono::system_clock::duration>(now - value.readAt);
            if (Publish(element.topic, ValueJson(points[element.point], value, quality, readAt), true)) {
                sent = Sent{true, quality, value.raw};
            } else {
                next = std::min(next, now + RetryAfter);
            }
        }
    }
    nextLook_ = next;
}

void MqttBridge::StartScan(Clock::time_point now) {
    TopicList filters(scan_.Own().Filters());
    mosquitto_property* properties = nullptr;
    mosquitto_property_add_varint(&properties, MQTT_PROP_SUBSCRIPTION_IDENTIFIER, OwnRetained);
    // Not "no local": a broker may take that to hold back retained messages
    // this client id published, and those of an earlier run are what is sought.
    int rc = mosquitto_subscribe_multiple(mosq_, &scanMid_, static_cast<int>(filters.pointers.size()),
                                          filters.pointers.data(), QoS, 0, properties);
    mosquitto_property_free_all(&properties);
    if (rc == MOSQ_ERR_SUCCESS) scan_.Subscribed(now);
}

void MqttBridge::FinishScan(Clock::time_point now) {
    TopicList filters(scan_.Own().Filters());
    mosquitto_unsubscribe_multiple(mosq_, nullptr, static_cast<int>(filters.pointers.size()), filters.pointers.data(),
                                   nullptr);
    std::vector<std::string> obsolete = scan_.Finish(now);
    std::string named;
    for (std::size_t i = 0; i < obsolete.size(); ++i) {
        Publish(obsolete[i], "", true); // an empty retained message clears it
        if (i < ListedCleared) named += (i ? ", " : "") + obsolete[i];
    }
    if (obsolete.size() > ListedCleared) named += " and " + std::to_string(obsolete.size() - ListedCleared) + " more";
    if (!obsolete.empty()) {
        log_.Say(Level::Info, "mqtt",
                 "cleared " + std::to_string(obsolete.size()) +
                     " retained topics of points no longer in the point lists: " + Printable(named));
    } else if (log_.Shows(Level::Debug)) {
        log_.Say(Level::Debug, "mqtt", "no retained topics of points no longer in the point lists");
    }
    if (scan_.RanOutOfTime()) {
        log_.Say(Level::Info, "mqtt",
                 "the scan of retained topics stopped at its bound (" + DurationText(RetainedScan::MostTime) + ", " +
                     std::to_string(RetainedScan::MostCleared) + " topics): the rest at the next start");
    }
}

void MqttBridge::OnMessage(const mosquitto_message& message, unsigned subscriptions) {
    metrics_.MqttMessage(false);
    std::string topic = message.topic ? message.topic : "";
    std::string_view payload(static_cast<const char*>(message.payload),
                             message.payload ? static_cast<std::size_t>(message.payloadlen) : 0);
    if ((subscriptions & OwnRetained) && message.retain) scan_.Retained(topic, payload, Clock::now());
    if ((subscriptions & HaStatus) && !discovery_.empty() && topic == HaStatusTopic(config_) && payload == "online") {
        publishDiscovery_ = true;
        notice_.Raise();
    }
    if (!(subscriptions & SetTopics)) return;
    if (topic.size() < 4 || topic.compare(topic.size() - 4, 4, "/set") != 0) return;
    std::string resultTopic = topic.substr(0, topic.size() - 4) + "/result";
    std::string what = topic.substr(config_.topicPrefix.size() + 1, topic.size() - config_.topicPrefix.size() - 5);
    if (message.retain) {
        if (payload.empty()) return; // a retained set cleared
        // It would be written again on every reconnect, by whoever subscribes:
        // refused, and cleared from the broker.
        Result(resultTopic, "a retained set is not written: publish it without retain", what);
        if (state_ == State::Connected) Publish(topic, "", true);
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
    what += " = " + std::string(payload.substr(0, LongestSetPayload));
    std::uint32_t raw = 0;
    std::string why;
    if (payload.size() > static_cast<std::size_t>(LongestSetPayload)) {
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
    pending_.push_back(PendingWrite{writes_.Submit(std::move(request), &notice_), Clock::now() + served.writeTimeout,
                                    resultTopic, what});
}

void MqttBridge::CheckWrites(bool giveUp, Clock::time_point now) {
    for (auto it = pending_.begin(); it != pending_.end();) {
        std::optional<WriteOutcome> outcome = it->ticket->Check(giveUp || now >= it->deadline);
        if (!outcome) {
            ++it;
            continue;
        }
        // The new value first: a subscriber that acts on "ok" finds it there.
        if (*outcome == WriteOutcome::Written && state_ == State::Connected && !giveUp) PublishPoints(false, now);
        Result(it->resultTopic, WriteOutcomeTold(*outcome), it->what);
        it = pending_.erase(it);
    }
}

void MqttBridge::Result(const std::string& topic, const std::string& text, const std::string& what) {
    if (log_.Shows(Level::Debug)) log_.Say(Level::Debug, "mqtt", "set " + Printable(what) + ": " + text);
    if (state_ == State::Connected) Publish(topic, text, false);
}

void MqttBridge::Stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    notice_.Raise();
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
