// The gateway put together: the configuration checked through the driver
// (checked_config.h: what --check does and a run begins with), then the
// point store, the write queue, a worker process for each panel, and the
// Modbus server, the MQTT bridge, the status server and the BACnet/IP
// server over them (the last three with their sections).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "gateway/bacnet_front.h"
#include "gateway/checked_config.h"
#include "gateway/config.h"
#include "gateway/diagnostics.h"
#include "gateway/log.h"
#include "gateway/metrics.h"
#include "gateway/modbus_answer.h"
#include "gateway/modbus_server.h"
#include "gateway/mqtt_bridge.h"
#include "gateway/private_ports.h"
#include "gateway/point_map.h"
#include "gateway/point_store.h"
#include "gateway/request_plan.h"
#include "gateway/status_server.h"
#include "gateway/worker/panel_workers.h"
#include "gateway/write_queue.h"
#include "host/client/driver_client.h"

namespace zulgate {

class Gateway {
public:
    Gateway(const CheckedConfig& checked, const worker::WorkerProgram& program, Log& log);
    ~Gateway();
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    // Listens, then starts the panels' workers; false with a message.
    bool Start(std::string& error);
    // Writes queued refused, the one in flight finished, every port closed,
    // every client gone.
    void Stop();

    const PointStore& Store() const { return *store_; }
    // A panel's poll cycle as its worker begins it.
    const std::vector<BlockRead>& Plan(std::size_t panel) const { return plans_[panel]; }
    std::vector<pid_t> WorkerPids() const { return workers_->Pids(); }

private:
    Log& log_;
    std::unique_ptr<PrivatePorts> ports_; // entries for the device servers' URLs
    std::unique_ptr<PointStore> store_;
    std::unique_ptr<Metrics> metrics_;
    WriteQueue writes_;
    std::vector<std::vector<BlockRead>> plans_;
    std::unique_ptr<worker::PanelWorkers> workers_;
    std::vector<ServedPanel> served_;
    std::unique_ptr<ModbusAnswer> answer_;
    std::unique_ptr<ModbusServer> server_;
    std::unique_ptr<MqttBridge> mqtt_;       // null without [mqtt]
    std::unique_ptr<StatusServer> status_;   // with [http] only
    std::unique_ptr<BacnetFrontEnd> bacnet_; // with [bacnet] only
    bool started_ = false;
};

} // namespace zulgate
