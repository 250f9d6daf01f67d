// Panels side by side: each panel's line driven by a worker process of its
// own, so that one panel's trouble (silent from the start, silent for a
// while, its worker killed) never stalls another. zulgate run as a program
// against simulated panels on pseudo-terminals with field timing, read
// through Modbus by Debian's pymodbus every 250 ms.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>

#include <set>

#include "tests/gateway/gateway_fixture.h"

namespace {

using namespace gwtest;

double Now() { return std::chrono::duration<double>(Clock::now().time_since_epoch()).count(); }

// A pymodbus client making the same reads every 250 ms while it runs.
class Watcher {
public:
    Watcher(const std::string& folder, int port, const std::vector<json>& reads) : out_(folder + "/watch.out") {
        std::string text;
        for (const json& r : reads) text += r.dump() + "\n";
        gwtest::WriteFile(folder + "/watch.json", text);
        process_ = std::make_unique<Process>(std::vector<std::string>{"/usr/bin/python3",
                                                                      ZULGATE_TEST_DIR "/modbus_client.py",
                                                                      std::to_string(port), "--every", "250", "--for",
                                                                      "90"},
                                             out_, folder + "/watch.err", folder + "/watch.json");
    }
    ~Watcher() { Stop(); }
    void Stop() {
        process_->Signal(SIGTERM);
        process_->Wait(seconds(5));
    }

    struct Round {
        double t = 0, end = 0; // its start and its last answer, CLOCK_MONOTONIC, as steady_clock
        std::vector<json> answers;
    };
    std::vector<Round> Rounds() const {
        std::vector<Round> rounds;
        std::istringstream in(gwtest::ReadFile(out_));
        for (std::string line; std::getline(in, line);) {
            json j = json::parse(line, nullptr, false);
            if (j.is_discarded() || !j.contains("answers")) continue; // a line being written
            rounds.push_back({j["t"].get<double>(), j["end"].get<double>(), j["answers"].get<std::vector<json>>()});
        }
        return rounds;
    }
    // Waits for a round after `since` in which read n is answered as `done` says.
    bool Until(std::size_t n, double since, const std::function<bool(const json&)>& done, seconds wait) const {
        for (auto until = Clock::now() + wait; Clock::now() < until;) {
            for (const Round& r : Rounds()) {
                if (r.t >= since && n < r.answers.size() && done(r.answers[n])) return true;
            }
            std::this_thread::sleep_for(milliseconds(50));
        }
        return false;
    }

private:
    std::string out_;
    std::unique_ptr<Process> process_;
};

// The processes zulgate has started, its panels' workers.
std::set<pid_t> Children(pid_t parent) {
    std::set<pid_t> children;
    std::string tasks = "/proc/" + std::to_string(parent) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (!dir) return children;
    while (dirent* e = readdir(dir)) {
        std::istringstream in(gwtest::ReadFile(tasks + "/" + e->d_name + "/children"));
        for (pid_t pid; in >> pid;) children.insert(pid);
    }
    closedir(dir);
    return children;
}

bool IsWorker(pid_t pid) {
    return gwtest::ReadFile("/proc/" + std::to_string(pid) + "/cmdline").find("--panel-worker") != std::string::npos;
}

// Nobody holds the port: the driver's lock on it is gone with its worker.
bool PortFree(const std::string& device) {
    int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free;
}

// curl: the body, empty when the request failed.
std::string Curl(const std::string& folder, int port, const std::string& path) {
    Ran ran = RunProgram({"/usr/bin/curl", "-s", "http://127.0.0.1:" + std::to_string(port) + path}, folder,
                         seconds(10));
    return ran.status == 0 ? ran.out : std::string();
}

const char* TwoWords = "name,address,table,register,access\nfixed,W000100,holding,0,r\nset,W000102,holding,1,rw\n";

auto IsValues = [](std::vector<int> v) { return [v](const json& a) { return a == Values(v); }; };
auto IsException = [](int code) { return [code](const json& a) { return a == Exception(code); }; };

TEST_F(Gateway, EachPanelIsServedOnItsOwnWhateverTheOthersDo) {
    // a and b answer with field timing; c is silent from the start, its
    // handshake about half a minute long (never waited for: everything here
    // happens within it); d falls silent for a while.
    zulsim::Options field;
    field.baud = 9600;
    field.turnaroundMs = 20;
    zulsim::PanelSim& a = Sim("COM5", field);
    zulsim::PanelSim& b = Sim("COM6", field);
    zulsim::Options silent = field;
    silent.silent = true;
    zulsim::PanelSim& c = Sim("COM7", silent);
    zulsim::PanelSim& d = Sim("COM8", field);
    a.SetBytes(0x000100, {0x11, 0x00});
    b.SetBytes(0x000100, {0x22, 0x00});
    d.SetBytes(0x000100, {0x44, 0x00});
    // The default response timeout, R = 1 s: a panel that answers is not
    // taken for a silent one when this machine is slow for a moment.
    const std::string timing = "baud = 9600\npoll_ms = 250\nresponse_timeout_ms = 1000\n";
    Watcher watch(folder_, port_, {R("read_holding", 0, 1, 1), R("read_holding", 0, 1, 2), R("read_holding", 0, 1, 4)});
    double start = Now();
    const int http = FreePort();
    ASSERT_TRUE(Start(Panel("a", "COM5", 1, "p.csv", timing) + Panel("b", "COM6", 2, "p.csv", timing) +
                          Panel("c", "COM7", 3, "p.csv", timing) + Panel("d", "COM8", 4, "p.csv", timing),
                      {{"p.csv", TwoWords}}, {}, "[http]\nlisten = \"127.0.0.1:" + std::to_string(http) + "\"\n"))
        << Log();
    auto handshakeOfCEnded = [this] { return Log().find("c: the panel did not take the start") != std::string::npos; };

    // The healthy panels' first values, while c's handshake goes on.
    ASSERT_TRUE(watch.Until(0, start, IsValues({0x11}), seconds(15))) << Log();
    ASSERT_TRUE(watch.Until(1, start, IsValues({0x22}), seconds(15))) << Log();
    ASSERT_TRUE(watch.Until(2, start, IsValues({0x44}), seconds(15))) << Log();
    EXPECT_FALSE(handshakeOfCEnded()) << Log();

    // A write to a healthy panel during another's handshake: done on the
    // panel, and answered before that handshake ends.
    EXPECT_EQ(Ask(W("write_register", 1, 0x1234, 1)), Ok) << Log();
    EXPECT_EQ(a.GetBytes(0x000102, 2), (Bytes{0x34, 0x12}));
    EXPECT_FALSE(handshakeOfCEnded()) << Log();

    // d falls silent: not served; back: served again.
    d.SetSilent(true);
    ASSERT_TRUE(watch.Until(2, Now(), IsException(0x0B), seconds(15))) << Log();
    d.SetSilent(false);
    ASSERT_TRUE(watch.Until(2, Now(), IsValues({0x44}), seconds(15))) << Log();

    // The status server, /metrics and /health say it panel by panel.
    json state = json::parse(Curl(folder_, http, "/api/state"), nullptr, false);
    ASSERT_TRUE(state.is_object()) << Log();
    for (const json& p : state["panels"]) {
        bool isC = p["name"] == "c";
        EXPECT_EQ(p["state"], isC ? "starting" : "up") << p.dump();
        EXPECT_EQ(p["cycle_ms"].is_number(), !isC) << p.dump();
    }
    std::string metrics = Curl(folder_, http, "/metrics");
    EXPECT_NE(metrics.find("zulgate_driver_requests_total{kind=\"coldstart\",panel=\"a\",result=\"ok\"} 1"),
              std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find("zulgate_driver_requests_total{kind=\"coldstart\",panel=\"c\",result=\"no_answer\"} 0"),
              std::string::npos)
        << metrics;
    json health = json::parse(Curl(folder_, http, "/health"), nullptr, false);
    ASSERT_TRUE(health.is_object());
    for (const json& p : health["panels"]) EXPECT_EQ(p["ok"], p["name"] != "c") << p.dump();

    // Five seconds of reads at the least, then a stop with every panel
    // busy: a, b and d polled, c in its handshake (its worker killed, the
    // kernel closes its port).
    ASSERT_TRUE(watch.Until(
        0, start + 5, [](const json&) { return true; }, seconds(15)));
    std::set<pid_t> workers = Children(gate_->Pid());
    EXPECT_EQ(workers.size(), 4u);
    EXPECT_FALSE(handshakeOfCEnded()) << Log();
    double stop = Now();
    gate_->Signal(SIGTERM);
    int status = gate_->Wait(seconds(10));
    double stopped = Now();
    watch.Stop();
    EXPECT_EQ(status, 0) << Log();
    EXPECT_LT(stopped - stop, 5.0);
    EXPECT_NE(Log().find("stopped: every port closed"), std::string::npos) << Log();
    for (pid_t pid : workers) EXPECT_FALSE(IsWorker(pid)) << "worker " << pid << " outlived the gateway";
    for (zulsim::PanelSim* sim : {&a, &b, &c, &d}) EXPECT_TRUE(PortFree(sim->DevicePath())) << sim->DevicePath();

    // a and b, once served, were never anything but their current values,
    // whatever c and d did: not one stale answer.
    std::vector<Watcher::Round> rounds = watch.Rounds();
    ASSERT_GE(rounds.size(), 20u);
    std::string stale;
    for (std::size_t n : {0u, 1u}) {
        json current = Values({n == 0 ? 0x11 : 0x22});
        bool served = false;
        for (const Watcher::Round& r : rounds) {
            if (r.end >= stop) break; // a stop's answers are no panel's current values
            served = served || r.answers[n] == current;
            if (served && r.answers[n] != current) {
                stale += std::string("panel ") + "ab"[n] + " at " + std::to_string(r.t - start) +
                         " s: " + r.answers[n].dump() + "\n";
            }
        }
        EXPECT_TRUE(served);
    }
    EXPECT_EQ(stale, "") << Log();
}

TEST_F(Gateway, AKilledWorkerIsStartedAgainAndItsPanelServed) {
    Sim("COM5").SetBytes(0x000100, {0x11, 0x00});
    Sim("COM6").SetBytes(0x000100, {0x22, 0x00});
    ASSERT_TRUE(
        Start(Panel("a", "COM5", 1, "p.csv") + Panel("b", "COM6", 2, "p.csv"), {{"p.csv", TwoWords}}, {"a", "b"}))
        << Log();
    auto served = [](const std::string& value) { return [value](const std::string& out) { return out == value; }; };
    ASSERT_TRUE(MbpollUntil(1, 0, served("17"), seconds(10))) << Log();
    ASSERT_TRUE(MbpollUntil(2, 0, served("34"), seconds(10))) << Log();

    // a's worker, by the panel it was started for.
    pid_t victim = -1;
    for (pid_t pid : Children(gate_->Pid())) {
        std::string cmdline = gwtest::ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
        if (cmdline.find(std::string("--for") + '\0' + "a" + '\0') != std::string::npos) victim = pid;
    }
    ASSERT_GT(victim, 0);
    kill(victim, SIGKILL);
    std::string said = "a: its worker (process " + std::to_string(victim) + ") was killed by signal 9";
    ASSERT_TRUE(gate_->WaitForErr(said, seconds(10))) << Log();
    EXPECT_EQ(Mbpoll({"-t", "4", "-r", "0", "127.0.0.1"}, 2), "34"); // the other goes on
    ASSERT_TRUE(MbpollUntil(1, 0, served("17"), seconds(15))) << Log();
    EXPECT_EQ(Count(Log(), said), 1u) << Log();
    EXPECT_EQ(Children(gate_->Pid()).size(), 2u);
    EXPECT_EQ(Ask(W("write_register", 1, 7, 1)), Ok) << Log(); // its writes too
    EXPECT_EQ(sims_[0]->GetBytes(0x000102, 2), (Bytes{0x07, 0x00}));
}

// A panel that answers every request this late: its worker is on the line
// nearly all the time.
zulsim::Options Late(int ms) {
    zulsim::Options late;
    late.faults.delay = 1.0;
    late.faults.delayMs = ms;
    return late;
}

// Waits until the panel has had `count` requests.
bool Requests(const zulsim::PanelSim& sim, std::uint64_t count, seconds wait) {
    for (auto until = Clock::now() + wait; Clock::now() < until; std::this_thread::sleep_for(milliseconds(5))) {
        if (sim.GetStats().framesIn >= count) return true;
    }
    return false;
}

TEST_F(Gateway, AWriteWhoseClientStoppedWaitingBeforeItsWorkerTookItIsNeverMade) {
    zulsim::PanelSim& late = Sim("COM5", Late(1000));
    late.SetBytes(0x000100, {0x11, 0x00, 0x22, 0x00});
    ASSERT_TRUE(
        Start(Panel("late", "COM5", 1, "p.csv", "response_timeout_ms = 2000\npoll_ms = 50\nwrite_timeout_ms = 100"),
              {{"p.csv", TwoWords}}, {"late"}))
        << Log();
    // Just after a read went out the worker is on the line for a second:
    // the write waits, and its client is answered 0x0B after 100 ms.
    ASSERT_TRUE(Requests(late, late.GetStats().framesIn + 1, seconds(10)));
    EXPECT_EQ(Ask(W("write_register", 1, 0x1234, 1)), Exception(0x0B)) << Log();
    // Two requests later the worker has passed the write by, never made.
    ASSERT_TRUE(Requests(late, late.GetStats().framesIn + 2, seconds(10)));
    EXPECT_EQ(late.GetStats().writes, 0u) << Log();
    EXPECT_EQ(late.GetBytes(0x000102, 2), (Bytes{0x22, 0x00}));
}

TEST_F(Gateway, AStopAbandonsARequestLongerThanItAllows) {
    // Answers 3 s late, within R: a read that looks healthy, too long to wait for.
    zulsim::PanelSim& late = Sim("COM5", Late(3000));
    Sim("COM6").SetBytes(0x000100, {0x22, 0x00});
    ASSERT_TRUE(Start(Panel("late", "COM5", 1, "p.csv", "response_timeout_ms = 4000") + Panel("b", "COM6", 2, "p.csv"),
                      {{"p.csv", TwoWords}}, {"late", "b"}))
        << Log();
    ASSERT_TRUE(Requests(late, late.GetStats().framesIn + 1, seconds(10))); // a read on its line
    std::set<pid_t> workers = Children(gate_->Pid());
    auto signalled = Clock::now();
    gate_->Signal(SIGTERM);
    EXPECT_EQ(gate_->Wait(seconds(10)), 0) << Log();
    EXPECT_LT(Clock::now() - signalled, seconds(5));
    EXPECT_NE(Log().find("its request took longer than the stop allows"), std::string::npos) << Log();
    for (pid_t pid : workers) EXPECT_FALSE(IsWorker(pid));
    for (auto& sim : sims_) EXPECT_TRUE(PortFree(sim->DevicePath()));
}

TEST_F(Gateway, ServesThirtyTwoPanels) {
    constexpr int Panels = 32;
    std::string panels;
    std::vector<json> reads;
    for (int i = 0; i < Panels; ++i) {
        std::string port = "P" + std::to_string(i);
        Sim(port).SetBytes(0x000100, {static_cast<std::uint8_t>(i), 0x01});
        panels += Panel("p" + std::to_string(i), port, i + 1, "p.csv");
        reads.push_back(R("read_holding", 0, 1, i + 1));
    }
    ASSERT_TRUE(Start(panels, {{"p.csv", TwoWords}}, {})) << Log();
    Watcher watch(folder_, port_, reads);
    for (int i = 0; i < Panels; ++i) {
        EXPECT_TRUE(watch.Until(static_cast<std::size_t>(i), 0, IsValues({0x100 + i}), seconds(30)))
            << "panel " << i << "\n"
            << Log();
    }
    EXPECT_EQ(Children(gate_->Pid()).size(), static_cast<std::size_t>(Panels));
}

} // namespace
