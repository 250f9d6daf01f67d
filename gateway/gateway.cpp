#include "gateway/gateway.h"

#include <thread>

#include "gateway/point_list.h"
#include "gateway/request_plan.h"
#include "gateway/text_digest.h"
#include "gateway/text_file.h"
#include "host/client/port_lookup.h"

namespace zulgate {

namespace {

// The reads of each panel's cycle on the line against its stale_ms: values
// that cannot be read again within it are stale between two reads, and
// Modbus answers 0x0B for them. Each panel has its line (and its worker) to
// itself, so only its own reads count.
void WarnOfSlowCycles(const CheckedConfig& checked, Diagnostics& d) {
    const GatewayConfig& config = checked.config;
    for (std::size_t i = 0; i < config.panels.size(); ++i) {
        const PanelConfig& panel = config.panels[i];
        const zulclient::LineSettings& line = checked.lines[i];
        std::vector<BlockRead> plan = PlanReads(checked.maps[i], MaxGapBytes(zulclient::CharacterTime(line)));
        std::chrono::microseconds cycle = CycleLineTime(plan, line);
        if (cycle >= panel.stale) {
            d.Warn(config.path, panel.line,
                   "panel " + panel.name + ": a poll cycle of its " + std::to_string(checked.maps[i].ValueCount()) +
                       " values takes at least " + DurationText(cycle) + " on the line at " +
                       std::to_string(line.baudRate) + " baud, longer than stale_ms (" +
                       std::to_string(panel.stale.count()) +
                       "): its values go stale between two reads (Modbus answers 0x0B, /health 503); raise "
                       "stale_ms above it, or read fewer points");
        }
    }
}

} // namespace

void CheckPanel(const GatewayConfig& config, const PanelConfig& panel, const std::string* pointsText,
                const AddressChecker& check, const DriverInfo& info, PanelMap& map, zulclient::LineSettings& line,
                Diagnostics& d) {
    std::vector<PointRow> rows;
    if (!panel.points.empty()) {
        if (pointsText == nullptr) {
            d.Add(config.path, panel.pointsLine, "cannot read the point list " + panel.points);
        } else if (ParsePointList(*pointsText, panel.points, rows, d)) {
            BuildPanelMap(rows, panel.points, check, map, d);
        }
        // A point's name is a topic level of its own.
        for (const PointRow& row : rows) {
            if (config.mqtt.enabled && row.name.find_first_of("/+#") != std::string::npos) {
                d.Add(panel.points, row.line,
                      "point " + row.name + ": with [mqtt], a name cannot hold '/', '+' or '#' (it is a topic level)");
            }
        }
    }
    line.baudRate = panel.lineSettings.baud.value_or(info.DefaultBaudRate);
    line.dataBits = panel.lineSettings.dataBits.value_or(info.DefaultByteSize);
    line.parityCode = panel.lineSettings.parityCode.value_or(info.DefaultParity);
    line.stopBitsCode = panel.lineSettings.stopBitsCode.value_or(info.DefaultStopBits);
    line.timeout = static_cast<std::int32_t>(panel.responseTimeout.count() / 10);
}

bool CheckConfiguration(const GatewayConfig& config, ZulMainFunction entry, CheckedConfig& checked, Diagnostics& d) {
    std::size_t before = d.Count();
    checked = CheckedConfig{};
    checked.config = config;
    checked.digest = Digest(config.text);
    zulclient::DriverClient checker(entry, 0);
    DriverInfo info{};
    checker.GetInfo(info);
    AddressChecker check = [&checker](const std::string& text) { return checker.PointOf(text); };
    std::vector<zulclient::DeviceIdentity> devices;
    for (const PanelConfig& panel : config.panels) {
        // The file itself first: a regular file within its bound. Its text
        // as read is what the panel's worker is given.
        std::string text, error;
        bool read = !panel.points.empty() && ReadTextFile(panel.points, PointListFileLimit, text, error);
        if (read) checked.digest = Digest(text, checked.digest);
        if (!panel.points.empty() && !read) {
            d.Add(config.path, panel.pointsLine, "cannot read the point list " + panel.points + ": " + error);
        }
        PanelMap map;
        zulclient::LineSettings line;
        Diagnostics unread; // an unreadable list is said once, with its reason, above
        CheckPanel(config, panel, read ? &text : nullptr, check, info, map, line, read ? d : unread);
        checked.maps.push_back(std::move(map));
        checked.lines.push_back(line);
        checked.pointLists.push_back(std::move(text));

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

Gateway::Gateway(const CheckedConfig& checked, const worker::WorkerProgram& program, Log& log) : log_(log) {
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
    std::vector<std::string> ports;
    for (std::size_t i = 0; i < checked.config.panels.size(); ++i) {
        names.push_back(checked.config.panels[i].name);
        ports.push_back(ports_->NameFor(i));
    }
    metrics_ = std::make_unique<Metrics>(names);
    for (std::size_t i = 0; i < checked.config.panels.size(); ++i) {
        const PanelConfig& panel = checked.config.panels[i];
        plans_.push_back(PlanReads(checked.maps[i], MaxGapBytes(zulclient::CharacterTime(checked.lines[i]))));
        served_.push_back(ServedPanel{i, panel.unit, panel.name, &checked.maps[i], panel.writeTimeout});
    }
    workers_ = std::make_unique<worker::PanelWorkers>(checked, ports, program, *store_, *metrics_, log_, writes_);
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
    if (!workers_->Start(error)) return false;
    server_->Start();
    started_ = true;
    return true;
}

void Gateway::Stop() {
    if (!started_) return;
    started_ = false;
    // The status server's connections close at once; meanwhile the workers
    // finish the requests on their lines.
    std::thread status([this] {
        if (status_) status_->Stop();
    });
    workers_->Stop(); // refuses queued writes first, so no client waits on them
    server_->Stop();
    status.join();
    if (mqtt_) mqtt_->Stop();     // publishes the outcomes of the writes the workers finished
    if (bacnet_) bacnet_->Stop(); // and answers them
}

} // namespace zulgate
