// zulgate --check, run as a program on good and bad files: every refusal
// once, each named as FILE:LINE: message, exit status 0 or 1. The driver's
// CheckAddress checks the addresses; no port is opened (COM5 leads nowhere).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "tests/gateway/process.h"

namespace {

using gwtest::RunProgram;
using gwtest::WriteFile;

// Line 5 names the panel, 6 its port, 7 its unit, 8 its points.
const std::string Config =
    "[modbus]\n"
    "listen = \"127.0.0.1:15999\"\n"
    "\n"
    "[[panel]]\n"
    "name = \"ahu1\"\n"
    "port = \"COM5\"\n"
    "unit = 1\n"
    "points = \"p.csv\"\n";

const std::string Header = "name,address,table,register,access,count\n";
const std::string GoodRow = "supply,W000100,holding,0,rw,2\n"; // line 2 of a point list
const std::string Eng = "name,address,table,register,access,scale,offset,units,states,description\n";

// Every letter in every table it can go in, bits and nibbles, a quoted name
// with a comma, a description column and an empty row, as spreadsheets
// write them.
const std::string EveryKind =
    "Name,Address,Table,Register,Access,Count,Description\n"
    "byte,B004002,holding,0,rw,,\n"
    "low nibble,E004003,holding,1,rw,,\n"
    "high nibble,M004003,holding,2,rw,,\n"
    "time,T004004,holding,3,rw,,\n"
    "words,W000100,holding,4,rw,2,\n"
    "long,L003000,holding,6,rw,,\n"
    "\"float, read only\",F003004,input,0,r,,the panel's whole number\n"
    "date,D005000,input,2,r,,\n"
    ",,,,,,\n"
    "bit 7,B0040027,coil,0,rw,,\n"
    "word bit 15,W000100F,coil,1,rw,,\n"
    "status bits,B0040060,discrete,0,r,3,\n";

class Check : public ::testing::Test {
protected:
    void SetUp() override { folder_ = gwtest::TempFolder(); }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    gwtest::Ran CheckFiles(const std::string& toml, const std::string& csv) {
        WriteFile(folder_ + "/gw.toml", toml);
        WriteFile(folder_ + "/p.csv", csv);
        return RunProgram({ZULGATE_PROGRAM, "--check", folder_ + "/gw.toml", "--lib", ZULTRK_LIBRARY}, folder_);
    }
    std::string folder_;
};

TEST_F(Check, AcceptsEveryLetterInEveryTableItCanGoIn) {
    gwtest::Ran r = CheckFiles(Config, EveryKind);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("1 panel, 11 points: no errors"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
}

// A device server's port by URL is a port too (nothing connects to it here).
TEST_F(Check, TakesADeviceServersUrlAsThePort) {
    for (const char* url : {"rfc2217://10.1.2.3:4001", "tcp://[fd00::7]:4002"}) {
        std::string toml = Config;
        toml.replace(toml.find("COM5"), 4, url);
        gwtest::Ran r = CheckFiles(toml, EveryKind);
        EXPECT_EQ(r.status, 0) << url << "\n" << r.err;
    }
}

TEST_F(Check, TheGuidesExampleIsGood) {
    gwtest::Ran r = RunProgram({ZULGATE_PROGRAM, "--check", ZULGATE_TEST_DIR "/../../docs/gateway/zulgate.toml",
                                "--lib", ZULTRK_LIBRARY},
                               folder_);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("1 panel, 8 points: no errors"), std::string::npos) << r.out;
}

struct Refusal {
    const char* what;
    std::string toml;
    std::string csv;
    bool inPoints; // the message is on the point list's line, else the config's
    int line;
    const char* message;
};

class Refusals : public Check, public ::testing::WithParamInterface<Refusal> {};

TEST_P(Refusals, NamesTheFileAndLine) {
    const Refusal& c = GetParam();
    gwtest::Ran r = CheckFiles(c.toml, c.csv);
    EXPECT_EQ(r.status, 1) << r.err;
    std::string expected = folder_ + (c.inPoints ? "/p.csv:" : "/gw.toml:") + std::to_string(c.line) + ": ";
    std::size_t at = r.err.find(expected);
    ASSERT_NE(at, std::string::npos) << "expected " << expected << c.message << "\nin:\n" << r.err;
    EXPECT_NE(r.err.substr(at, r.err.find('\n', at) - at).find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

std::string WithKey(const std::string& line) { return Config + line + "\n"; } // line 9
std::string Replaced(const std::string& from, const std::string& to) {
    std::string s = Config;
    s.replace(s.find(from), from.size(), to);
    return s;
}
std::string Mqtt(const std::string& line) { return Config + "[mqtt]\n" + line + "\n"; }     // line 9, its key 10
std::string Bacnet(const std::string& keys) { return Config + "[bacnet]\n" + keys + "\n"; } // line 9, keys 10..
std::string Second(const std::string& keys) {
    return Config + "\n[[panel]]\nname = \"ahu2\"\nport = \"COM6\"\npoints = \"p.csv\"\n" + keys + "\n"; // 10.. 14
}

INSTANTIATE_TEST_SUITE_P(
    Gateway, Refusals,
    ::testing::Values(
        Refusal{"overlap", Config, Header + GoodRow + "other,W000200,holding,1,r,\n", true, 3,
                "holding 1 to 1 overlap point supply (line 2), which takes 0 to 1"},
        Refusal{"letter", Config, Header + GoodRow + "l,L0030001,coil,0,r,\n", true, 3, "letter L cannot go in coil"},
        Refusal{"bit in register", Config, Header + GoodRow + "b,B0040027,holding,5,r,\n", true, 3,
                "it goes in coil or discrete"},
        Refusal{"coil without bit", Config, Header + GoodRow + "w,W000300,coil,0,rw,\n", true, 3, "needs a bit number"},
        Refusal{"B bit 8", Config, Header + GoodRow + "b,B0040028,coil,0,r,\n", true, 3, "bits 0 to 7"},
        Refusal{"rw on D", Config, Header + GoodRow + "d,D005000,holding,8,rw,\n", true, 3, "letter D is read-only"},
        Refusal{"rw on F", Config, Header + GoodRow + "f,F003004,holding,8,rw,\n", true, 3, "letter F is read-only"},
        Refusal{"rw in input", Config, Header + GoodRow + "w,W000300,input,0,rw,\n", true, 3, "rw cannot be in input"},
        Refusal{"duplicate name", Config, Header + GoodRow + "supply,W000300,holding,8,r,\n", true, 3,
                "the name is used twice (line 2)"},
        Refusal{"bad address", Config, Header + GoodRow + "x,X000300,holding,8,r,\n", true, 3,
                "the driver's CheckAddress refuses 'X000300'"},
        Refusal{"bad table", Config, Header + GoodRow + "x,W000300,holdings,8,r,\n", true, 3,
                "table must be holding, input, coil or discrete"},
        Refusal{"bad access", Config, Header + GoodRow + "x,W000300,holding,8,w,\n", true, 3, "access must be r or rw"},
        Refusal{"register", Config, Header + GoodRow + "x,W000300,holding,65536,r,\n", true, 3,
                "register must be a 0-based Modbus address"},
        Refusal{"past 65535", Config, Header + GoodRow + "x,L003000,holding,65535,r,\n", true, 3,
                "its 2 registers from 65535 run past 65535"},
        Refusal{"past FFFFFF", Config, Header + GoodRow + "x,WFFFFFE,holding,8,r,2\n", true, 3,
                "run past panel address FFFFFF"},
        Refusal{"no column", Config, "name,address,table,register\n" + GoodRow, true, 1, "no column access"},
        Refusal{"open quote", Config, Header + GoodRow + "\"x,W000300,holding,8,r,\n", true, 3,
                "a quoted field is not closed"},
        Refusal{"unit twice", Second("unit = 1"), Header + GoodRow, false, 14, "unit 1 is used twice"},
        Refusal{"port twice",
                Replaced("COM5", "COM6") + "\n[[panel]]\nname = \"ahu2\"\nport = \"COM6\"\nunit = 2\n" +
                    "points = \"p.csv\"\n",
                Header + GoodRow, false, 12, "port COM6 is used twice"},
        Refusal{"long port", Replaced("COM5", "/dev/ttyUSB0"), Header + GoodRow, false, 6,
                "must be 1 to 11 characters"},
        Refusal{"device server by name", Replaced("COM5", "rfc2217://nport.example:4001"), Header + GoodRow, false, 6,
                "no host names"},
        Refusal{"device server without a port", Replaced("COM5", "tcp://[fd00::7]"), Header + GoodRow, false, 6,
                "tcp://ADDRESS:PORT or rfc2217://ADDRESS:PORT"},
        Refusal{"baud", WithKey("baud = 115200"), Header + GoodRow, false, 9, "baud must be from 1 to 65535"},
        Refusal{"odd baud", WithKey("baud = 12345"), Header + GoodRow, false, 9, "not a speed the serial line"},
        Refusal{"stop bits", WithKey("stop_bits = 3"), Header + GoodRow, false, 9, "stop_bits must be 1, 1.5 or 2"},
        Refusal{"timeout", WithKey("response_timeout_ms = 105"), Header + GoodRow, false, 9, "a multiple of 10"},
        Refusal{"stale", WithKey("poll_ms = 5000"), Header + GoodRow, false, 4, "must be longer than poll_ms"},
        Refusal{"unit", Replaced("unit = 1", "unit = 248"), Header + GoodRow, false, 7, "unit must be from 1 to 247"},
        Refusal{"unknown key", WithKey("pol_ms = 100"), Header + GoodRow, false, 9, "unknown key 'pol_ms'"},
        Refusal{"listen", Replaced("127.0.0.1:15999", "localhost:15999"), Header + GoodRow, false, 2,
                "is not an IPv4 address"},
        Refusal{"syntax", Replaced("unit = 1", "unit = = 1"), Header + GoodRow, false, 7, ""},
        Refusal{"topic prefix", Mqtt("topic_prefix = \"site/#\""), Header + GoodRow, false, 10, "without '+', '#'"},
        Refusal{"broker port", Mqtt("broker = \"mq.example:0\""), Header + GoodRow, false, 10, "port must be a number"},
        Refusal{"cert without key", Mqtt("tls_ca = \"ca.pem\"\ntls_cert = \"c.pem\""), Header + GoodRow, false, 9,
                "tls_cert and tls_key go together"},
        Refusal{"slash in a name", Mqtt("broker = \"127.0.0.1\""), Header + "a/b,W000300,holding,8,r,\n", true, 2,
                "cannot hold '/'"},
        Refusal{"http listen", Config + "[http]\nlisten = \"0.0.0.0\"\n", Header + GoodRow, false, 10,
                "expected address:port"},
        Refusal{"no points file", Replaced("p.csv", "missing.csv"), Header + GoodRow, false, 8,
                "cannot read the point list"},
        // Text that is not UTF-8, as a spreadsheet saves it in a Windows code page.
        Refusal{"name in Windows-1252", Config,
                Header + GoodRow +
                    "Zuluft \xB0"
                    "C,W000300,holding,8,r,\n",
                true, 3, "not UTF-8 (byte 0xB0 after 'Zuluft '): save the point list as UTF-8 (CSV UTF-8 in Excel"},
        Refusal{"description in Latin-1", Config,
                "name,address,table,register,access,description\n" + GoodRow + "x,W000300,holding,8,r,caf\xE9\n", true,
                3, "not UTF-8 (byte 0xE9 after 'caf')"},
        Refusal{"overlong slash", Config,
                Header + GoodRow +
                    "a\xC0\xAF"
                    "b,W000300,holding,8,r,\n",
                true, 3, "not UTF-8 (byte 0xC0 after 'a')"},
        Refusal{"surrogate", Config, Header + "a\xED\xA0\x80,W000300,holding,8,r,\n", true, 2, "byte 0xED"},
        Refusal{"config in Latin-1", WithKey("# Temp\xE9rature"), Header + GoodRow, false, 9,
                "not UTF-8 (byte 0xE9 after '# Temp'): save the file as UTF-8"},
        Refusal{"long name", Config, Header + std::string(201, 'n') + ",W000300,holding,8,r,\n", true, 2,
                "a point name of 201 bytes: at most 200"},
        // Two names of one port, and two listeners on one address.
        Refusal{"one port two names",
                Replaced("COM5", "/tmp/./ahu1") + "\n[[panel]]\nname = \"ahu2\"\nport = \"/tmp/ahu1\"\nunit = 2\n" +
                    "points = \"p.csv\"\n",
                Header + GoodRow, false, 12, "port /tmp/ahu1 is the device of port /tmp/./ahu1 (panel ahu1, line 6)"},
        Refusal{"http on modbus", Config + "[http]\nlisten = \"127.0.0.1:15999\"\n", Header + GoodRow, false, 10,
                "[http] listen 127.0.0.1:15999 and [modbus] listen 127.0.0.1:15999 take one address"},
        Refusal{"http on every IPv4", Config + "[http]\nlisten = \"0.0.0.0:15999\"\n", Header + GoodRow, false, 10,
                "take one address"},
        Refusal{"http on every address", Config + "[http]\nlisten = \"[::]:15999\"\n", Header + GoodRow, false, 10,
                "take one address"},
        Refusal{"http mapped", Config + "[http]\nlisten = \"[::ffff:127.0.0.1]:15999\"\n", Header + GoodRow, false, 10,
                "take one address"},
        Refusal{"http default on modbus", Replaced("15999", "9702") + "[http]\n", Header + GoodRow, false, 9,
                "[http] listen 127.0.0.1:9702 and [modbus] listen 127.0.0.1:9702"},
        Refusal{"points not a file", Replaced("p.csv", "/dev/zero"), Header + GoodRow, false, 8,
                "cannot read the point list /dev/zero: not a regular file (a character device)"},
        // What a point's values mean.
        Refusal{"unknown unit", Config, Eng + "t,W000100,holding,0,r,0.1,,degrees-celcius,,\n", true, 2,
                "units 'degrees-celcius' is not a unit this gateway knows"},
        Refusal{"scale 0", Config, Eng + "t,W000100,holding,0,r,0,,,,\n", true, 2, "scale cannot be 0"},
        Refusal{"scale text", Config, Eng + "t,W000100,holding,0,r,x10,,,,\n", true, 2,
                "scale must be a decimal number"},
        Refusal{"empty state", Config, Eng + "m,B004002,holding,0,rw,,,,Off||On,\n", true, 2, "state 1 has no text"},
        Refusal{"state twice", Config, Eng + "m,B004002,holding,0,rw,,,,Off|On|Off,\n", true, 2,
                "state 'Off' is named twice"},
        Refusal{"states scaled", Config, Eng + "m,B004002,holding,0,rw,2,,,Off|On,\n", true, 2,
                "a point with states has no scale"},
        Refusal{"too many states", Config, Eng + "b,B0040027,coil,0,rw,,,,A|B|C,\n", true, 2,
                "3 states, but the point holds only 2 values"},
        Refusal{"states on a long", Config, Eng + "l,L003000,holding,0,rw,,,,A|B,\n", true, 2,
                "states are for bits, nibbles, bytes and words"},
        Refusal{"scaled date", Config, Eng + "d,D005000,input,0,r,2,,,,\n", true, 2, "a date has no scale"},
        Refusal{"min above max", Config, "name,address,table,register,access,min,max\nt,W000100,holding,0,rw,30,20\n",
                true, 2, "min is above max"},
        Refusal{"discovery prefix", Mqtt("discovery_prefix = \"home/#\""), Header + GoodRow, false, 10,
                "discovery_prefix 'home/#'"},
        Refusal{"discovery on the topics", Mqtt("topic_prefix = \"site\"\ndiscovery_prefix = \"site\""),
                Header + GoodRow, false, 11, "discovery_prefix cannot be the topic_prefix"},
        Refusal{"negative cov", Config, "name,address,table,register,access,cov\nt,W000100,holding,0,r,-0.5\n", true, 2,
                "cov cannot be negative"},
        Refusal{"scaled bit", Config, Eng + "b,B0040027,coil,0,rw,0.1,,,,\n", true, 2, "a bit has no scale or offset"},
        // BACnet/IP: its section, and what its objects' instances and names need.
        Refusal{"bacnet register 10000", Bacnet("device_instance = 7"),
                Header + GoodRow + "x,W000300,holding,10000,r,\n", true, 3,
                "point x: with [bacnet], a register or bit must be below 10000, not 10000"},
        Refusal{"bacnet element past 9999", Bacnet("device_instance = 7"),
                Header + GoodRow + "x,L000300,holding,9996,r,3\n", true, 3, "must be below 10000, not 10000"},
        Refusal{"bacnet bit 10000", Bacnet("device_instance = 7"), Header + GoodRow + "b,B0040027,coil,10000,r,\n",
                true, 3, "must be below 10000, not 10000"},
        Refusal{"bacnet without an instance", Bacnet("device_name = \"site\""), Header + GoodRow, false, 9,
                "[bacnet] needs a device_instance (0 to 4194302"},
        Refusal{"bacnet instance any", Bacnet("device_instance = 4194303"), Header + GoodRow, false, 10,
                "device_instance must be from 0 to 4194302, not 4194303"},
        Refusal{"bacnet instance negative", Bacnet("device_instance = -1"), Header + GoodRow, false, 10,
                "device_instance must be from 0 to 4194302"},
        Refusal{"bacnet instance text", Bacnet("device_instance = \"260001\""), Header + GoodRow, false, 10,
                "device_instance must be a whole number"},
        Refusal{"bacnet listen IPv6", Bacnet("device_instance = 7\nlisten = \"[::1]:47808\""), Header + GoodRow, false,
                11, "BACnet/IP is served on IPv4"},
        Refusal{"bacnet listen name", Bacnet("device_instance = 7\nlisten = \"localhost:47808\""), Header + GoodRow,
                false, 11, "'localhost' is not an IPv4 address"},
        Refusal{"bacnet listen port", Bacnet("device_instance = 7\nlisten = \"127.0.0.1:70000\""), Header + GoodRow,
                false, 11, "the port must be a number from 1 to 65535"},
        Refusal{"bacnet broadcast", Bacnet("device_instance = 7\nbroadcast = \"192.168.1.256\""), Header + GoodRow,
                false, 11, "broadcast '192.168.1.256' is not an IPv4 address"},
        Refusal{"bacnet empty name", Bacnet("device_instance = 7\ndevice_name = \"\""), Header + GoodRow, false, 11,
                "device_name must be 1 to 150 bytes"},
        Refusal{"bacnet name with a tab", Bacnet("device_instance = 7\ndevice_name = \"a\\tb\""), Header + GoodRow,
                false, 11, "without control characters"},
        Refusal{"bacnet unknown key", Bacnet("device_instance = 7\nport = 47808"), Header + GoodRow, false, 11,
                "unknown key 'port' in [bacnet]"},
        Refusal{"bacnet name of the device", Bacnet("device_instance = 7\ndevice_name = \"ahu1.supply\""),
                Header + GoodRow, true, 2,
                "point supply: its BACnet object name 'ahu1.supply' is taken by the device (device_name, "},
        Refusal{"bacnet name of an element", Bacnet("device_instance = 7"),
                Header + GoodRow + "supply.1,W000300,holding,8,r,\n", true, 3,
                "point supply.1: its BACnet object name 'ahu1.supply.1' is taken by another point ("},
        Refusal{"bacnet not a table", "bacnet = 1\n" + Config, Header + GoodRow, false, 1,
                "bacnet must be a table, [bacnet]"}),
    [](const ::testing::TestParamInfo<Refusal>& param) {
        std::string name;
        for (char c : std::string(param.param.what)) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

// Listeners that do not meet: another port, or another address on one port.
TEST_F(Check, AcceptsListenersOnTheirOwnAddresses) {
    for (const char* http : {"127.0.0.1:15998", "127.0.0.2:15999", "[::1]:15999"}) {
        gwtest::Ran r = CheckFiles(Config + "[http]\nlisten = \"" + http + "\"\n", Header + GoodRow);
        EXPECT_EQ(r.status, 0) << http << ": " << r.err;
    }
}

// Without [bacnet] a register may be 10000 or more; with it, up to 9999,
// and a section with only its instance is enough.
TEST_F(Check, TakesBacnetsSectionAndItsInstanceRange) {
    const std::string far = Header + "far,W000300,holding,9999,rw,\nfarther,W000302,holding,12000,r,\n";
    gwtest::Ran without = CheckFiles(Config, far);
    EXPECT_EQ(without.status, 0) << without.err;
    gwtest::Ran with = CheckFiles(Bacnet("device_instance = 4194302"),
                                  Header + GoodRow + "far,B0040027,coil,9999,rw,\n");
    EXPECT_EQ(with.status, 0) << with.err;
    gwtest::Ran keys = CheckFiles(Bacnet("listen = \"0.0.0.0:47808\"\ndevice_instance = 0\ndevice_name = "
                                         "\"Geb\u00e4ude 3\"\nbroadcast = \"192.168.1.255\""),
                                  Header + GoodRow);
    EXPECT_EQ(keys.status, 0) << keys.err;
}

// What is not a point list is refused as soon as it is looked at: never
// read whole, never waited on.
TEST_F(Check, RefusesAPointListThatIsNotARegularFileOrTooLarge) {
    ASSERT_EQ(mkfifo((folder_ + "/fifo.csv").c_str(), 0600), 0);
    std::filesystem::create_directory(folder_ + "/folder.csv");
    std::filesystem::resize_file((WriteFile(folder_ + "/big.csv", Header + GoodRow), folder_ + "/big.csv"),
                                 9u << 20); // sparse: 9 MiB without the disk
    struct Case {
        std::string points, message;
    } cases[] = {
        {"/dev/zero", "not a regular file (a character device)"},
        {folder_ + "/fifo.csv", "not a regular file (a FIFO)"},
        {folder_ + "/folder.csv", "not a regular file (a folder)"},
        {folder_ + "/big.csv", "larger than 8 MiB, the most it may be"},
    };
    for (const Case& c : cases) {
        WriteFile(folder_ + "/gw.toml", Replaced("p.csv", c.points));
        gwtest::Ran r = RunProgram({ZULGATE_PROGRAM, "--check", folder_ + "/gw.toml", "--lib", ZULTRK_LIBRARY}, folder_,
                                   std::chrono::seconds(10));
        EXPECT_EQ(r.status, 1) << c.points << " (-1: still running after 10 s)";
        EXPECT_NE(r.err.find("gw.toml:8: cannot read the point list " + c.points + ": " + c.message), std::string::npos)
            << r.err;
    }
    // The configuration itself, too.
    gwtest::Ran r = RunProgram({ZULGATE_PROGRAM, "--check", "/dev/zero", "--lib", ZULTRK_LIBRARY}, folder_,
                               std::chrono::seconds(10));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("/dev/zero: cannot read the file: not a regular file (a character device)"), std::string::npos)
        << r.err;
}

// A poll cycle that the line cannot finish within stale_ms is a warning:
// the file is good, but its values would go stale between two reads.
TEST_F(Check, WarnsOfAPollCycleLongerThanStaleMs) {
    const std::string slow = "baud = 1200\nstale_ms = 2000\n";
    struct Case {
        const char* what;
        std::string toml, csv, warning;
    } cases[] = {
        // 127 W: one read of 11 + 7 + 254 + 1 bytes, 2.3 s at 1200 baud.
        {"its own", WithKey(slow), Header + "w,W000100,holding,0,r,127\n",
         "gw.toml:4: warning: panel ahu1: a poll cycle of its 127 values takes at least 2.3 s on the line at 1200 "
         "baud, longer than stale_ms (2000)"},
        // 64 W each, 1.2 s: each panel has its own line, so no warning.
        {"each on its own line",
         WithKey(slow) + "\n[[panel]]\nname = \"ahu2\"\nport = \"COM6\"\nunit = 2\npoints = \"p.csv\"\n" + slow,
         Header + "w,W000100,holding,0,r,64\n", ""},
    };
    for (const Case& c : cases) {
        gwtest::Ran r = CheckFiles(c.toml, c.csv);
        EXPECT_EQ(r.status, 0) << c.what << ": " << r.err;
        EXPECT_NE(r.out.find(c.warning.empty() ? "no errors (" : "no errors, "), std::string::npos)
            << c.what << ": " << r.out;
        if (c.warning.empty()) {
            EXPECT_EQ(r.err.find("warning"), std::string::npos) << c.what << ": " << r.err;
        } else {
            EXPECT_NE(r.err.find(folder_ + "/" + c.warning), std::string::npos) << c.what << ": " << r.err;
        }
    }
}

} // namespace
