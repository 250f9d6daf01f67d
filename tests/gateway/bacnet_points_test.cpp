// The panels' points as BACnet objects, by the table the gateway guide
// gives (type by table and states, instance by unit and register, name by
// panel, point and element), and the Device's Database_Revision following
// the texts it was built from.
#include <gtest/gtest.h>

#include <filesystem>

#include "gateway/bacnet_points.h"
#include "gateway/gateway.h"
#include "host/client/library_loader.h"
#include "tests/gateway/point_lists.h"
#include "tests/gateway/process.h"

namespace zulgate {
namespace {

using bacnet::ObjectType;

TEST(BacnetObjects, OnePerElementByTheMappingTable) {
    PanelMap map = MapOf(
        "name,address,table,register,access,count,scale,units,states,min,max,cov,description\n"
        "supply,W01A2F3,input,0,r,,0.1,degrees-celsius,,,,0.5,tenths\n"
        "setpoints,W000100,holding,3,rw,2,0.1,degrees-celsius,,15,21.7,,\n"
        "hours,L10000A,holding,7,r,2,,hours,,,,,\n"
        "mode,E004003,holding,20,rw,,,,off|auto|heat,,,,\n"
        "fan,B0040027,coil,4,rw,,,,off|on,,,,\n"
        "alarms,B0040060,discrete,9,r,2,,,,,,,\n"
        "level,B004009,input,30,r,,,,low|high,,,,\n");
    std::vector<BacnetObject> objects = BacnetObjects({ServedPanel{5, 12, "ahu1", &map, Milliseconds(5000)}});
    struct Row {
        const char* name;
        ObjectType type;
        std::uint32_t instance;
        std::uint32_t units;
        std::size_t states;
        bool commandable;
        int element;
    } rows[] = {
        {"ahu1.supply", ObjectType::AnalogInput, 120000, 62, 0, false, 0},
        {"ahu1.setpoints", ObjectType::AnalogValue, 120003, 62, 0, true, 0},
        {"ahu1.setpoints.1", ObjectType::AnalogValue, 120004, 62, 0, true, 1},
        {"ahu1.hours", ObjectType::AnalogValue, 120007, 71, 0, false, 0},
        {"ahu1.hours.1", ObjectType::AnalogValue, 120009, 71, 0, false, 1}, // two registers an element
        {"ahu1.mode", ObjectType::MultiStateValue, 120020, 95, 3, true, 0},
        {"ahu1.fan", ObjectType::BinaryValue, 120004, 95, 2, true, 0}, // texts: inactive, active
        {"ahu1.alarms", ObjectType::BinaryInput, 120009, 95, 0, false, 0},
        {"ahu1.alarms.1", ObjectType::BinaryInput, 120010, 95, 0, false, 1},
        {"ahu1.level", ObjectType::AnalogInput, 120030, 95, 0, false, 0}, // input: analog, states or not
    };
    ASSERT_EQ(objects.size(), std::size(rows));
    for (std::size_t i = 0; i < objects.size(); ++i) {
        const bacnet::ObjectSpec& s = objects[i].spec;
        const Row& r = rows[i];
        EXPECT_EQ(s.name, r.name);
        EXPECT_EQ(s.type, r.type) << r.name;
        EXPECT_EQ(s.instance, r.instance) << r.name;
        EXPECT_EQ(s.units, r.units) << r.name;
        EXPECT_EQ(s.states.size(), r.states) << r.name;
        EXPECT_EQ(s.commandable, r.commandable) << r.name;
        EXPECT_EQ(objects[i].element, r.element) << r.name;
        EXPECT_EQ(objects[i].panel, 5u) << r.name;
    }
    EXPECT_EQ(objects[0].spec.description, "tenths");
    EXPECT_FLOAT_EQ(objects[0].spec.covIncrement, 0.5f);
    EXPECT_EQ(objects[4].value, map.Points()[2].firstValue + 1);
    // The limits as a client's REALs carry them: its 21.7 is not above max 21.7.
    EXPECT_EQ(*objects[1].spec.max, static_cast<double>(21.7f));
    EXPECT_EQ(*objects[1].spec.min, 15.0);
    EXPECT_EQ(objects[5].spec.states, (std::vector<std::string>{"off", "auto", "heat"}));
}

// The gateway writes no file to count its changes in: the revision is the
// texts' digest, the same for the same texts, another when one changes.
TEST(BacnetObjects, DatabaseRevisionFollowsTheTextsRead) {
    zulclient::DriverLibrary library;
    std::string error;
    ASSERT_TRUE(library.Load(ZULTRK_LIBRARY, false, &error)) << error;
    std::string folder = gwtest::TempFolder();
    const std::string config =
        "[bacnet]\ndevice_instance = 9\n\n[[panel]]\nname = \"ahu1\"\nport = \"COM5\"\n"
        "unit = 1\npoints = \"p.csv\"\n";
    const std::string points = "name,address,table,register,access\nsupply,W000100,input,0,r\n";
    auto revision = [&](const std::string& toml, const std::string& csv) {
        gwtest::WriteFile(folder + "/gw.toml", toml);
        gwtest::WriteFile(folder + "/p.csv", csv);
        GatewayConfig read;
        CheckedConfig checked;
        Diagnostics d;
        EXPECT_TRUE(ReadConfig(folder + "/gw.toml", read, d) && CheckConfiguration(read, library.Entry(), checked, d))
            << (d.All().empty() ? "" : d.All().front().Text());
        return BacnetDevice(checked).databaseRevision;
    };
    std::uint32_t first = revision(config, points);
    EXPECT_EQ(revision(config, points), first);
    EXPECT_NE(revision(config + "# a comment\n", points), first);
    EXPECT_NE(revision(config, points + "return,W000102,input,1,r\n"), first);
    // The same points, as a spreadsheet saves them: the text is not the same.
    EXPECT_NE(revision(config, "name,address,table,register,access\r\nsupply,W000100,input,0,r\r\n"), first);
    std::filesystem::remove_all(folder);
}

} // namespace
} // namespace zulgate
