#include "gateway/gateway.h"

#include <fstream>
#include <sstream>
#include <thread>

#include "gateway/point_list.h"

namespace zulgate {

namespace {

bool ReadText(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    return true;
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
    zulclient::DriverClient checker(entry, 0);
    DriverInfo info{};
    checker.GetInfo(info);
    AddressChecker check = [&checker](const std::string& text) { return checker.PointOf(text); };
    for (const PanelConfig& panel : config.panels) {
        std::string text;
        bool read = !panel.points.empty() && ReadText(panel.points, text);
        PanelMap map;
        zulclient::LineSettings line;
        CheckPanel(config, panel, read ? &text : nullptr, check, info, map, line, d);
        checked.maps.push_back(std::move(map));
        checked.lines.push_back(line);
        checked.pointLists.push_back(std::move(text));
    }
    // The broker's files, as the service's user reads them.
    const MqttConfig& mqtt = config.mqtt;
    for (const std::string* file : {&mqtt.passwordFile, &mqtt.tlsCa, &mqtt.tlsCert, &mqtt.tlsKey}) {
        if (mqtt.enabled && !file->empty() && !std::ifstream(*file))
            d.Add(config.path, mqtt.line, "cannot read " + *file);
    }
    return d.Count() == before;
}

Gateway::Gateway(const CheckedConfig& checked, const worker::WorkerProgram& program, Log& log)
    : checked_(checked), log_(log) {
    std::vector<std::size_t> counts;
    std::vector<Clock::duration> stale;
    for (std::size_t i = 0; i < checked.config.panels.size(); ++i) {
        counts.push_back(checked.maps[i].ValueCount());
        stale.push_back(checked.config.panels[i].stale);
    }
    store_ = std::make_unique<PointStore>(counts, stale);
    std::vector<std::string> names;
    for (const PanelConfig& panel : checked.config.panels) names.push_back(panel.name);
    metrics_ = std::make_unique<Metrics>(names);
    for (std::size_t i = 0; i < checked.config.panels.size(); ++i) {
        const PanelConfig& panel = checked.config.panels[i];
        plans_.push_back(PlanReads(checked.maps[i], MaxGapBytes(zulclient::CharacterTime(checked.lines[i]))));
        served_.push_back(ServedPanel{i, panel.unit, panel.name, &checked.maps[i], panel.writeTimeout});
    }
    workers_ = std::make_unique<worker::PanelWorkers>(checked, program, *store_, *metrics_, log_, writes_);
    answer_ = std::make_unique<ModbusAnswer>(served_, *store_, writes_, log_);
    server_ = std::make_unique<ModbusServer>(checked.config.modbus, *answer_, *metrics_, log_);
    if (checked.config.mqtt.enabled)
        mqtt_ = std::make_unique<MqttBridge>(checked.config.mqtt, served_, *store_, writes_, *metrics_, log_);
    if (checked.config.http.enabled) status_ = std::make_unique<StatusServer>(checked, *store_, *metrics_, log_);
}

Gateway::~Gateway() { Stop(); }

bool Gateway::Start(std::string& error) {
    if (!server_->Listen(error)) return false;
    if (status_ && !status_->Listen(error)) return false;
    if (mqtt_ && !mqtt_->Start(error)) return false;
    if (!workers_->Start(error)) return false;
    server_->Start();
    if (status_) status_->Start();
    started_ = true;
    return true;
}

void Gateway::Stop() {
    if (!started_) return;
    started_ = false;
    // The status server's connections may take it 2 s; meanwhile the
    // workers finish the requests on their lines.
    std::thread status([this] {
        if (status_) status_->Stop();
    });
    workers_->Stop(); // refuses queued writes first, so no client waits on them
    server_->Stop();
    status.join();
    if (mqtt_) mqtt_->Stop(); // publishes the outcomes of the writes the workers finished
}

} // namespace zulgate
