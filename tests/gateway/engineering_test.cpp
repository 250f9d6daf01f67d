// What a point's values mean: raw numbers to engineering values and back,
// the point list's columns that say so, and the Home Assistant discovery
// configs made from them.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "gateway/engineering.h"
#include "gateway/ha_discovery.h"
#include "gateway/point_list.h"
#include "gateway/point_map.h"
#include "tests/gateway/point_lists.h"

namespace zulgate {
namespace {

using nlohmann::json;

TEST(Engineering, RawNumbersAsThePointListSaysTheyRead) {
    PanelMap map = MapOf(
        "name,address,table,register,access,scale,offset,units,states,min,max,cov\n"
        "supply,W000100,input,0,r,0.1,,degrees-celsius,,,,0.5\n"
        "outside,W000102,input,1,r,0.1,-40,degrees-celsius,,,,\n"
        "flow,L003000,input,2,r,0.25,,liters-per-second,,,,\n"
        "setpoint,W000104,holding,0,rw,0.5,,degrees-fahrenheit,,50,90,\n"
        "mode,B004002,holding,1,rw,,,,Off|Auto|On,,,\n"
        "count,T004004,input,4,r,,,,,,,\n");
    const std::vector<MappedPoint>& p = map.Points();
    struct Case {
        std::size_t point;
        std::uint32_t raw;
        double value;
        const char* text; // the state, or the number as JSON writes it
    } cases[] = {
        {0, 210, 21.0, "21"},   {0, 215, 21.5, "21.5"},     {0, 0xFFFF, 6553.5, "6553.5"},
        {1, 612, 21.2, "21.2"}, {1, 0, -40, "-40"},         {2, 0xFFFFFFFE, -0.5, "-0.5"},
        {3, 141, 70.5, "70.5"}, {5, 65535, 65535, "65535"}, {4, 1, 1, "Auto"},
        {4, 7, 7, "7"},
    };
    for (const Case& c : cases) {
        ValueMeaning m = p[c.point].Meaning();
        EXPECT_DOUBLE_EQ(m.Value(c.raw), c.value) << p[c.point].name << " " << c.raw;
        const std::string* state = m.State(c.raw);
        EXPECT_EQ(state ? *state : NumberText(m.Value(c.raw)), c.text) << p[c.point].name << " " << c.raw;
    }
    EXPECT_EQ(p[0].engineering.Units().bacnet, 62);
    EXPECT_STREQ(p[0].engineering.Units().symbol, "°C");
    EXPECT_EQ(p[0].engineering.cov, 0.5);
    EXPECT_EQ(p[5].engineering.Units().bacnet, 95); // no units given
    // Back: what a write asks, to the raw number, within min and max.
    std::string why;
    EXPECT_EQ(RawForValue(p[3].Meaning(), 70.5, why), 141u);
    EXPECT_EQ(RawForValue(p[3].Meaning(), 70.4, why), 141u); // 140.8, the nearest raw
    EXPECT_FALSE(RawForValue(p[3].Meaning(), 95, why));
    EXPECT_EQ(why, "95 is above max 90");
    EXPECT_EQ(RawForValue(p[1].Meaning(), -40.04, why), 0u);
    EXPECT_FALSE(RawForValue(p[1].Meaning(), -40.06, why)); // rounds to raw -1
    EXPECT_EQ(RawForState(p[4].Meaning(), "On"), 2u);
    EXPECT_FALSE(RawForState(p[4].Meaning(), "on"));
}

TEST(Engineering, NumbersAsJsonWritesThem) {
    for (auto [value, text] : std::vector<std::pair<double, const char*>>{{0, "0"},
                                                                          {-0.0, "0"},
                                                                          {21, "21"},
                                                                          {21.5, "21.5"},
                                                                          {0.1 + 0.2, "0.30000000000000004"},
                                                                          {-2147483648.0, "-2147483648"},
                                                                          {1e300, "1e+300"},
                                                                          {std::nan(""), "null"},
                                                                          {INFINITY, "null"}}) {
        EXPECT_EQ(NumberText(value), text) << value;
    }
}

TEST(HomeAssistant, OneConfigPerElementWithWhatHomeAssistantNeeds) {
    PanelMap map = MapOf(
        "name,address,table,register,access,count,scale,units,states,min,max\n"
        "supply air,W000100,input,0,r,,0.1,degrees-celsius,,,\n"
        "setpoint,W000104,holding,0,rw,,0.5,degrees-fahrenheit,,50,90\n"
        "mode,B004002,holding,1,rw,,,,Off|Auto|On,,\n"
        "alarm,B0040027,discrete,0,r,,,,,,\n"
        "fan,W000106F,coil,0,rw,,,,,,\n"
        "pair,W000108,holding,2,rw,2,,,,,\n");
    MqttConfig mqtt;
    mqtt.topicPrefix = "zultrk/site1";
    mqtt.discoveryPrefix = "homeassistant";
    ServedPanel panel{0, 1, "ahu 1", &map, Milliseconds(5000)};
    std::vector<DiscoveryConfig> configs = DiscoveryConfigs(mqtt, {panel}, "7.0");
    ASSERT_EQ(configs.size(), 7u);
    std::map<std::string, json> byTopic;
    for (const DiscoveryConfig& c : configs) byTopic[c.topic] = json::parse(c.payload);
    const std::string node = "zultrk_site1_" + HaId("ahu 1");
    EXPECT_EQ(node.substr(0, 18), "zultrk_site1_ahu_1");
    for (char c : node) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-') << node;

    json sensor = byTopic.at("homeassistant/sensor/" + node + "/" + HaId("supply air") + "/config");
    EXPECT_EQ(sensor["state_topic"], "zultrk/site1/ahu 1/supply air");
    EXPECT_EQ(sensor["value_template"], "{{ value_json.value }}");
    EXPECT_EQ(sensor["unit_of_measurement"], "°C");
    EXPECT_EQ(sensor["device_class"], "temperature");
    EXPECT_EQ(sensor["state_class"], "measurement");
    EXPECT_FALSE(sensor.contains("command_topic"));
    EXPECT_EQ(sensor["availability"][0]["topic"], "zultrk/site1/status");
    EXPECT_EQ(sensor["availability_mode"], "all");
    EXPECT_EQ(sensor["device"]["identifiers"], json::array({node}));
    EXPECT_EQ(sensor["device"]["name"], "ahu 1");
    EXPECT_EQ(sensor["device"]["sw_version"], "zulgate 7.0");

    json number = byTopic.at("homeassistant/number/" + node + "/setpoint/config");
    EXPECT_EQ(number["command_topic"], "zultrk/site1/ahu 1/setpoint/set");
    EXPECT_EQ(number["min"], 50);
    EXPECT_EQ(number["max"], 90);
    EXPECT_EQ(number["step"], 0.5);
    EXPECT_EQ(number["unit_of_measurement"], "°F");

    json select = byTopic.at("homeassistant/select/" + node + "/mode/config");
    EXPECT_EQ(select["options"], json::array({"Off", "Auto", "On"}));
    EXPECT_EQ(select["command_topic"], "zultrk/site1/ahu 1/mode/set");

    json binary = byTopic.at("homeassistant/binary_sensor/" + node + "/alarm/config");
    EXPECT_EQ(binary["payload_on"], "1");
    EXPECT_EQ(binary["value_template"], "{{ value_json.raw }}");

    json fan = byTopic.at("homeassistant/switch/" + node + "/fan/config");
    EXPECT_EQ(fan["payload_on"], "true");
    EXPECT_EQ(fan["payload_off"], "false");
    EXPECT_FALSE(fan.contains("state_on")); // state_on/off default to payload_on/off, which the template renders
    EXPECT_EQ(fan["value_template"], "{{ 'true' if value_json.raw == 1 else 'false' }}");

    // A number without min and max takes what the element holds.
    json second = byTopic.at("homeassistant/number/" + node + "/pair_1/config");
    EXPECT_EQ(second["state_topic"], "zultrk/site1/ahu 1/pair/1");
    EXPECT_EQ(second["min"], 0);
    EXPECT_EQ(second["max"], 65535);
    EXPECT_EQ(second["step"], 1);

    // Every unique id once, none from the client id.
    std::set<std::string> ids;
    for (auto& [topic, config] : byTopic) EXPECT_TRUE(ids.insert(config["unique_id"]).second) << topic;
    EXPECT_TRUE(OurDiscoveryConfig(configs[0].topic, configs[0].payload, "homeassistant", "zultrk/site1"));
    EXPECT_FALSE(OurDiscoveryConfig(configs[0].topic, configs[0].payload, "homeassistant", "zultrk/site2"));
    EXPECT_FALSE(OurDiscoveryConfig("homeassistant/sensor/x/y/config", "{\"state_topic\":\"zigbee2mqtt/lamp\"}",
                                    "homeassistant", "zultrk/site1"));
    EXPECT_NE(HaId("supply air"), HaId("supply_air"));
}

} // namespace
} // namespace zulgate
