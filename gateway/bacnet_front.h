// The gateway on BACnet/IP: the BACnet server (gateway/bacnet/) on its UDP
// socket, its objects the panels' point elements (bacnet_points.h), their
// values the point store's, their writes through the write queue as Modbus
// and MQTT make them. A thread of its own waits on the store's change
// notice and the writes' tickets: every change in the store is handed to
// the server at once (a poll's change in that poll, a write through any
// interface as it is stored), so that COV subscribers hear of it then, and
// so is the moment a current value grows old; a write is answered when the
// panel took it, or with an error when it did not within write_timeout_ms.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/bacnet/server.h"
#include "gateway/bacnet/udp_service.h"
#include "gateway/bacnet_points.h"
#include "gateway/change_notice.h"
#include "gateway/checked_config.h"
#include "gateway/log.h"
#include "gateway/point_store.h"
#include "gateway/served_panel.h"
#include "gateway/write_queue.h"

namespace zulgate {

// The gateway's write outcome as the BACnet server answers it.
bacnet::WriteOutcome BacnetOutcomeOf(WriteOutcome outcome);

class BacnetFrontEnd : private bacnet::ValueSource {
public:
    BacnetFrontEnd(const CheckedConfig& checked, const std::vector<ServedPanel>& panels, const PointStore& store,
                   WriteQueue& writes, Log& log);
    ~BacnetFrontEnd() override;
    BacnetFrontEnd(const BacnetFrontEnd&) = delete;
    BacnetFrontEnd& operator=(const BacnetFrontEnd&) = delete;

    // Binds the socket and starts serving; false with a message.
    bool Start(std::string& error);
    // After the write queue stopped: the socket's thread ended first, then
    // the writes still waiting answered by their outcome (or none), the
    // socket closed.
    void Stop();

    bacnet::Endpoint Local() const { return udp_ ? udp_->Local() : bacnet::Endpoint{}; }

private:
    struct PendingWrite {
        std::shared_ptr<WriteTicket> ticket;
        Clock::time_point deadline;
        WriteDone done;
        std::string what; // "ahu1.setpoint = 21.5", for the log
    };

    // bacnet::ValueSource, on the server's thread.
    bacnet::Reading Read(const bacnet::ObjectId& object) override;
    void Write(const bacnet::ObjectId& object, const bacnet::PointValue& value, WriteDone done) override;

    const BacnetObject* Find(const bacnet::ObjectId& id) const;
    void Run();
    // Answers the writes whose outcome is known, or whose time is up (all of them with giveUp).
    void CheckWrites(Clock::time_point now, bool giveUp);

    const CheckedConfig& checked_;
    std::vector<ServedPanel> panels_;
    const PointStore& store_;
    WriteQueue& writes_;
    Log& log_;
    std::vector<BacnetObject> objects_;
    std::map<std::uint32_t, std::size_t> byId_; // ObjectId::Raw -> objects_
    std::vector<std::size_t> which_{0};         // the server's thread's: the value read ...
    std::vector<StoredValue> scratch_;          // ... and what the store holds of it

    ChangeNotice notice_; // the store's changes, finished and new writes, Stop
    std::mutex pendingMutex_;
    std::vector<PendingWrite> pending_;
    bool closed_ = false; // stopping: a write is answered at once
    // The earliest moment a value served as current grows old (as a count of Clock ticks).
    std::atomic<Clock::rep> nextStale_{Clock::time_point::max().time_since_epoch().count()};

    std::unique_ptr<bacnet::Server> server_;
    std::unique_ptr<bacnet::UdpService> udp_; // stopped before the server goes
    std::thread thread_;
    std::atomic<bool> stopping_{false};
};

} // namespace zulgate
