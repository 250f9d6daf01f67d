#include "gateway/gateway.h"

#include "host/client/port_lookup.h"

#include "gateway/point_list.h"
#include "gateway/request_plan.h"
#include "gateway/text_digest.h"
#include "gateway/text_file.h"

namespace zulgate {

namespace {

// The reads of each panel's cycle on the line against its stale_ms: values
// that cannot be read again within it are stale between two reads, and
// Modbus answers 0x0B for them. The panels share one driver thread, so a
// panel's cycle may wait for the others' requests too.
void WarnOfSlowCycles(const CheckedConfig& checked, Diagnostics& d) {
    const GatewayConfig& config = checked.config;
    std::vector<std::chrono::microseconds> cycles;
    std::chrono::microseconds all{0};
    for (std::size_t i = 0; i < config.panels.size(); ++i) {
        const zulclient::LineSettings& line = checked.lines[i];
        std::vector<BlockRead> plan = PlanReads(checked.maps[i], MaxGapBytes(zulclient::CharacterTime(line)));
        cycles.push_back(CycleLineTime(plan, line));
        all += cycles.back();
    }
    for (std::size_t i = 0; i < config.panels.size(); ++i) {
        const PanelConfig& panel = config.panels[i];
        const std::string stale = "stale_ms (" + std::to_string(panel.stale.count()) + ")";
        const std::string advice =
            ": its values go stale between two reads (Modbus answers 0x0B, /health 503); raise stale_ms above it, or "
            "read fewer points";
        if (cycles[i] >= panel.stale) {
            d.Warn(config.path, panel.line,
                   "panel " + panel.name + ": a poll cycle of its " + std::to_string(checked.maps[i].ValueCount()) +
                       " values takes at least " + DurationText(cycles[i]) + " on the line at " +
                       std::to_string(checked.lines[i].baudRate) + " baud, longer than " + stale + advice);
        } else if (all >= panel.stale) {
            d.Warn(config.path, panel.line,
                   "panel " + panel.name + ": with the other panels' reads (one driver thread makes them all), a " +
                       "poll cycle may take " + DurationText(all) + " on the lines, longer than " + stale + advice);
        }
    }
}

// The file itself first: a regular file within its bound.
void ReadPanelPoints(const GatewayConfig& config, const PanelConfig& panel, const AddressChecker& check,
                     std::vector<PointRow>& rows, PanelMap& map, std::uint32_t& digest, Diagnostics& d) {
    std::string text, error;
    if (!ReadTextFile(panel.points, PointListFileLimit, text, error)) {
        d.Add(config.path, panel.pointsLine, "cannot read the point list " + panel.points + ": " + error);
        return;
    }
    digest = Digest(text, digest);
    if (ParsePointList(text, panel.points, rows, d)) BuildPanelMap(rows, panel.points, check, map, d);
}

} // namespace

bool CheckConfiguration(const GatewayConfig& config, ZulMainFunction entry, CheckedConfig& checked, Diagnostics& d) {
    std::size_t before = d.Count();
    checked = CheckedConfig{};
    checked.config = config;
    checked.digest = config.digest;
    zulclient::DriverClient checker(entry, 0);
    DriverInfo info{};
    checker.GetInfo(info);
    AddressChecker check = [&checker](const std::string& text) { return checker.PointOf(text); };
    std::vector<zulclient::DeviceIdentity> devices;
    for (const PanelConfig& panel : config.panels) {
        std::vector<PointRow> rows;
        PanelMap map;
        if (!panel.points.empty()) {
            ReadPanelPoints(config, panel, check, rows, map, checked.digest, d);
            // A point's name is a topic level of its own.
            for (const PointRow& row : rows) {
                if (config.mqtt.enabled && row.name.find_first_of("/+#") != std::string::npos) {
                    d.Add(panel.points, row.line,
                          "point " + row.name +
                              ": with [mqtt], a name cannot hold '/', '+' or '#' (it is a topic level)");
                }
            }
        }
        checked.maps.push_back(std::move(map));
        zulclient::LineSettings line;
        line.baudRate = panel.lineSettings.baud.value_or(info.DefaultBaudRate);
        line.dataBits = panel.lineSettings.dataBits.value_or(info.DefaultByteSize);
        line.parityCode = panel.lineSettings.parityCode.value_or(info.DefaultParity);
        line.stopBitsCode = panel.lineSettings.stopBitsCode.value_or(info.DefaultStopBits);
        line.timeout = static_cast<std::int32_t>(panel.responseTimeout.count() / 10);
        checked.lines.push_back(line);

        // Two names of one device ("/tmp/./ahu1" and "/tmp/ahu1", a link and
        // its target): the reader checked the names as written.
        devices.push_back(zulclient::LookUpDevice(panel.port));
        for (std::size_t j = 0; j + 1 < devices.size(); ++j) {
            const PanelConfig& other = config.panels[j];
            if (panel.port != other.port && zulclient::OnePort(devices.back(), devices[j])) {
                d.Add(config.path, panel.portLine,
                      "port " + panel.port + " is the device of port " + other.port + " (panel " + other.name +
                          ", line " + std::to_string(other.portLine) + "): a port has one panel");
            }
        }
    }
    // The broker's files, as the service's user reads them.
    const MqttConfig& mqtt = config.mqtt;
    for (const std::string* file : {&mqtt.passwordFile, &mqtt.tlsCa, &mqtt.tlsCert, &mqtt.tlsKey}) {
        std::string error;
        if (mqtt.enabled && !file->empty() && !RegularReadable(*file, error))
            d.Add(config.path, mqtt.line, "cannot read " + *file + ": " + error);
    }
    if (config.bacnet.enabled) CheckBacnetObjects(checked, d);
    if (d.Count() == before) WarnOfSlowCycles(checked, d);
    return d.Count() == before;
}

Gateway::Gateway(const CheckedConfig& checked, ZulMainFunction entry, Log& log) : checked_(checked), log_(log) {
    ports_ = std::make_unique<PrivatePorts>(checked.config.panels, log_);
    std::vector<std::size_t> counts;
    std::vector<Clock::duration> stale;
    for (std::size_t i = 0; i < checked.config.panels.size(); ++i) {
        counts.push_back(checked.maps[i].ValueCount());
        stale.push_back(checked.config.panels[i].stale);
    }
    store_ = std::make_unique<PointStore>(counts, stale);
    for (std::size_t i = 0; i < checked.maps.size(); ++i) {
        std::vector<ValueMeaning> meanings(checked.maps[i].ValueCount());
        for (const MappedPoint& p : checked.maps[i].Points()) {
            for (int k = 0; k < p.count; ++k) meanings[p.firstValue + static_cast<std::size_t>(k)] = p.Meaning();
        }
        store_->SetMeanings(i, std::move(meanings));
    }
    std::vector<std::string> names;
    for (const PanelConfig& panel : checked.config.panels) names.push_back(panel.name);
    metrics_ = std::make_unique<Metrics>(names);
    for (std::size_t i = 0; i < checked.config.panels.size(); ++i) {
        const PanelConfig& panel = checked.config.panels[i];
        PanelSetup setup;
        setup.index = i;
        setup.config = &panel;
        setup.map = &checked.maps[i];
        setup.line = checked.lines[i];
        setup.port = ports_->NameFor(i);
        links_.push_back(std::make_unique<PanelLink>(setup, entry, *store_, *metrics_, log_));
        served_.push_back(ServedPanel{i, panel.unit, panel.name, &checked.maps[i], panel.writeTimeout});
    }
    worker_ = std::make_unique<LineWorker>(links_, writes_);
    answer_ = std::make_unique<ModbusAnswer>(served_, *store_, writes_, log_);
    server_ = std::make_unique<ModbusServer>(checked.config.modbus, *answer_, *metrics_, log_);
    if (checked.config.mqtt.enabled)
        mqtt_ = std::make_unique<MqttBridge>(checked.config.mqtt, served_, *store_, writes_, *metrics_, log_);
    if (checked.config.http.enabled) status_ = std::make_unique<StatusServer>(checked, *store_, *metrics_, log_);
    if (checked.config.bacnet.enabled)
        bacnet_ = std::make_unique<BacnetFrontEnd>(checked, served_, *store_, writes_, log_);
}

Gateway::~Gateway() { Stop(); }

bool Gateway::Start(std::string& error) {
    if (!server_->Listen(error)) return false;
    if (status_ && !(status_->Listen(error) && status_->Start(error))) return false;
    if (mqtt_ && !mqtt_->Start(error)) return false;
    if (bacnet_ && !bacnet_->Start(error)) return false;
    worker_->Start();
    server_->Start();
    started_ = true;
    return true;
}

void Gateway::Stop() {
    if (!started_) return;
    started_ = false;
    worker_->Stop(); // refuses queued writes first, so no client waits on them
    server_->Stop();
    if (status_) status_->Stop();
    if (mqtt_) mqtt_->Stop();     // publishes the outcomes of the writes the worker finished
    if (bacnet_) bacnet_->Stop(); // and answers them
}

} // namespace zulgate
