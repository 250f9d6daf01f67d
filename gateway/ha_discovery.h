// Home Assistant's MQTT discovery, in its per-entity form: one retained
// config per point element at <prefix>/<component>/<node_id>/<object_id>/
// config, from which Home Assistant makes the entity, with its state topic,
// its command topic (the point's /set), its units and its device (the panel).
//
// The component follows from the point: a readable value is a sensor, a
// readable bit a binary_sensor; a writable bit a switch, a writable point
// with states a select, any other writable value a number. Every entity is
// available while the gateway is online and its value is current.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "gateway/config.h"
#include "gateway/served_panel.h"

namespace zulgate {

struct DiscoveryConfig {
    std::string topic;
    std::string payload; // JSON
};

std::vector<DiscoveryConfig> DiscoveryConfigs(const MqttConfig& mqtt, const std::vector<ServedPanel>& panels,
                                              const std::string& version);

// Home Assistant's ids take letters, digits, '_' and '-': any other byte
// becomes '_', and a text that had one gets a hash of itself appended, so
// that "supply air" and "supply_air" stay two.
std::string HaId(std::string_view text);

// Home Assistant announces itself on <discovery prefix>/status.
std::string HaStatusTopic(const MqttConfig& mqtt);

// Whether a retained message under the discovery prefix is a config this
// gateway published: one whose state topic is below its topic prefix.
bool OurDiscoveryConfig(std::string_view topic, std::string_view payload, const std::string& discoveryPrefix,
                        const std::string& topicPrefix);

} // namespace zulgate
