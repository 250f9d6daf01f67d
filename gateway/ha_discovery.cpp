#include "gateway/ha_discovery.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "gateway/mqtt_payload.h"
#include "gateway/text_digest.h"

namespace zulgate {
namespace {

using nlohmann::json;

const char* ComponentOf(const MappedPoint& p) {
    bool bit = IsBitTable(p.table);
    bool states = !p.engineering.states.empty();
    if (!p.writable) return bit ? "binary_sensor" : "sensor";
    if (bit) return "switch";
    return states ? "select" : "number";
}

std::string Hash8(std::string_view text) {
    char hex[12];
    std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(Digest(text)));
    return hex;
}

json Device(const std::string& nodeId, const std::string& panel, const std::string& version) {
    return {{"identifiers", json::array({nodeId})},
            {"name", panel},
            {"manufacturer", "Trane"},
            {"model", "Tracker panel"},
            {"sw_version", "zulgate " + version}};
}

// What a number entity may be set to: the point list's min and max, else
// what the element holds, in engineering units.
void Range(const MappedPoint& p, json& config) {
    auto [low, high] = p.Meaning().ValueRange();
    config["min"] = p.engineering.min ? *p.engineering.min : low;
    config["max"] = p.engineering.max ? *p.engineering.max : high;
    config["step"] = std::fabs(p.engineering.scale);
}

} // namespace

std::string HaId(std::string_view text) {
    std::string id;
    bool changed = false;
    for (unsigned char c : text) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
        id += ok ? static_cast<char>(c) : '_';
        changed = changed || !ok;
    }
    if (changed || id.empty()) id += "_" + Hash8(text);
    return id;
}

std::string HaStatusTopic(const MqttConfig& mqtt) { return mqtt.discoveryPrefix + "/status"; }

std::vector<DiscoveryConfig> DiscoveryConfigs(const MqttConfig& mqtt, const std::vector<ServedPanel>& panels,
                                              const std::string& version) {
    std::vector<DiscoveryConfig> configs;
    if (mqtt.discoveryPrefix.empty()) return configs;
    const std::string status = mqtt.topicPrefix + "/status";
    for (const ServedPanel& panel : panels) {
        // Not the client id: a site that renames its client keeps its
        // entities. The prefix's levels joined by '_', as written.
        std::string levels = mqtt.topicPrefix;
        std::replace(levels.begin(), levels.end(), '/', '_');
        const std::string nodeId = HaId(levels) + "_" + HaId(panel.name);
        const json device = Device(nodeId, panel.name, version);
        for (const MappedPoint& p : panel.map->Points()) {
            const char* component = ComponentOf(p);
            const Unit& unit = p.engineering.Units();
            for (int k = 0; k < p.count; ++k) {
                std::string objectId = HaId(p.name) + (k > 0 ? "_" + std::to_string(k) : std::string());
                std::string stateTopic = ElementTopic(mqtt.topicPrefix, panel.name, p.name, k);
                json config = {
                    {"name", k > 0 ? p.name + " " + std::to_string(k) : p.name},
                    {"unique_id", nodeId + "_" + objectId},
                    {"object_id", nodeId + "_" + objectId},
                    {"state_topic", stateTopic},
                    {"availability",
                     json::array(
                         {{{"topic", status}},
                          {{"topic", stateTopic},
                           {"value_template", "{{ 'online' if value_json.quality == 'good' else 'offline' }}"}}})},
                    {"availability_mode", "all"},
                    {"device", device},
                };
                if (p.writable) config["command_topic"] = stateTopic + "/set";
                std::string c = component;
                if (c == "binary_sensor") {
                    config["value_template"] = "{{ value_json.raw }}";
                    config["payload_on"] = "1";
                    config["payload_off"] = "0";
                } else if (c == "switch") {
                    // What the gateway's set takes for a bit, sent as it is.
                    config["payload_on"] = "true";
                    config["payload_off"] = "false";
                    config["value_template"] = "{{ 'true' if value_json.raw == 1 else 'false' }}";
                } else if (c == "select") {
                    config["options"] = p.engineering.states;
                    config["value_template"] = "{{ value_json.value }}";
                } else {
                    config["value_template"] = "{{ value_json.value }}";
                    if (!p.engineering.states.empty()) {
                        config["device_class"] = "enum";
                        config["options"] = p.engineering.states;
                    } else {
                        if (*unit.symbol) config["unit_of_measurement"] = unit.symbol;
                        if (*unit.haClass) config["device_class"] = unit.haClass;
                        if (c == "number") {
                            Range(p, config);
                            config["mode"] = "box";
                        } else if (p.point.Type().kind != ValueKind::Date) {
                            config["state_class"] = "measurement";
                        }
                    }
                }
                configs.push_back({mqtt.discoveryPrefix + "/" + c + "/" + nodeId + "/" + objectId + "/config",
                                   config.dump(-1, ' ', false, json::error_handler_t::replace)});
            }
        }
    }
    return configs;
}

bool OurDiscoveryConfig(std::string_view topic, std::string_view payload, const std::string& discoveryPrefix,
                        const std::string& topicPrefix) {
    if (discoveryPrefix.empty() || topic.size() <= discoveryPrefix.size() + 1 ||
        topic.compare(0, discoveryPrefix.size(), discoveryPrefix) != 0 || topic[discoveryPrefix.size()] != '/')
        return false;
    if (topic.size() < 7 || topic.compare(topic.size() - 7, 7, "/config") != 0) return false;
    json config = json::parse(payload.begin(), payload.end(), nullptr, false);
    if (!config.is_object() || !config.contains("state_topic") || !config["state_topic"].is_string()) return false;
    std::string state = config["state_topic"].get<std::string>();
    return state.size() > topicPrefix.size() + 1 && state.compare(0, topicPrefix.size(), topicPrefix) == 0 &&
           state[topicPrefix.size()] == '/';
}

} // namespace zulgate
