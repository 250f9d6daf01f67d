// Serves a fixed set of objects, one of every type served, through the
// BACnet server on a UDP port, from values kept in memory. A test drives it
// on stdin, one command a line, each answered "ok" (or "error: why"):
//
//   set TYPE INSTANCE VALUE   a new current value (TYPE ai, av, bi, bv, msv;
//                             msv: the state counted from 0)
//   stale TYPE INSTANCE       the value is no longer current
//   writes OUTCOME            how later writes end: written, refused,
//                             out-of-range, timed-out, panel-away, stopping,
//                             or held (until release)
//   release                   the held writes are written
//   quit
//
// Each write the server hands over is told on stdout, "write ai:1 21.5",
// when it arrives. Its outcome comes 20 ms later, from another thread, as
// a gateway's write queue would give it.
//
//   bacnet_serve [--port N] [--instance N] [--broadcast A.B.C.D]
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "gateway/bacnet/udp_service.h"

using namespace zulgate::bacnet;

namespace {

const std::map<std::string, ObjectType> Types = {
    {"ai", ObjectType::AnalogInput}, {"av", ObjectType::AnalogValue},      {"bi", ObjectType::BinaryInput},
    {"bv", ObjectType::BinaryValue}, {"msv", ObjectType::MultiStateValue},
};

std::string TypeName(ObjectType type) {
    for (const auto& [name, t] : Types) {
        if (t == type) return name;
    }
    return "?";
}

std::vector<ObjectSpec> Objects() {
    std::vector<ObjectSpec> o(8);
    o[0] = {ObjectType::AnalogInput, 1, "ahu1.supply_air", "supply air temperature", 64, {}, 0.5f, false, {}, {}};
    o[1] = {ObjectType::AnalogInput, 2, "ahu1.outside_air", "outside air, never read", 95, {}, 0, false, {}, {}};
    o[2] = {ObjectType::AnalogValue, 3, "ahu1.setpoint", "supply setpoint", 64, {}, 1.0f, true, 50.0, 90.0};
    o[3] = {ObjectType::AnalogValue, 4, "ahu1.offset", "read-only offset", 98, {}, 0, false, {}, {}};
    o[4] = {ObjectType::BinaryInput, 5, "ahu1.fan_status", "fan proven", 95, {"off", "on"}, 0, false, {}, {}};
    o[5] = {ObjectType::BinaryValue, 6, "ahu1.fan_command", "fan start", 95, {}, 0, true, {}, {}};
    o[6] = {ObjectType::MultiStateValue,     7, "ahu1.mode", "unit mode", 95,
            {"off", "heat", "cool", "auto"}, 0, true,        {},          {}};
    o[7] = {ObjectType::MultiStateValue, 8, "ahu1.alarm", "alarm level", 95, {"none", "low", "high"}, 0, false, {}, {}};
    return o;
}

class MemorySource : public ValueSource {
public:
    MemorySource() {
        values_[{ObjectType::AnalogInput, 1}] = {72.5, true};
        values_[{ObjectType::AnalogInput, 2}] = {0.0, false};
        values_[{ObjectType::AnalogValue, 3}] = {70.0, true};
        values_[{ObjectType::AnalogValue, 4}] = {1.5, true};
        values_[{ObjectType::BinaryInput, 5}] = {true, true};
        values_[{ObjectType::BinaryValue, 6}] = {false, true};
        values_[{ObjectType::MultiStateValue, 7}] = {std::uint32_t{2}, true};
        values_[{ObjectType::MultiStateValue, 8}] = {std::uint32_t{0}, true};
        worker_ = std::thread([this] { Complete(); });
    }
    ~MemorySource() override { Stop(); }
    // The "panel" stops; no write is completed after this.
    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        arrived_.notify_all();
        if (worker_.joinable()) worker_.join();
    }

    Server* server = nullptr;

    Reading Read(const ObjectId& object) override {
        std::lock_guard<std::mutex> lock(mutex_);
        return values_[object];
    }

    void Write(const ObjectId& object, const PointValue& value, WriteDone done) override {
        std::ostringstream text;
        text << "write " << TypeName(object.type) << ":" << object.instance << " ";
        std::visit([&](auto v) { text << v; }, value);
        Say(text.str());
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back({object, value, std::move(done), std::chrono::steady_clock::now() + Delay, outcome_, held_});
        arrived_.notify_all();
    }

    // A command line; the reply to it.
    std::string Command(const std::string& line) {
        std::istringstream in(line);
        std::string verb, type, what;
        in >> verb;
        if (verb == "release") {
            std::lock_guard<std::mutex> lock(mutex_);
            for (Pending& p : queue_) p.held = false;
            arrived_.notify_all();
            return "ok";
        }
        if (verb == "writes") {
            in >> what;
            const std::map<std::string, WriteOutcome> outcomes = {{"written", WriteOutcome::Written},
                                                                  {"refused", WriteOutcome::Refused},
                                                                  {"out-of-range", WriteOutcome::OutOfRange},
                                                                  {"timed-out", WriteOutcome::TimedOut},
                                                                  {"panel-away", WriteOutcome::PanelAway},
                                                                  {"stopping", WriteOutcome::Stopping},
                                                                  {"held", WriteOutcome::Written}};
            if (!outcomes.count(what)) return "error: no outcome " + what;
            std::lock_guard<std::mutex> lock(mutex_);
            outcome_ = outcomes.at(what);
            held_ = what == "held";
            return "ok";
        }
        std::uint32_t instance = 0;
        in >> type >> instance;
        if (!Types.count(type)) return "error: no type " + type;
        ObjectId id{Types.at(type), instance};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!values_.count(id)) return "error: no object";
            if (verb == "stale") {
                values_[id].current = false;
            } else if (verb == "set") {
                double v = 0;
                in >> v;
                if (IsAnalog(id.type)) values_[id] = {v, true};
                if (IsBinary(id.type)) values_[id] = {v != 0, true};
                if (id.type == ObjectType::MultiStateValue) values_[id] = {static_cast<std::uint32_t>(v), true};
            } else {
                return "error: no command " + verb;
            }
        }
        server->ValuesChanged();
        return "ok";
    }

    static void Say(const std::string& line) {
        static std::mutex out;
        std::lock_guard<std::mutex> lock(out);
        std::cout << line << std::endl;
    }

private:
    static constexpr std::chrono::milliseconds Delay{20};
    struct Pending {
        ObjectId object;
        PointValue value;
        WriteDone done;
        std::chrono::steady_clock::time_point at;
        WriteOutcome outcome;
        bool held;
    };

    // The "panel": takes each write in turn when its time comes.
    void Complete() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopping_) {
            if (queue_.empty() || queue_.front().held) {
                arrived_.wait_for(lock, std::chrono::milliseconds(50));
                continue;
            }
            if (std::chrono::steady_clock::now() < queue_.front().at) {
                arrived_.wait_until(lock, queue_.front().at);
                continue;
            }
            Pending p = std::move(queue_.front());
            queue_.pop_front();
            if (p.outcome == WriteOutcome::Written) values_[p.object] = {p.value, true};
            lock.unlock();
            p.done(p.outcome);
            if (p.outcome == WriteOutcome::Written && server) server->ValuesChanged();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable arrived_;
    std::map<ObjectId, Reading> values_;
    std::deque<Pending> queue_;
    WriteOutcome outcome_ = WriteOutcome::Written;
    bool held_ = false;
    bool stopping_ = false;
    std::thread worker_;
};

} // namespace

int main(int argc, char** argv) {
    std::uint16_t port = 0;
    DeviceSpec device;
    device.instance = 260001;
    device.name = "zulgate test";
    device.description = "the BACnet tests' device";
    device.firmwareRevision = "test";
    device.applicationSoftwareVersion = "test";
    device.databaseRevision = 42;
    std::optional<std::string> broadcast;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--port") == 0) port = static_cast<std::uint16_t>(std::stoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--instance") == 0)
            device.instance = static_cast<std::uint32_t>(std::stoul(argv[i + 1]));
        if (std::strcmp(argv[i], "--broadcast") == 0) broadcast = argv[i + 1];
    }
    ObjectTable table;
    std::string problem;
    if (!ObjectTable::Build(device, Objects(), table, problem)) {
        std::cerr << "bacnet_serve: " << problem << std::endl;
        return 2;
    }
    MemorySource source;
    ServerOptions options;
    options.writeWait = std::chrono::milliseconds(2000);
    Server server(std::move(table), source, options);
    source.server = &server;
    UdpService udp(server);
    if (!udp.Open("127.0.0.1", port, broadcast, problem)) {
        std::cerr << "bacnet_serve: " << problem << std::endl;
        return 1;
    }
    udp.Start();
    MemorySource::Say("ready " + std::to_string(udp.Local().port));
    std::string line;
    while (std::getline(std::cin, line) && line != "quit") {
        if (!line.empty()) MemorySource::Say(source.Command(line));
    }
    udp.Stop();
    source.Stop();
    return 0;
}
