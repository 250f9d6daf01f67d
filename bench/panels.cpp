// Panels side by side: zulgate in this process (its panels' workers are the
// built zulgate, run as zulgate runs them), against paced simulated panels
// in this process on pseudo-terminals, all at 9600 baud with a panel that
// answers 20 ms after each request, every panel with the same point list:
//   - each panel's poll cycle with 1, 4, 8 (and 32) panels polled back to
//     back, against the same panel's cycle alone, measured first in the
//     same run;
//   - what a panel costs: the worker's memory, descriptors and threads, and
//     the gateway's descriptors and threads for it;
//   - the first value of healthy panels beside one silent from the start
//     (its handshake takes about half a minute), against a panel alone; and
//     writes to a healthy panel during that handshake;
//   - the same as an integrator meets it: three zulsim programs, one silent,
//     the zulgate program, reads through Modbus every 250 ms for 40 s.
#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "bench/bench.h"
#include "bench/bench_gateway.h"
#include "tests/support/free_port.h"
#include "gateway/config.h"
#include "gateway/gateway.h"
#include "gateway/log.h"
#include "gateway/panel_link.h"
#include "gateway/panel_output.h"
#include "host/client/library_loader.h"
#include "sim/panel_sim.h"

extern char** environ;

namespace zulbench {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

// One GET on loopback, answered whole within a second; its body, or "".
std::string HttpGet(int port, const std::string& path) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return {};
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<std::uint16_t>(port));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string got;
    std::string ask = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
        send(fd, ask.data(), ask.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(ask.size())) {
        char buffer[4096];
        for (auto until = Clock::now() + seconds(1); Clock::now() < until;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            got.append(buffer, static_cast<std::size_t>(n));
        }
    }
    close(fd);
    std::size_t body = got.find("\r\n\r\n");
    return body == std::string::npos ? std::string() : got.substr(body + 4);
}

constexpr int Baud = 9600;
constexpr int TurnaroundMs = 20;
constexpr int CyclesEach = 5;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Four blocks a cycle: 40 W, 20 B, 10 L and 16 bits of two bytes, apart.
const char* SamePoints =
    "name,address,table,register,access,count\n"
    "words,W000100,holding,0,rw,40\n"
    "bytes,B002000,holding,40,r,20\n"
    "longs,L003000,holding,60,r,10\n"
    "bits,B0040000,coil,0,r,2\n";

std::string Folder() {
    char path[] = "/tmp/zulbench-panels-XXXXXX";
    return mkdtemp(path) ? std::string(path) : std::string();
}

// Panels on the field line, and zulgate over them: its panels' workers, or
// for reference the same panels' links on one thread of this process, as
// zulgate drove them before it had workers (writes aside).
class SideBySide {
public:
    // The first `silent` panels never answer; their response timeout is R.
    SideBySide(const Options& options, int panels, int silent, int silentTimeoutMs, std::string& error,
               bool oneThread = false)
        : gate_(options.driverPath) {
        std::mt19937 rng(static_cast<unsigned>(panels));
        std::filesystem::create_directories(gate_.Folder() + "/ports");
        setenv("ZULTRK_PORTS", (gate_.Folder() + "/ports").c_str(), 1); // for the workers too
        std::ostringstream toml;
        toml << "[modbus]\nlisten = \"127.0.0.1:" << FreeTcpPort() << "\"\n\n";
        for (int i = 0; i < panels; ++i) {
            zulsim::Options o;
            o.baud = Baud;
            o.turnaroundMs = TurnaroundMs;
            o.silent = i < silent;
            o.linkPath = gate_.Folder() + "/ports/P" + std::to_string(i);
            sims_.push_back(std::make_unique<zulsim::PanelSim>(o));
            if (!sims_.back()->Start(&error)) return;
            for (std::uint32_t at : {0x100u, 0x2000u, 0x3000u, 0x4000u}) {
                std::vector<std::uint8_t> bytes(80);
                for (auto& b : bytes) b = static_cast<std::uint8_t>(rng() % 0x10 + 0x20); // no DLE
                sims_.back()->SetBytes(at, bytes);
            }
            toml << "[[panel]]\nname = \"p" << i << "\"\nport = \"P" << i << "\"\nunit = " << i + 1
                 << "\nbaud = " << Baud << "\npoll_ms = 50\nstale_ms = 60000\npoints = \"p.csv\"\n"
                 << (i < silent ? "response_timeout_ms = " + std::to_string(silentTimeoutMs) + "\n" : "") << "\n";
        }
        gate_.Write("p.csv", SamePoints);
        gate_.Write("gw.toml", toml.str());
        if (!gate_.Check(error)) return;
        descriptorsBefore_ = Entries("/proc/self/fd");
        threadsBefore_ = StatusField("/proc/self/status", "Threads:");
        started_ = Clock::now();
        if (oneThread) {
            StartOneThread();
            return;
        }
        gate_.Start(error);
    }
    ~SideBySide() {
        gate_.Stop();
        stopping_ = true;
        if (thread_.joinable()) thread_.join(); // after the request on the line, a handshake too
        sims_.clear();
    }
    bool Ok() const { return gate_.Running() || store_ != nullptr; }
    const zulgate::Gateway& Gateway() const { return gate_.Gateway(); }
    const zulgate::PointStore& Store() const { return gate_.Running() ? gate_.Gateway().Store() : *store_; }
    zulsim::PanelSim& Sim(int i) { return *sims_[static_cast<std::size_t>(i)]; }
    int ModbusPort() const { return gate_.Checked().config.modbus.listen.port; }

    // Time from the start to the panel's first value read well.
    double FirstValueMs(int panel, milliseconds wait) const {
        for (auto until = started_ + wait; Clock::now() < until;) {
            std::vector<zulgate::StoredValue> v;
            Store().Read(static_cast<std::size_t>(panel), {0}, v);
            if (!v.empty() && v[0].quality == zulgate::Quality::Good) return Ms(v[0].readAt - started_);
            std::this_thread::sleep_for(milliseconds(2));
        }
        return -1;
    }

    // `more` complete cycles of each of the panels from `first` on, after
    // the one in progress; their durations, by panel.
    std::vector<std::vector<double>> Cycles(int first, int more, seconds wait) const {
        std::size_t n = sims_.size();
        std::vector<std::uint64_t> seen(n);
        std::vector<std::vector<double>> cycles(n);
        for (std::size_t i = 0; i < n; ++i) seen[i] = Store().Status(i).cycle.cycles + 1;
        for (auto until = Clock::now() + wait; Clock::now() < until;) {
            bool all = true;
            for (std::size_t i = static_cast<std::size_t>(first); i < n; ++i) {
                zulgate::CycleStats c = Store().Status(i).cycle;
                if (c.cycles > seen[i]) {
                    seen[i] = c.cycles;
                    cycles[i].push_back(Ms(c.lastDuration));
                }
                all = all && static_cast<int>(cycles[i].size()) >= more;
            }
            if (all) break;
            std::this_thread::sleep_for(milliseconds(2));
        }
        return cycles;
    }

    // What one panel costs.
    PanelCost Cost() const {
        PanelCost cost;
        std::vector<pid_t> pids = gate_.Gateway().WorkerPids();
        std::vector<double> rss, pss, own, fds, threads;
        for (pid_t pid : pids) {
            std::string proc = "/proc/" + std::to_string(pid);
            rss.push_back(StatusField(proc + "/smaps_rollup", "Rss:"));
            pss.push_back(StatusField(proc + "/smaps_rollup", "Pss:"));
            own.push_back(StatusField(proc + "/smaps_rollup", "Private_Clean:") +
                          StatusField(proc + "/smaps_rollup", "Private_Dirty:"));
            fds.push_back(Entries(proc + "/fd"));
            threads.push_back(StatusField(proc + "/status", "Threads:"));
        }
        cost.panels = static_cast<int>(pids.size());
        cost.workerRssKb = Summarize(rss).median;
        cost.workerPssKb = Summarize(pss).median;
        cost.workerPrivateKb = Summarize(own).median;
        cost.workerFds = Summarize(fds).median;
        cost.workerThreads = Summarize(threads).median;
        cost.gatewayFds = Entries("/proc/self/fd") - descriptorsBefore_;
        cost.gatewayThreads = StatusField("/proc/self/status", "Threads:") - threadsBefore_;
        return cost;
    }

    static int FreeTcpPort() { return zultest::FreePort(); }

private:
    void StartOneThread() {
        std::vector<std::size_t> counts;
        std::vector<zulgate::Clock::duration> stale;
        std::vector<std::string> names;
        for (std::size_t i = 0; i < gate_.Checked().config.panels.size(); ++i) {
            counts.push_back(gate_.Checked().maps[i].ValueCount());
            stale.push_back(gate_.Checked().config.panels[i].stale);
            names.push_back(gate_.Checked().config.panels[i].name);
        }
        store_ = std::make_unique<zulgate::PointStore>(counts, stale);
        metrics_ = std::make_unique<zulgate::Metrics>(names);
        output_ = std::make_unique<zulgate::LocalOutput>(*store_, *metrics_, gate_.Log());
        for (std::size_t i = 0; i < gate_.Checked().config.panels.size(); ++i) {
            zulgate::PanelSetup setup;
            setup.index = i;
            setup.config = &gate_.Checked().config.panels[i];
            setup.map = &gate_.Checked().maps[i];
            setup.line = gate_.Checked().lines[i];
            links_.push_back(std::make_unique<zulgate::PanelLink>(setup, gate_.Entry(), *output_));
        }
        // Whichever panel's next step is due earliest, one request a step.
        thread_ = std::thread([this] {
            while (!stopping_) {
                zulgate::PanelLink* next = nullptr;
                for (auto& link : links_) {
                    if (!next || link->NextDue() < next->NextDue()) next = link.get();
                }
                Clock::time_point now = Clock::now();
                if (next->NextDue() <= now) {
                    next->Step(now);
                } else {
                    std::this_thread::sleep_until(std::min(next->NextDue(), now + milliseconds(50)));
                }
            }
            for (auto& link : links_) link->Close();
        });
    }

    static double Entries(const std::string& folder) {
        double n = 0;
        for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder)) ++n;
        return n;
    }
    // The number after `key` in a /proc file of "Key: value" lines.
    static double StatusField(const std::string& path, const std::string& key) {
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);) {
            if (line.rfind(key, 0) == 0) return std::strtod(line.c_str() + key.size(), nullptr);
        }
        return 0;
    }

    BenchGateway gate_; // first, so it goes last: its folder holds the ports, its driver outlives links_
    std::vector<std::unique_ptr<zulsim::PanelSim>> sims_;
    // The one-thread reference.
    std::unique_ptr<zulgate::PointStore> store_;
    std::unique_ptr<zulgate::Metrics> metrics_;
    std::unique_ptr<zulgate::LocalOutput> output_;
    std::vector<std::unique_ptr<zulgate::PanelLink>> links_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    Clock::time_point started_;
    double descriptorsBefore_ = 0, threadsBefore_ = 0;
};

modbus_t* Connect(int port, int unit) {
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
    if (ctx != nullptr && modbus_connect(ctx) != 0) {
        modbus_free(ctx);
        return nullptr;
    }
    if (ctx != nullptr) {
        modbus_set_response_timeout(ctx, 10, 0);
        modbus_set_slave(ctx, unit);
    }
    return ctx;
}

// A program run for the integrator's view, stopped with SIGTERM.
class Program {
public:
    Program(std::vector<std::string> args, const std::string& out) {
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, (out + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Program() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 500 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(milliseconds(10));
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

private:
    pid_t pid_ = -1;
};

// zulsim programs and the zulgate program, read by a libmodbus client
// every 250 ms: the first value's time, the answers after it that were not
// the panel's values, and the panels' cycle_ms in /api/state.
bool IntegratorsView(const Options& options, int seconds_, ThreeProgramsReport& report, std::string& error) {
    std::string folder = Folder();
    std::filesystem::create_directories(folder + "/ports");
    setenv("ZULTRK_PORTS", (folder + "/ports").c_str(), 1);
    const char* names[] = {"a", "b", "c"};
    std::vector<std::unique_ptr<Program>> sims;
    for (int i = 0; i < 3; ++i) {
        char value[16];
        std::snprintf(value, sizeof value, "000100=%02X,00", 0x11 * (i + 1)); // hex, as --set takes it
        std::vector<std::string> args{ZULSIM_PROGRAM, "--link", folder + "/ports/" + names[i],
                                      "--baud",       "9600",   "--turnaround",
                                      "20",           "--set",  value};
        if (i == 2) args.push_back("--silent");
        sims.push_back(std::make_unique<Program>(args, folder + "/sim" + names[i] + ".out"));
    }
    for (int i = 0; i < 3; ++i) {
        for (int n = 0; n < 500 && !std::filesystem::exists(folder + "/ports/" + names[i]); ++n)
            std::this_thread::sleep_for(milliseconds(10));
    }
    int modbusPort = SideBySide::FreeTcpPort(), httpPort = SideBySide::FreeTcpPort();
    std::ofstream(folder + "/p.csv") << SamePoints;
    std::ostringstream toml;
    toml << "[modbus]\nlisten = \"127.0.0.1:" << modbusPort << "\"\n[http]\nlisten = \"127.0.0.1:" << httpPort
         << "\"\n\n";
    for (int i = 0; i < 3; ++i) {
        toml << "[[panel]]\nname = \"" << names[i] << "\"\nport = \"" << names[i] << "\"\nunit = " << i + 1
             << "\npoints = \"p.csv\"\n\n"; // every other key as the defaults have it
    }
    std::ofstream(folder + "/gw.toml") << toml.str();

    // Panel a's cycle alone: the same gateway on a only, first.
    auto cycleOf = [&](const char* panel, int samples) {
        std::vector<double> ms;
        std::uint64_t last = 0;
        for (auto until = Clock::now() + seconds(30); static_cast<int>(ms.size()) < samples && Clock::now() < until;) {
            nlohmann::json state;
            state = nlohmann::json::parse(HttpGet(httpPort, "/api/state"), nullptr, false);
            for (const auto& p : state.is_object() ? state["panels"] : nlohmann::json::array()) {
                if (p.value("name", "") != panel || !p["cycle_ms"].is_number()) continue;
                std::uint64_t cycles = p["cycles"].get<std::uint64_t>();
                if (last != 0 && cycles != last) ms.push_back(p["cycle_ms"].get<double>()); // a new cycle
                last = cycles;
            }
            std::this_thread::sleep_for(milliseconds(100));
        }
        return Summarize(ms).median;
    };
    {
        std::string alone = toml.str().substr(0, toml.str().find("[[panel]]\nname = \"b\""));
        std::ofstream(folder + "/alone.toml") << alone;
        Program gate({ZULGATE_PROGRAM, "--config", folder + "/alone.toml", "--lib", options.driverPath, "-q"},
                     folder + "/alone.out");
        report.aloneCycleMs = cycleOf("a", 10);
    }

    Program gate({ZULGATE_PROGRAM, "--config", folder + "/gw.toml", "--lib", options.driverPath, "-q"},
                 folder + "/gate.out");
    Clock::time_point start = Clock::now();
    modbus_t* ctx[2] = {nullptr, nullptr};
    while ((!ctx[0] || !ctx[1]) && Clock::now() < start + seconds(10)) {
        for (int i = 0; i < 2; ++i) {
            if (!ctx[i]) ctx[i] = Connect(modbusPort, i + 1);
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
    if (!ctx[0] || !ctx[1]) {
        error = "the gateway does not listen";
        return false;
    }
    report.firstMs = {-1, -1};
    report.reads = 0;
    report.staleAfterFirst = 0;
    auto due = start;
    while (Clock::now() < start + seconds(seconds_)) {
        for (int i = 0; i < 2; ++i) {
            std::uint16_t value = 0;
            bool good = modbus_read_registers(ctx[i], 0, 1, &value) == 1 && value == 0x11 * (i + 1);
            ++report.reads;
            double& first = report.firstMs[static_cast<std::size_t>(i)];
            if (first < 0 && good) first = Ms(Clock::now() - start);
            if (first >= 0 && !good) ++report.staleAfterFirst;
        }
        due += milliseconds(250);
        std::this_thread::sleep_until(due);
    }
    report.besideCycleMs = cycleOf("a", 10);
    for (modbus_t* c : ctx) {
        modbus_close(c);
        modbus_free(c);
    }
    report.seconds = seconds_;
    std::filesystem::remove_all(folder);
    return true;
}

} // namespace

bool RunPanels(const Options& options, const std::vector<int>& counts, bool beside, bool programs, PanelsReport& report,
               std::string& error) {
    // Each row against the same point list's cycle alone, in this run.
    std::vector<int> runs;
    if (!counts.empty()) runs.push_back(1);
    for (int n : counts) {
        if (n > 1) runs.push_back(n);
    }
    for (int n : runs) {
        std::fprintf(stderr, "bench: %d panels side by side\n", n);
        SideBySide panels(options, n, 0, 0, error);
        if (!panels.Ok()) return false;
        panels.Cycles(0, 1, seconds(60)); // the first shares its time with the start
        std::vector<std::vector<double>> cycles = panels.Cycles(0, CyclesEach, seconds(120));
        PanelsRow row;
        row.panels = n;
        std::vector<double> medians;
        for (const std::vector<double>& c : cycles) {
            if (static_cast<int>(c.size()) < CyclesEach) {
                error = std::to_string(n) + " panels: a panel made " + std::to_string(c.size()) + " cycles, not " +
                        std::to_string(CyclesEach);
                return false;
            }
            medians.push_back(Summarize(c).median);
        }
        row.cycleMs = Summarize(medians);
        if (n == 1) report.aloneMs = row.cycleMs.median;
        row.requests = static_cast<int>(panels.Gateway().Plan(0).size());
        if (n == runs.back() || n == 8) report.costs.push_back(panels.Cost());
        report.rows.push_back(row);
    }
    // For reference: the same links on one thread, as before the workers.
    for (int n : runs) {
        if (n != 4 && n != 8) continue;
        std::fprintf(stderr, "bench: %d panels on one thread, for reference\n", n);
        SideBySide panels(options, n, 0, 0, error, true);
        if (!panels.Ok()) return false;
        panels.Cycles(0, 1, seconds(60));
        std::vector<double> medians;
        for (const std::vector<double>& c : panels.Cycles(0, 3, seconds(120))) medians.push_back(Summarize(c).median);
        PanelsRow row;
        row.panels = n;
        row.cycleMs = Summarize(medians);
        report.oneThreadRows.push_back(row);
    }

    if (beside) {
        std::fprintf(stderr, "bench: healthy panels beside a silent one\n");
        {
            SideBySide alone(options, 1, 0, 0, error);
            if (!alone.Ok()) return false;
            report.firstAloneMs = alone.FirstValueMs(0, milliseconds(30000));
        }
        SideBySide three(options, 3, 1, 1000, error); // p0 silent, R = 1 s: a handshake of half a minute
        if (!three.Ok()) return false;
        report.firstBesideSilentMs = std::max(three.FirstValueMs(1, milliseconds(30000)),
                                              three.FirstValueMs(2, milliseconds(30000)));
        // Writes to p1 during p0's handshake, each while p1 polls back to back.
        modbus_t* ctx = Connect(three.ModbusPort(), 2);
        std::vector<double> ms;
        for (int i = 0; ctx != nullptr && i < 20; ++i) {
            std::uint16_t v = static_cast<std::uint16_t>(0x2000 + i);
            auto start = Clock::now();
            int n = modbus_write_register(ctx, 0, v);
            ms.push_back(Ms(Clock::now() - start));
            report.writesOk += n == 1 && three.Sim(1).GetBytes(0x100, 2) ==
                                             std::vector<std::uint8_t>{static_cast<std::uint8_t>(v),
                                                                       static_cast<std::uint8_t>(v >> 8)};
            std::this_thread::sleep_for(milliseconds(37)); // land at different points of the cycle
        }
        if (ctx) {
            modbus_close(ctx);
            modbus_free(ctx);
        }
        report.writes = static_cast<int>(ms.size());
        report.writeMs = Summarize(ms);
        report.silentStillStarting = three.Gateway().Store().Status(0).state ==
                                     zulgate::PanelState::Starting; // its handshake goes on
    }
    if (beside) {
        std::fprintf(stderr, "bench: healthy panels beside a silent one on one thread, for reference\n");
        SideBySide one(options, 3, 1, 1000, error, true);
        if (!one.Ok()) return false;
        report.firstOneThreadMs = std::max(one.FirstValueMs(1, milliseconds(60000)),
                                           one.FirstValueMs(2, milliseconds(60000)));
    }
    if (programs) {
        std::fprintf(stderr, "bench: three programs, one silent, read every 250 ms for 40 s\n");
        ThreeProgramsReport three;
        if (!IntegratorsView(options, 40, three, error)) return false;
        report.programs.push_back(three);
    }
    return true;
}

} // namespace zulbench
