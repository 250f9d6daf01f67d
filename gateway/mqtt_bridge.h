// The gateway on an MQTT broker (libmosquitto, MQTT 5, driven from a thread
// of its own that waits in one poll() on the broker's socket and on the
// point store's change notice): every point element published retained,
// QoS 1, as soon as its value or quality changes (a poll's change in that
// poll, a write's as it is answered, a value going stale when it does; all
// of them every heartbeat_s, and again on every connect); "<prefix>/status"
// online on connect, offline as the will and on a clean stop; set messages
// written through the write queue, their outcome on ".../result"; once a
// run, the retained topics of points no longer in the lists cleared. While
// the broker is away nothing is queued: it is reconnected with a back-off
// of 1 s doubling to 30 s (also when it takes the connection and then drops
// it), and the current state published when it is back.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gateway/change_notice.h"
#include "gateway/config.h"
#include "gateway/log.h"
#include "gateway/ha_discovery.h"
#include "gateway/metrics.h"
#include "gateway/modbus_answer.h"
#include "gateway/mqtt_payload.h"
#include "gateway/point_store.h"
#include "gateway/retained_scan.h"
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

    // Which subscription brought a message (MQTT 5 subscription identifiers).
    enum Subscription : unsigned { SetTopics = 1, OwnRetained = 2, HaStatus = 4 };

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
    void Work(Clock::time_point now);
    void WaitForWork(Clock::time_point now);
    void Connect(Clock::time_point now);
    void Lost(const std::string& why, Clock::time_point now, bool takenOver = false);
    void Held(Clock::time_point now);
    bool Publish(const std::string& topic, const std::string& payload, bool retain);
    void PublishPoints(bool all, Clock::time_point now);
    void PublishDiscovery();
    void StartScan(Clock::time_point now);
    void FinishScan(Clock::time_point now);
    void CheckWrites(bool giveUp, Clock::time_point now);
    void Result(const std::string& topic, const std::string& text, const std::string& what);
    void OnConnect(int reason);
    void OnDisconnect(int reason);
    void OnSubscribed(int mid, int count, const int* granted);
    void OnMessage(const mosquitto_message& message, unsigned subscriptions);
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
    ChangeNotice notice_; // the store's changes, finished writes, and Stop
    std::atomic<bool> stopping_{false};
    std::atomic<State> state_{State::Disconnected};
    bool publishAll_ = false;
    bool changed_ = true; // the store may hold something not yet published
    Clock::time_point nextAttempt_{};
    Clock::time_point connectDeadline_{};
    Clock::time_point connectedAt_{};
    bool held_ = false; // this connection has lasted long enough to count as held
    int unheld_ = 0;    // connections in a row closed before they held
    Clock::time_point nextHeartbeat_{};
    Clock::time_point nextLook_{}; // when a good value goes stale, or a failed publication is tried again
    Clock::duration backoff_ = std::chrono::seconds(1);
    Episodes episodes_;
    int outstanding_ = 0; // QoS 1 messages the broker has not acknowledged
    int setsMid_ = -1, scanMid_ = -1;
    RetainedScan scan_;

    std::vector<std::vector<Element>> elements_; // by panel
    std::vector<std::vector<Sent>> sent_;        // by panel, as elements_
    std::vector<PendingWrite> pending_;
    std::vector<DiscoveryConfig> discovery_; // Home Assistant's, with discovery_prefix
    bool publishDiscovery_ = false;          // Home Assistant came online
};

} // namespace zulgate
