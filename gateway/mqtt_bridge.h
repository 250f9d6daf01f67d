// The gateway on an MQTT broker (libmosquitto, driven from a thread of its
// own): every point element published retained, QoS 1, when its value or
// quality changes (and all of them every heartbeat_s, and again on every
// connect); "<prefix>/status" online on connect, offline as the will and on
// a clean stop; set messages written through the write queue, their
// outcome on ".../result". While the broker is away nothing is queued: it
// is reconnected with a back-off of 1 s doubling to 30 s, and the current
// state published when it is back.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gateway/config.h"
#include "gateway/log.h"
#include "gateway/metrics.h"
#include "gateway/modbus_answer.h"
#include "gateway/mqtt_payload.h"
#include "gateway/point_store.h"
#include "gateway/write_queue.h"

struct mosquitto;
struct mosquitto_message;

namespace zulgate {

class MqttBridge {
public:
    MqttBridge(const MqttConfig& config, const std::vector<ServedPanel>& panels, const PointStore& store,
               WriteQueue& writes, Metrics& metrics, Log& log);
    ~MqttBridge();
    MqttBridge(const MqttBridge&) = delete;
    MqttBridge& operator=(const MqttBridge&) = delete;

    // Credentials, TLS and the will set up, the thread started (it connects
    // by itself); false with a message when the configuration cannot be used.
    bool Start(std::string& error);
    // After the write queue stopped: the outcomes of the writes it finished
    // published, "offline", and the connection closed (at most 2 s).
    void Stop();

private:
    enum class State { Disconnected, Connecting, Connected };
    struct Sent {
        bool sent = false;
        Published quality = Published::Bad;
        std::uint32_t raw = 0;
    };
    struct Element {
        std::string topic;
        std::size_t point = 0;
        std::size_t value = 0; // in the panel's store
    };
    struct PendingWrite {
        std::shared_ptr<WriteTicket> ticket;
        Clock::time_point deadline;
        std::string resultTopic;
        std::string what; // "ahu1/setpoint = 21" for the log
    };

    void Run();
    void Connect(Clock::time_point now);
    void Lost(const std::string& why, Clock::time_point now);
    bool Publish(const std::string& topic, const std::string& payload, bool retain);
    void PublishPoints(bool all, Clock::time_point now);
    void CheckWrites(bool giveUp, Clock::time_point now);
    void Result(const std::string& topic, const std::string& text, const std::string& what);
    void OnConnect(int rc);
    void OnMessage(const mosquitto_message& message);
    std::string Broker() const;

    const MqttConfig& config_;
    std::vector<ServedPanel> panels_;
    std::map<std::string, std::size_t> byName_;
    const PointStore& store_;
    WriteQueue& writes_;
    Metrics& metrics_;
    Log& log_;
    std::string statusTopic_;

    mosquitto* mosq_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<State> state_{State::Disconnected};
    bool publishAll_ = false;
    Clock::time_point nextAttempt_{};
    Clock::time_point connectDeadline_{};
    Clock::time_point nextHeartbeat_{};
    Clock::time_point nextScan_{};
    Clock::duration backoff_ = std::chrono::seconds(1);
    Episodes episodes_;
    int outstanding_ = 0; // QoS 1 messages the broker has not acknowledged

    std::vector<std::vector<Element>> elements_; // by panel
    std::vector<std::vector<Sent>> sent_;        // by panel, as elements_
    std::vector<PendingWrite> pending_;
};

} // namespace zulgate
