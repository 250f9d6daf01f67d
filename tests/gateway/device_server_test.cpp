// zulgate with panels behind Debian's ser2net, named by URL in its
// configuration: one behind the RFC 2217 accepter, one behind raw TCP.
// Values holding 0xFF (Telnet's IAC) and 0x10 (the frame's DLE) read and
// written exactly through Modbus, the panels' memory afterwards, and
// service back after the device servers restart.
#include <sys/stat.h>

#include "tests/devsrv/ser2net.h"
#include "tests/gateway/gateway_fixture.h"

namespace gwtest {
namespace {

class DeviceServers : public Gateway {
protected:
    std::unique_ptr<devsrv::Ser2net> Server(const std::string& name, const zulsim::PanelSim& sim) {
        std::string folder = folder_ + "/" + name;
        mkdir(folder.c_str(), 0700);
        auto server = std::make_unique<devsrv::Ser2net>(folder, sim.DevicePath());
        EXPECT_TRUE(server->Start()) << server->Output();
        return server;
    }
    // Reads holding registers 0 and 1 of a unit with pymodbus until they
    // are the values wanted, or the wait ends.
    bool ServedUntil(int unit, const std::vector<int>& wanted, seconds wait) {
        auto until = Clock::now() + wait;
        json last;
        while (Clock::now() < until) {
            last = Ask(R("read_holding", 0, 2, unit));
            if (last == Values(wanted)) return true;
            std::this_thread::sleep_for(milliseconds(100));
        }
        ADD_FAILURE() << "unit " << unit << ": " << last.dump() << "\n" << Log();
        return false;
    }
    bool MemoryUntil(const zulsim::PanelSim& sim, const Bytes& wanted, seconds wait) {
        auto until = Clock::now() + wait;
        while (Clock::now() < until) {
            if (sim.GetBytes(0x004000, wanted.size()) == wanted) return true;
            std::this_thread::sleep_for(milliseconds(20));
        }
        return sim.GetBytes(0x004000, wanted.size()) == wanted;
    }
};

TEST_F(DeviceServers, PanelsNamedByUrlReadWriteAndComeBackAfterARestart) {
    zulsim::PanelSim& first = Sim("simA");
    zulsim::PanelSim& second = Sim("simB");
    first.SetBytes(0x004000, {0xFF, 0x10, 0x10, 0xFF});
    second.SetBytes(0x004000, {0xFF, 0xFF, 0x10, 0x10});
    auto rfc = Server("a", first);
    auto raw = Server("b", second);
    const std::string points = "name,address,table,register,access,count\nwords,W004000,holding,0,rw,2\n";
    ASSERT_TRUE(Start(Panel("rfc", devsrv::Ser2net::Url("rfc2217", rfc->rfc2217), 1, "p.csv") +
                          Panel("raw", devsrv::Ser2net::Url("tcp", raw->raw), 2, "p.csv"),
                      {{"p.csv", points}}, {"rfc", "raw"}))
        << Log();
    EXPECT_TRUE(ServedUntil(1, {0x10FF, 0xFF10}, seconds(10)));
    EXPECT_TRUE(ServedUntil(2, {0xFFFF, 0x1010}, seconds(10)));

    EXPECT_EQ(Ask(W("write_registers", 0, json::array({0xFFFF, 0x10FF}), 1)), Ok);
    EXPECT_EQ(Ask(W("write_registers", 0, json::array({0x1010, 0xFF00}), 2)), Ok);
    EXPECT_TRUE(MemoryUntil(first, {0xFF, 0xFF, 0xFF, 0x10}, seconds(5))) << Log();
    EXPECT_TRUE(MemoryUntil(second, {0x10, 0x10, 0x00, 0xFF}, seconds(5))) << Log();
    EXPECT_TRUE(ServedUntil(1, {0xFFFF, 0x10FF}, seconds(10)));
    EXPECT_TRUE(ServedUntil(2, {0x1010, 0xFF00}, seconds(10)));

    // Both device servers stop: the panels are gone; they start again, and
    // within 10 s the gateway serves them again, not restarted itself.
    rfc->Stop();
    raw->Stop();
    EXPECT_TRUE(gate_->WaitForErr("rfc: the device server of port rfc2217://", seconds(15))) << Log();
    EXPECT_TRUE(gate_->WaitForErr("raw: the device server of port tcp://", seconds(15))) << Log();
    first.SetBytes(0x004000, {0x10, 0x10, 0xFF, 0xFF});
    ASSERT_TRUE(rfc->Start()) << rfc->Output();
    ASSERT_TRUE(raw->Start()) << raw->Output();
    auto back = Clock::now();
    EXPECT_TRUE(ServedUntil(1, {0x1010, 0xFFFF}, seconds(10)));
    EXPECT_TRUE(ServedUntil(2, {0x1010, 0xFF00}, seconds(10)));
    EXPECT_LT(Clock::now() - back, seconds(10)) << Log();
}

} // namespace
} // namespace gwtest
