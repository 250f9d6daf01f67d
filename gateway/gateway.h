// The gateway put together: the configuration checked through the driver
// (what --check does and a run begins with), then the point store, the
// write queue, the driver thread with a link for each panel, and the
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
#include "gateway/line_worker.h"
#include "gateway/log.h"
#include "gateway/metrics.h"
#include "gateway/modbus_answer.h"
#include "gateway/modbus_server.h"
#include "gateway/mqtt_bridge.h"
#include "gateway/panel_link.h"
#include "gateway/private_ports.h"
#include "gateway/point_map.h"
#include "gateway/point_store.h"
#include "gateway/status_server.h"
#include "gateway/write_queue.h"
#include "host/client/driver_client.h"

namespace zulgate {

// Reads the file and every point list, checking each address through the
// driver's CheckAddress (entry: the loaded driver; no port is opened).
bool CheckConfiguration(const GatewayConfig& config, ZulMainFunction entry, CheckedConfig& checked,
                        Diagnostics& diagnostics);

class Gateway {
public:
    Gateway(const CheckedConfig& checked, ZulMainFunction entry, Log& log);
    ~Gateway();
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    // Listens, then starts the driver thread; false with a message.
    bool Start(std::string& error);
    // Writes queued refused, the one in flight finished, every port closed,
    // every client gone.
    void Stop();

    const PointStore& Store() const { return *store_; }
    const std::vector<BlockRead>& Plan(std::size_t panel) const { return links_[panel]->Plan(); }

private:
    const CheckedConfig& checked_;
    Log& log_;
    std::unique_ptr<PrivatePorts> ports_; // entries for the device servers' URLs
    std::unique_ptr<PointStore> store_;
    std::unique_ptr<Metrics> metrics_;
    WriteQueue writes_;
    std::vector<std::unique_ptr<PanelLink>> links_;
    std::unique_ptr<LineWorker> worker_;
    std::vector<ServedPanel> served_;
    std::unique_ptr<ModbusAnswer> answer_;
    std::unique_ptr<ModbusServer> server_;
    std::unique_ptr<MqttBridge> mqtt_;       // null without [mqtt]
    std::unique_ptr<StatusServer> status_;   // with [http] only
    std::unique_ptr<BacnetFrontEnd> bacnet_; // with [bacnet] only
    bool started_ = false;
};

} // namespace zulgate
