// zulhost ports, its warnings and the reasons it gives for a port that will
// not open, on a fixture tree of /dev, /sys and /proc: this machine has no
// USB adapter, and the tests run as root, so the user is named too.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "tests/support/free_port.h"
#include "tests/tool/run_tool.h"

namespace {

using zulhost_test::RunTool;

class PortsFixture : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zulfix.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        const std::string usb = "/sys/devices/pci0/usb1/1-1";
        for (const char* dir :
             {"/dev/serial/by-id", "/sys/class/tty/ttyS0/device", "/sys/class/tty/ttyS1/device", "/sys/class/tty/tty1",
              "/sys/class/tty/ttyACM0/device", "/sys/bus/usb-serial/drivers/ftdi_sio", "/sys/bus/serial/drivers/port",
              "/sys/bus/usb/drivers/cdc_acm", "/proc/4242", "/proc/4243/fd", "/proc/4244", "/ports"}) {
            Mkdirs(root + dir);
        }
        Mkdirs(root + usb + "/1-1:1.0/ttyUSB0");
        File(usb + "/idVendor", "0403");
        File(usb + "/idProduct", "6001");
        File(usb + "/manufacturer", "FTDI");
        File(usb + "/product", "FT232R USB UART");
        File(usb + "/serial", "A10K1");
        File(usb + "/1-1:1.0/ttyUSB0/latency_timer", "16");
        Link(root + "/sys/bus/usb-serial/drivers/ftdi_sio", usb + "/1-1:1.0/ttyUSB0/driver");
        Mkdirs(root + "/sys/class/tty/ttyUSB0");
        Link(root + usb + "/1-1:1.0/ttyUSB0", "/sys/class/tty/ttyUSB0/device");
        // 8250 ports without a UART (type 0) are not listed, virtual terminals neither.
        File("/sys/class/tty/ttyS0/type", "0");
        Link(root + "/sys/bus/serial/drivers/port", "/sys/class/tty/ttyS0/device/driver");
        File("/sys/class/tty/ttyS1/type", "4");
        Link(root + "/sys/bus/serial/drivers/port", "/sys/class/tty/ttyS1/device/driver");
        Link(root + "/sys/bus/usb/drivers/cdc_acm", "/sys/class/tty/ttyACM0/device/driver");
        for (const char* dev : {"/dev/ttyUSB0", "/dev/ttyS1", "/dev/ttyACM0"}) File(dev, "");
        chmod((root + "/dev/ttyUSB0").c_str(), 0666);
        chmod((root + "/dev/ttyS1").c_str(), 0666);
        // ttyACM0 belongs to another group, read and write for it only.
        group* dialout = getgrnam("dialout");
        otherGroup = dialout ? dialout->gr_gid : 20;
        ASSERT_EQ(chown((root + "/dev/ttyACM0").c_str(), 0, otherGroup), 0);
        chmod((root + "/dev/ttyACM0").c_str(), 0660);
        Link("../../ttyUSB0", "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1-if00-port0");
        Link(root + "/dev/ttyUSB0", "/ports/COM5");
        Link("/nonexistent/ttyUSB7", "/ports/COM9");
        File("/proc/4242/comm", "ModemManager");
        File("/proc/4243/comm", "minicom");
        Link(root + "/dev/ttyUSB0", "/proc/4243/fd/3");
        File("/proc/4244/comm", "picocom");
        struct stat st;
        ASSERT_EQ(stat((root + "/dev/ttyACM0").c_str(), &st), 0);
        char lock[128];
        std::snprintf(lock, sizeof lock, "1: FLOCK  ADVISORY  WRITE 4244 %02x:%02x:%lu 0 EOF\n", major(st.st_dev),
                      minor(st.st_dev), static_cast<unsigned long>(st.st_ino));
        File("/proc/locks", lock);

        setenv("ZULHOST_DEV_ROOT", (root + "/dev").c_str(), 1);
        setenv("ZULHOST_SYS_ROOT", (root + "/sys").c_str(), 1);
        setenv("ZULHOST_PROC_ROOT", (root + "/proc").c_str(), 1);
        setenv("ZULTRK_PORTS", (root + "/ports").c_str(), 1);
        setenv("ZULHOST_IDENTITY", "1000:1000:ana", 1);
    }
    void TearDown() override {
        for (const char* v :
             {"ZULHOST_DEV_ROOT", "ZULHOST_SYS_ROOT", "ZULHOST_PROC_ROOT", "ZULTRK_PORTS", "ZULHOST_IDENTITY"})
            unsetenv(v);
        std::string command = "rm -rf '" + root + "'";
        EXPECT_EQ(system(command.c_str()), 0);
    }
    static void Mkdirs(const std::string& path) {
        std::string command = "mkdir -p '" + path + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }
    void File(const std::string& path, const std::string& text) {
        std::ofstream(root + path) << text << (text.empty() ? "" : "\n");
    }
    void Link(const std::string& target, const std::string& path) {
        ASSERT_EQ(symlink(target.c_str(), (root + path).c_str()), 0);
    }

    std::string root;
    gid_t otherGroup = 20;
};

const nlohmann::json* Device(const nlohmann::json& j, const std::string& path) {
    for (const auto& d : j["devices"]) {
        if (d["device"] == path) return &d;
    }
    return nullptr;
}

bool Mentions(const nlohmann::json& warnings, const std::string& text) {
    for (const auto& w : warnings) {
        if (w.get<std::string>().find(text) != std::string::npos) return true;
    }
    return false;
}

TEST_F(PortsFixture, ListsEveryDeviceWithWhatItNeeds) {
    auto run = RunTool({"--json", "ports"});
    ASSERT_EQ(run.status, 0) << run.err;
    nlohmann::json j = run.Json();
    ASSERT_EQ(j["devices"].size(), 3u) << j.dump(2); // ttyACM0, ttyS1, ttyUSB0; not ttyS0, not tty1
    EXPECT_EQ(Device(j, "/dev/ttyS0"), nullptr);

    const nlohmann::json* usb = Device(j, "/dev/ttyUSB0");
    ASSERT_NE(usb, nullptr);
    EXPECT_EQ((*usb)["names"], nlohmann::json::array({"COM5"}));
    EXPECT_EQ((*usb)["byId"][0], "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1-if00-port0");
    EXPECT_EQ((*usb)["usb"]["vendor"], "0403");
    EXPECT_EQ((*usb)["usb"]["productName"], "FT232R USB UART");
    EXPECT_EQ((*usb)["driver"], "ftdi_sio");
    EXPECT_EQ((*usb)["latencyTimerMs"], 16);
    EXPECT_EQ((*usb)["inUseBy"][0]["command"], "minicom");
    EXPECT_TRUE((*usb)["mayOpen"]);
    EXPECT_TRUE(Mentions((*usb)["warnings"], "echo 1 > /sys/bus/usb-serial/devices/ttyUSB0/latency_timer"));

    const nlohmann::json* acm = Device(j, "/dev/ttyACM0");
    ASSERT_NE(acm, nullptr);
    EXPECT_EQ((*acm)["names"][0], "ttyACM0");
    EXPECT_FALSE((*acm)["mayOpen"]);
    EXPECT_TRUE(Mentions((*acm)["warnings"], "usermod -aG " + std::string(getgrgid(otherGroup)->gr_name) + " ana"));
    EXPECT_TRUE((*acm)["inUseBy"][0]["lock"]) << "picocom holds its lock";
    EXPECT_TRUE((*acm)["latencyTimerMs"].is_null());

    EXPECT_TRUE(j["modemManager"]);
    EXPECT_EQ(j["brokenEntries"][0]["name"], "COM9");
}

TEST_F(PortsFixture, OpeningAPortWarnsAndSaysWhyItFailed) {
    struct Case {
        const char* port;
        const char* warning; // on stderr before the open, or "" for none
        const char* reason;  // in the failure line
    };
    const Case cases[] = {
        {"COM5", "latency timer 16 ms", "busy, PID 4243 (minicom) has it open"},
        {"ttyACM0", "no permission", "no permission"},
        {"COM9", "", "does not exist"},
        {"ttyUSB3", "", "/dev/ttyUSB3 (a device in /dev), which does not exist"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        auto run = RunTool({"--port", c.port, "start"});
        EXPECT_EQ(run.status, 2);
        if (*c.warning) {
            EXPECT_NE(run.err.find(std::string("warning: ") + c.port + ": " + c.warning), std::string::npos) << run.err;
        }
        EXPECT_NE(run.err.find("ModemManager is running"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(std::string("ERROR ColdStart(): Fail to open ") + c.port), std::string::npos)
            << "the driver's own line stays as it is";
    }
}

// Entries whose targets are device servers' URLs: listed with whether the
// server accepts a connection (one listens here, the other port is shut),
// and a start on the shut one says why it failed.
TEST_F(PortsFixture, ListsDeviceServersAndWhetherTheyAccept) {
    sockaddr_in a{};
    int listener = zultest::LoopbackListener(4, a);
    ASSERT_GE(listener, 0);
    socklen_t length = sizeof a;
    int shut = socket(AF_INET, SOCK_STREAM, 0); // bound, never listening: connections are refused
    sockaddr_in b = a;
    b.sin_port = 0;
    ASSERT_EQ(bind(shut, reinterpret_cast<sockaddr*>(&b), sizeof b), 0);
    ASSERT_EQ(getsockname(shut, reinterpret_cast<sockaddr*>(&b), &length), 0);
    const std::string open = "tcp://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    const std::string refused = "rfc2217://127.0.0.1:" + std::to_string(ntohs(b.sin_port));
    Link(open, "/ports/COM7");
    Link(refused, "/ports/COM8");

    auto run = RunTool({"--json", "ports"});
    ASSERT_EQ(run.status, 0) << run.err;
    nlohmann::json servers = run.Json()["deviceServers"];
    ASSERT_EQ(servers.size(), 2u) << servers.dump(2);
    EXPECT_EQ(servers[0]["name"], "COM7");
    EXPECT_EQ(servers[0]["url"], open);
    EXPECT_TRUE(servers[0]["accepts"]);
    EXPECT_EQ(servers[1]["name"], "COM8");
    EXPECT_FALSE(servers[1]["accepts"]);
    EXPECT_EQ(servers[1]["why"], "Connection refused");
    EXPECT_EQ(run.Json()["brokenEntries"].size(), 1u) << "a URL is no broken entry";

    auto start = RunTool({"--port", "COM8", "start"});
    EXPECT_EQ(start.status, 2);
    EXPECT_NE(start.err.find("'COM8' names " + refused + " (a device server), which does not accept a connection"),
              std::string::npos)
        << start.err;
    close(shut);
    close(listener);
}

// A start on a serial port looks at the ports folder for advice, but never
// connects to the device servers listed there: a server takes one
// connection at a time, and that may be another host's.
TEST_F(PortsFixture, AStartOnASerialPortLeavesTheDeviceServersAlone) {
    sockaddr_in a{};
    int listener = zultest::LoopbackListener(4, a);
    ASSERT_GE(listener, 0);
    Link("tcp://127.0.0.1:" + std::to_string(ntohs(a.sin_port)), "/ports/COM7");

    auto start = RunTool({"--port", "COM5", "--timeout", "10", "start"});
    EXPECT_NE(start.status, 0); // the fixture's device is no serial line
    pollfd p{listener, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0) << "the start connected to the device server";
    close(listener);
}

TEST(Ports, RunsOnThisMachinesOwnRoots) {
    auto run = RunTool({"--json", "ports"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.Json()["devices"].is_array());
}

} // namespace
