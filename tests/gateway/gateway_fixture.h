// The gateway run as a program against simulated panels on pseudo-terminals
// behind ports-folder names, through the built driver: starting it on a
// configuration and point lists, and the clients nobody here wrote that
// talk to it (mbpoll, Debian's pymodbus under /usr/bin/python3).
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "sim/panel_sim.h"
#include "tests/gateway/process.h"
#include "tests/support/free_port.h"

namespace gwtest {

using nlohmann::json;
using std::chrono::milliseconds;
using std::chrono::seconds;
using Bytes = std::vector<std::uint8_t>;

using zultest::FreePort;

inline json R(const char* fn, int address, int count = 1, int unit = 1) {
    return {{"fn", fn}, {"address", address}, {"count", count}, {"unit", unit}};
}
inline json W(const char* fn, int address, json value, int unit = 1) {
    json r = {{"fn", fn}, {"address", address}, {"unit", unit}};
    r[value.is_array() ? "values" : "value"] = value;
    return r;
}
inline json Values(std::vector<int> v) { return {{"values", v}}; }
inline json Exception(int code) { return {{"exception", code}}; }
inline const json Ok = {{"ok", true}};

inline std::uint32_t FloatBits(float f) {
    std::uint32_t bits;
    std::memcpy(&bits, &f, 4);
    return bits;
}

inline std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class Gateway : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = gwtest::TempFolder();
        ASSERT_FALSE(folder_.empty());
        mkdir((folder_ + "/ports").c_str(), 0700);
        // The gateway names its ports as a host does (COM5), through the
        // driver's ports folder; panel dates are local midnights.
        setenv("ZULTRK_PORTS", (folder_ + "/ports").c_str(), 1);
        setenv("TZ", "UTC0", 1);
        port_ = FreePort();
        ASSERT_GT(port_, 0);
    }
    void TearDown() override {
        if (gate_ && gate_->Wait(milliseconds(0)) < 0) {
            // Every run ends as an integrator's does: clean, also under the sanitizers.
            gate_->Signal(SIGTERM);
            EXPECT_EQ(gate_->Wait(seconds(10)), 0) << Log();
        }
        gate_.reset();
        sims_.clear();
        std::filesystem::remove_all(folder_);
    }

    // A simulated panel behind ports-folder entry `name`.
    zulsim::PanelSim& Sim(const std::string& name, zulsim::Options options = {}) {
        options.linkPath = folder_ + "/ports/" + name;
        sims_.push_back(std::make_unique<zulsim::PanelSim>(options));
        std::string error;
        EXPECT_TRUE(sims_.back()->Start(&error)) << error;
        return *sims_.back();
    }

    // Starts zulgate on this configuration's panels (TOML) and point lists
    // (file name -> CSV); true once each of `started` has started.
    bool Start(const std::string& panels, const std::map<std::string, std::string>& lists,
               const std::vector<std::string>& started, const std::string& sections = "") {
        for (const auto& [file, csv] : lists) gwtest::WriteFile(folder_ + "/" + file, csv);
        gwtest::WriteFile(folder_ + "/gw.toml", "[modbus]\nlisten = \"127.0.0.1:" + std::to_string(port_) + "\"\n" +
                                                    sections + "\n" + panels);
        gate_ = std::make_unique<gwtest::Process>(std::vector<std::string>{ZULGATE_PROGRAM, "--config",
                                                                           folder_ + "/gw.toml", "--lib",
                                                                           ZULTRK_LIBRARY, "-v"},
                                                  folder_ + "/gate.out", folder_ + "/gate.err");
        if (!gate_->WaitForErr("modbus: listening", seconds(20))) return false;
        for (const std::string& name : started) {
            if (!gate_->WaitForErr(name + ": started", seconds(30))) return false;
        }
        return true;
    }
    std::string Log() const { return gate_ ? gate_->Err() : std::string(); }

    // pymodbus: one answer per request.
    std::vector<json> Client(const std::vector<json>& requests) {
        std::string input = folder_ + "/requests.json";
        std::string text;
        for (const json& r : requests) text += r.dump() + "\n";
        gwtest::WriteFile(input, text);
        gwtest::Ran ran = gwtest::RunProgram({"/usr/bin/python3", ZULGATE_TEST_DIR "/modbus_client.py",
                                              std::to_string(port_)},
                                             folder_, seconds(60), input);
        EXPECT_EQ(ran.status, 0) << ran.err;
        std::vector<json> answers;
        std::istringstream in(ran.out);
        for (std::string line; std::getline(in, line);) answers.push_back(json::parse(line));
        return answers;
    }
    json Ask(const json& request) {
        std::vector<json> a = Client({request});
        return a.empty() ? json() : a.front();
    }

    // mbpoll, once, PDU addressing: the values it printed, "written" after a
    // write, or its complaint.
    std::string Mbpoll(std::vector<std::string> args, int unit = 1) {
        std::vector<std::string> all{"/usr/bin/mbpoll",
                                     "-m",
                                     "tcp",
                                     "-p",
                                     std::to_string(port_),
                                     "-a",
                                     std::to_string(unit),
                                     "-0",
                                     "-1",
                                     "-o",
                                     "8"};
        all.insert(all.end(), args.begin(), args.end());
        gwtest::Ran ran = gwtest::RunProgram(all, folder_, seconds(30));
        std::string values;
        std::istringstream in(ran.out);
        for (std::string line; std::getline(in, line);) {
            // "[0]: \t4660"
            std::size_t colon = line.find("]:");
            std::size_t value = line.find_first_not_of(" \t", colon + 2);
            if (!line.empty() && line[0] == '[' && colon != std::string::npos && value != std::string::npos) {
                values += (values.empty() ? "" : " ") + line.substr(value);
            }
        }
        if (ran.status == 0 && values.empty() && ran.out.find("Written ") != std::string::npos) return "written";
        if (ran.status != 0 || values.empty()) {
            std::size_t start = ran.err.find_first_not_of('\n');
            std::string first = start == std::string::npos ? ran.out : ran.err.substr(start);
            return "failed (" + std::to_string(ran.status) + "): " + first.substr(0, first.find('\n'));
        }
        return values;
    }
    // Reads one register with mbpoll until `done` holds of what it printed.
    bool MbpollUntil(int unit, int reg, const std::function<bool(const std::string&)>& done, seconds wait) {
        auto until = Clock::now() + wait;
        std::string last;
        while (Clock::now() < until) {
            last = Mbpoll({"-t", "4", "-r", std::to_string(reg), "127.0.0.1"}, unit);
            if (done(last)) return true;
            std::this_thread::sleep_for(milliseconds(100));
        }
        ADD_FAILURE() << "unit " << unit << " register " << reg << ": mbpoll said " << last;
        return false;
    }

    std::string folder_;
    int port_ = 0;
    std::vector<std::unique_ptr<zulsim::PanelSim>> sims_;
    std::unique_ptr<gwtest::Process> gate_; // stopped before the panels
};

inline const char* EveryLetter =
    "name,address,table,register,access,count\n"
    "byte,B004002,holding,0,rw,\n"
    "low nibble,E004003,holding,1,rw,\n"
    "high nibble,M004003,holding,2,rw,\n"
    "time,T004004,holding,3,rw,\n"
    "words,W000100,holding,4,rw,2\n"
    "long,L003000,holding,6,rw,\n"
    "fixed,W000200,holding,8,r,\n"
    "float,F003004,input,0,r,\n"
    "date,D005000,input,2,r,\n"
    "byte again,B004002,input,4,r,\n"
    "bit 7,B0040027,coil,0,rw,\n"
    "bit 15,W000100F,coil,1,rw,\n"
    "status,B0040060,discrete,0,r,3\n";

// A [[panel]] with short times for tests; `more` ("key = value" lines) adds
// keys or takes the place of these.
inline std::string Panel(const std::string& name, const std::string& port, int unit, const std::string& points,
                         const std::string& more = "") {
    std::map<std::string, std::string> keys{{"poll_ms", "200"},
                                            {"stale_ms", "3000"},
                                            {"probe_ms", "1000"},
                                            {"response_timeout_ms", "100"}};
    std::istringstream in(more);
    for (std::string line; std::getline(in, line);) {
        std::size_t eq = line.find(" = ");
        if (eq != std::string::npos) keys[line.substr(0, eq)] = line.substr(eq + 3);
    }
    std::string text = "[[panel]]\nname = \"" + name + "\"\nport = \"" + port + "\"\nunit = " + std::to_string(unit) +
                       "\npoints = \"" + points + "\"\n";
    for (const auto& [key, value] : keys) text += key + " = " + value + "\n";
    return text + "\n";
}

} // namespace gwtest
