// How a port name reaches a device on Linux: the ports folder, then /dev;
// paths and the null device as given; one lock per device, whatever the
// name; and writes that cannot go out end at their deadline.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/linux/network_url.h"
#include "platform/linux/port_names.h"
#include "serial/port.h"
#include "tests/serial/pty.h"

namespace {

// A ports folder of the test's own, named by ZULTRK_PORTS for this process.
struct PortsFolderFixture : ::testing::Test {
    void SetUp() override {
        char pattern[] = "/tmp/zulports.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        setenv("ZULTRK_PORTS", folder.c_str(), 1);
    }
    void TearDown() override {
        for (const std::string& entry : entries) unlink(entry.c_str());
        rmdir(folder.c_str());
        unsetenv("ZULTRK_PORTS");
    }
    void Entry(const char* name, const char* target) {
        std::string entry = folder + "/" + name;
        ASSERT_EQ(symlink(target, entry.c_str()), 0);
        entries.push_back(entry);
    }
    std::string folder;
    std::vector<std::string> entries;
};

TEST_F(PortsFolderFixture, NamesResolveAsTheTableSays) {
    Pty pty;
    Entry("COM5", pty.path);
    Entry("COM7", "/nonexistent/ttyUSB9");
    // Device servers: an entry, a chain of entries (relative, then
    // absolute), and a URL given as the name.
    Entry("NET1", "rfc2217://10.1.2.3:4001");
    Entry("NET2", "NET1");
    Entry("NET3", (folder + "/NET2").c_str());
    Entry("NET4", "tcp://[fd00::7]:4002");
    struct Case {
        const char* name;
        PortNameKind kind;
        std::string path;
    };
    const Case cases[] = {
        {"COM5", PortNameKind::PortsFolder, folder + "/COM5"},
        {"\\\\.\\COM5", PortNameKind::PortsFolder, folder + "/COM5"},
        {"COM7", PortNameKind::PortsFolder, folder + "/COM7"},
        {"ttyUSB0", PortNameKind::DevFolder, "/dev/ttyUSB0"},
        {pty.path, PortNameKind::Path, pty.path},
        {"NUL", PortNameKind::Null, "/dev/null"},
        {"nul", PortNameKind::Null, "/dev/null"},
        {"", PortNameKind::Invalid, ""},
        {"NET1", PortNameKind::Network, "rfc2217://10.1.2.3:4001"},
        {"NET2", PortNameKind::Network, "rfc2217://10.1.2.3:4001"},
        {"NET3", PortNameKind::Network, "rfc2217://10.1.2.3:4001"},
        {"NET4", PortNameKind::Network, "tcp://[fd00::7]:4002"},
        {"tcp://1.2.3.4:5", PortNameKind::Network, "tcp://1.2.3.4:5"},
    };
    for (const Case& c : cases) {
        ResolvedPortName r = ResolvePortName(c.name);
        EXPECT_EQ(r.kind, c.kind) << c.name;
        EXPECT_EQ(std::string(r.path), c.path) << c.name;
    }
}

TEST_F(PortsFolderFixture, TheChannelOpensThroughAnEntryAndTheLockHoldsThroughBothNames) {
    Pty pty;
    Entry("COM5", pty.path);
    HANDLE viaEntry = nullptr;
    ASSERT_EQ(OpenComm("COM5", LineSettings{}, viaEntry), PortResult::Ok);
    HANDLE viaPath = nullptr;
    EXPECT_EQ(OpenComm(pty.path, LineSettings{}, viaPath), PortResult::OpenFailed) << "the device is taken";
    EXPECT_EQ(CloseComm(viaEntry), PortResult::Ok);
    ASSERT_EQ(OpenComm(pty.path, LineSettings{}, viaPath), PortResult::Ok);
    EXPECT_EQ(OpenComm("COM5", LineSettings{}, viaEntry), PortResult::OpenFailed);
    EXPECT_EQ(CloseComm(viaPath), PortResult::Ok);
}

TEST_F(PortsFolderFixture, AnEntryThatPointsNowhereOpensNothing) {
    Entry("ptmx", "/nonexistent/ttyUSB9");
    HANDLE handle = nullptr;
    EXPECT_EQ(OpenComm("ptmx", LineSettings{}, handle), PortResult::OpenFailed)
        << "a broken entry must not fall back to /dev/ptmx";
}

TEST_F(PortsFolderFixture, ANameWithoutAnEntryIsTakenFromDev) {
    HANDLE handle = nullptr;
    ASSERT_EQ(OpenComm("ptmx", LineSettings{}, handle), PortResult::Ok) << "/dev/ptmx, a terminal";
    EXPECT_EQ(CloseComm(handle), PortResult::Ok);
    EXPECT_EQ(OpenComm("zultrk-none", LineSettings{}, handle), PortResult::OpenFailed);
}

// A pseudo-terminal whose far end has stopped reading fills up; the write
// then ends at its deadline (the bytes' line time plus 1 s) and fails.
TEST(BoundedWrite, FailsWhenTheFarEndStopsReading) {
    Pty pty;
    LineSettings line;
    line.baudRate = 38400;
    HANDLE handle = nullptr;
    ASSERT_EQ(OpenComm(pty.path, line, handle), PortResult::Ok);
    const Bytes chunk(4096, 0x41);
    std::uint32_t written = 0;
    Stopwatch clock;
    PortResult rc = PortResult::Ok;
    for (int i = 0; i < 256 && rc == PortResult::Ok; ++i) rc = WriteComm(handle, chunk.data(), 4096, &written);
    EXPECT_EQ(rc, PortResult::CallFailed) << "a megabyte never stalled";
    // The last write: 4096 bytes at 38400 baud take 1.07 s, plus the margin.
    EXPECT_LT(clock.Ms(), 30000.0);
    Stopwatch last;
    EXPECT_EQ(WriteComm(handle, chunk.data(), 100, &written), PortResult::CallFailed);
    EXPECT_GE(last.Ms(), 1000.0);
    EXPECT_LT(last.Ms(), 1026.0 + 1000.0);
    CloseComm(handle);
}

} // namespace

namespace {

// Which URLs name a device server's port: address literals only, so that
// no open ever waits on a name lookup.
TEST(NetworkUrls, ParseAsTheTableSays) {
    struct Case {
        const char* text;
        bool ok;
        NetworkTransport transport;
        int family;
        unsigned short port;
    };
    const Case cases[] = {
        {"tcp://127.0.0.1:4001", true, NetworkTransport::RawTcp, AF_INET, 4001},
        {"rfc2217://10.1.2.3:65535", true, NetworkTransport::Rfc2217, AF_INET, 65535},
        {"RFC2217://[::1]:1", true, NetworkTransport::Rfc2217, AF_INET6, 1},
        {"tcp://[fd00::7]:4002", true, NetworkTransport::RawTcp, AF_INET6, 4002},
        {"tcp://device.example:4001", false, NetworkTransport::RawTcp, 0, 0}, // a name: no lookups
        {"tcp://127.0.0.1", false, NetworkTransport::RawTcp, 0, 0},
        {"tcp://127.0.0.1:0", false, NetworkTransport::RawTcp, 0, 0},
        {"tcp://127.0.0.1:65536", false, NetworkTransport::RawTcp, 0, 0},
        {"tcp://127.0.0.1:04001", false, NetworkTransport::RawTcp, 0, 0},
        {"tcp://127.0.0.1:4001/", false, NetworkTransport::RawTcp, 0, 0},
        {"tcp://::1:4001", false, NetworkTransport::RawTcp, 0, 0}, // IPv6 only in brackets
        {"tcp://[::1]4001", false, NetworkTransport::RawTcp, 0, 0},
        {"socket://127.0.0.1:4001", false, NetworkTransport::RawTcp, 0, 0},
        {"tcp://:4001", false, NetworkTransport::RawTcp, 0, 0},
    };
    for (const Case& c : cases) {
        NetworkUrl url;
        EXPECT_EQ(ParseNetworkUrl(c.text, url), c.ok) << c.text;
        if (!c.ok) continue;
        EXPECT_EQ(url.transport, c.transport) << c.text;
        EXPECT_EQ(url.address.ss_family, c.family) << c.text;
        EXPECT_EQ(url.port, c.port) << c.text;
    }
}

} // namespace
