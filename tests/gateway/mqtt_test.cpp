// zulgate on a real mosquitto broker started here on loopback, against
// simulated panels, with mosquitto's own clients (mosquitto_sub and
// mosquitto_pub) as the subscribers and writers nobody here wrote.
#include "tests/gateway/gateway_fixture.h"

#include <signal.h>

namespace {

using namespace gwtest;

// A mosquitto of the test's own: a free port on 127.0.0.1, no persistence
// (a restart forgets what was retained, as a new broker would).
class Broker {
public:
    Broker(std::string folder, std::string extra = "allow_anonymous true\n")
        : folder_(std::move(folder)), port_(FreePort()) {
        // As root it would take the user mosquitto, who cannot read the test's folder.
        WriteFile(folder_ + "/mosquitto.conf", "user root\nlistener " + std::to_string(port_) + " 127.0.0.1\n" + extra);
    }
    bool Start() {
        process_ = std::make_unique<Process>(std::vector<std::string>{"/usr/sbin/mosquitto", "-c",
                                                                      folder_ + "/mosquitto.conf"},
                                             folder_ + "/broker.out", folder_ + "/broker.err");
        return process_->WaitForErr("running", seconds(10)) || process_->WaitForErr("Opening", seconds(1));
    }
    void Stop() {
        if (!process_) return;
        process_->Signal(SIGTERM);
        process_->Wait(seconds(10));
        process_.reset();
    }
    ~Broker() { Stop(); }
    int Port() const { return port_; }

private:
    std::string folder_;
    int port_;
    std::unique_ptr<Process> process_;
};

// Debian's paho (tests/gateway/mqtt_watch.py), subscribed before what it
// waits for is published: every message, in the order the broker sent them.
class Watch {
public:
    Watch(const std::string& folder, int port, const std::vector<std::string>& topics, const std::string& name)
        : process_(Args(port, topics), folder + "/" + name + ".out", folder + "/" + name + ".err") {}
    bool Subscribed() {
        return Until([](const json& m) { return m.contains("subscribed"); }, seconds(10)).has_value();
    }
    std::vector<json> Messages() const {
        std::vector<json> all;
        std::istringstream in(process_.Out());
        for (std::string line; std::getline(in, line);) {
            json m = json::parse(line, nullptr, false);
            if (!m.is_discarded() && m.contains("topic")) all.push_back(std::move(m));
        }
        return all;
    }
    // The place of the first message `match` holds of, once it has come
    // (within `wait`).
    std::optional<std::size_t> Until(const std::function<bool(const json&)>& match, milliseconds wait) {
        for (auto until = Clock::now() + wait;; std::this_thread::sleep_for(milliseconds(20))) {
            std::istringstream in(process_.Out());
            std::size_t n = 0;
            for (std::string line; std::getline(in, line);) {
                json m = json::parse(line, nullptr, false);
                if (m.is_discarded()) continue;
                if (match(m)) return n;
                n += m.contains("topic") ? 1 : 0;
            }
            if (Clock::now() >= until) return std::nullopt;
        }
    }
    std::string Dump() const { return process_.Out() + process_.Err(); }

private:
    static std::vector<std::string> Args(int port, const std::vector<std::string>& topics) {
        std::vector<std::string> args{"/usr/bin/python3", ZULGATE_TEST_DIR "/mqtt_watch.py", std::to_string(port),
                                      "120"};
        args.insert(args.end(), topics.begin(), topics.end());
        return args;
    }
    Process process_;
};

// A message on the topic below zt/site1/: a good value, or this payload.
std::function<bool(const json&)> Good(const std::string& topic, const json& value) {
    return [topic, value](const json& m) {
        if (m.value("topic", "") != "zt/site1/" + topic) return false;
        json p = json::parse(m["payload"].get<std::string>(), nullptr, false);
        return !p.is_discarded() && p.is_object() && p["value"] == value && p["quality"] == "good";
    };
}
std::function<bool(const json&)> Said(const std::string& topic, const std::string& payload) {
    return [topic, payload](const json& m) {
        return m.value("topic", "") == "zt/site1/" + topic && m["payload"] == payload;
    };
}

class Mqtt : public Gateway {
protected:
    void SetUp() override {
        Gateway::SetUp();
        broker_ = std::make_unique<Broker>(folder_);
        ASSERT_TRUE(broker_->Start());
    }
    void TearDown() override {
        Gateway::TearDown();
        broker_.reset();
    }
    std::string Section(const std::string& more = "") const {
        return "[mqtt]\nbroker = \"127.0.0.1:" + std::to_string(broker_->Port()) +
               "\"\nclient_id = \"zulgate-test\"\ntopic_prefix = \"zt/site1\"\n" + more;
    }
    std::vector<std::string> Client(const char* program, std::vector<std::string> args) const {
        std::vector<std::string> all{program, "-h", "127.0.0.1", "-p", std::to_string(broker_->Port()), "-q", "1"};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }
    // What the broker holds now under the prefix: topic -> payload.
    std::map<std::string, std::string> Retained() {
        Ran ran = RunProgram(Client("/usr/bin/mosquitto_sub",
                                    {"-t", "zt/site1/#", "-F", "%t\t%p", "--retained-only", "-W", "1"}),
                             folder_, seconds(10));
        std::map<std::string, std::string> held;
        std::istringstream in(ran.out);
        for (std::string line; std::getline(in, line);) {
            std::size_t tab = line.find('\t');
            if (tab != std::string::npos) held[line.substr(0, tab)] = line.substr(tab + 1);
        }
        return held;
    }
    // Retained() once `done` holds of it, within `wait`.
    std::map<std::string, std::string> RetainedWhen(
        const std::function<bool(std::map<std::string, std::string>&)>& done, seconds wait) {
        auto until = Clock::now() + wait;
        std::map<std::string, std::string> held;
        while (Clock::now() < until) {
            held = Retained();
            if (done(held)) return held;
        }
        ADD_FAILURE() << "the broker never held what was expected:\n" << Dump(held) << Log();
        return held;
    }
    static std::string Dump(const std::map<std::string, std::string>& held) {
        std::string text;
        for (const auto& [topic, payload] : held) text += topic + " " + payload + "\n";
        return text;
    }
    static json Payload(const std::map<std::string, std::string>& held, const std::string& topic) {
        auto it = held.find("zt/site1/" + topic);
        json p = it == held.end() ? json() : json::parse(it->second, nullptr, false);
        return p.is_discarded() ? json() : p;
    }
    static bool AllGood(const std::map<std::string, std::string>& held, const std::string& panel) {
        int good = 0;
        for (const auto& [topic, payload] : held) {
            if (topic.rfind("zt/site1/" + panel + "/", 0) != 0) continue;
            if (payload.find("\"quality\":\"good\"") == std::string::npos) return false;
            ++good;
        }
        return good > 0;
    }
    std::unique_ptr<Watch> Watching(const std::vector<std::string>& topics, const std::string& name = "watch") {
        auto watch = std::make_unique<Watch>(folder_, broker_->Port(), topics, name);
        EXPECT_TRUE(watch->Subscribed()) << watch->Dump();
        return watch;
    }
    void Pub(const std::string& topic, const std::string& payload, bool retain = false) {
        std::vector<std::string> args{"-t", "zt/site1/" + topic, "-m", payload};
        if (retain) args.push_back("-r");
        EXPECT_EQ(RunProgram(Client("/usr/bin/mosquitto_pub", args), folder_).status, 0) << topic;
    }
    std::unique_ptr<Broker> broker_;
};

const char* const OneWord = "name,address,table,register,access\nw,W000100,holding,0,rw\n";

TEST_F(Mqtt, PublishesEveryLetterRetainedWithItsQualityAndWritesOnlyWhatIsWritable) {
    zulsim::PanelSim& panel = Sim("COM5");
    panel.SetBytes(0x004002, {0xA5, 0x3C, 0x34, 0x12, 0x01, 0x00, 0x01});
    panel.SetBytes(0x000100, {0x34, 0x92, 0x78, 0x56});
    panel.SetBytes(0x003000, {0xFE, 0xFF, 0xFF, 0xFF, 0x39, 0x30}); // L -2, then F's whole number 12345
    panel.SetBytes(0x005000, {0x40, 0x1F});                         // day 8000
    zulsim::Options silent;
    silent.silent = true;
    Sim("COM6", silent);
    ASSERT_TRUE(
        Start(Panel("ahu1", "COM5", 1, "ahu1.csv") + Panel("mute", "COM6", 2, "w.csv", "response_timeout_ms = 10"),
              {{"ahu1.csv", EveryLetter}, {"w.csv", "name,address,table,register,access\nw,W000100,holding,0,rw\n"}},
              {"ahu1"}, Section()))
        << Log();

    // A subscriber that comes late sees every element, retained.
    auto held = RetainedWhen([](auto& h) { return AllGood(h, "ahu1") && h.count("zt/site1/mute/w"); }, seconds(15));
    EXPECT_EQ(held["zt/site1/status"], "online");
    const std::vector<std::pair<std::string, json>> expected{
        {"ahu1/byte", 165},   {"ahu1/low nibble", 12}, {"ahu1/high nibble", 3},
        {"ahu1/time", 4660},  {"ahu1/words", 37428},   {"ahu1/words/1", 22136},
        {"ahu1/long", -2},    {"ahu1/float", 12345.0}, {"ahu1/date", 220924800 + 7999 * 86400},
        {"ahu1/bit 7", 1},    {"ahu1/bit 15", 1},      {"ahu1/status", 1},
        {"ahu1/status/1", 0}, {"ahu1/status/2", 1}};
    for (const auto& [topic, value] : expected) {
        json p = Payload(held, topic);
        EXPECT_EQ(p["value"], value) << topic << ": " << p;
        EXPECT_EQ(p["raw"], value) << topic << ": " << p; // unscaled: the value is the panel's number
        EXPECT_EQ(p["quality"], "good") << topic;
        EXPECT_TRUE(p["time"].is_string() && p["time"].get<std::string>().size() == 24) << topic << ": " << p;
    }
    EXPECT_EQ(Payload(held, "mute/w"), json::parse(R"({"value":null,"raw":null,"quality":"bad","time":null})"));

    // Writes: one that lands in the panel's memory, and refusals in words.
    auto results = Watching({"zt/site1/+/+/result", "zt/site1/+/+/+/result"});
    const std::vector<std::pair<std::string, std::string>> sets{{"ahu1/time/set", "4661"},   {"ahu1/words/1/set", "7"},
                                                                {"ahu1/bit 7/set", "false"}, {"ahu1/fixed/set", "1"},
                                                                {"ahu1/byte/set", "300"},    {"ahu1/nothing/set", "1"}};
    for (const auto& [topic, payload] : sets) Pub(topic, payload);
    for (const char* line : {"ahu1/time/result ok", "ahu1/words/1/result ok", "ahu1/bit 7/result ok",
                             "ahu1/fixed/result read-only: not written",
                             "ahu1/byte/result 300 is outside what the point holds (0 to 255): not written",
                             "ahu1/nothing/result no such point: not written"}) {
        std::string text = line;
        std::size_t space = text.find(' ', text.find("/result"));
        EXPECT_TRUE(results->Until(Said(text.substr(0, space), text.substr(space + 1)), seconds(20)))
            << line << "\nin:\n"
            << results->Dump() << Log();
    }
    EXPECT_EQ(panel.GetBytes(0x004004, 2), (Bytes{0x35, 0x12}));
    EXPECT_EQ(panel.GetBytes(0x000102, 2), (Bytes{0x07, 0x00}));
    EXPECT_EQ(panel.GetBytes(0x004002, 1), (Bytes{0x25}));
    held = RetainedWhen([](auto& h) { return Payload(h, "ahu1/time")["value"] == 4661; }, seconds(5));
    EXPECT_EQ(Payload(held, "ahu1/byte")["value"], 0x25); // the bit written, carried into the byte

    // The panel goes silent: its values stay, marked stale.
    panel.SetSilent(true);
    held = RetainedWhen([](auto& h) { return Payload(h, "ahu1/byte")["quality"] == "stale"; }, seconds(15));
    EXPECT_EQ(Payload(held, "ahu1/byte")["value"], 0x25);
}

TEST_F(Mqtt, OfflineAsTheWillAndOnAStopAndEverythingAgainAfterTheBrokerRestarts) {
    Sim("COM5").SetBytes(0x000100, {0x2A, 0x00});
    const std::string panels = Panel("ahu1", "COM5", 1, "w.csv");
    const std::map<std::string, std::string> lists{
        {"w.csv", "name,address,table,register,access\nw,W000100,holding,0,rw\n"}};
    const int http = FreePort();
    ASSERT_TRUE(
        Start(panels, lists, {"ahu1"}, Section() + "[http]\nlisten = \"127.0.0.1:" + std::to_string(http) + "\"\n"))
        << Log();
    RetainedWhen([](auto& h) { return h["zt/site1/status"] == "online" && AllGood(h, "ahu1"); }, seconds(10));
    std::string metrics =
        RunProgram({"/usr/bin/curl", "-s", "http://127.0.0.1:" + std::to_string(http) + "/metrics"}, folder_).out;
    EXPECT_NE(metrics.find("\nzulgate_mqtt_connected 1\n"), std::string::npos) << metrics;
    EXPECT_EQ(metrics.find("zulgate_mqtt_messages_total{direction=\"out\"} 0\n"), std::string::npos) << metrics;

    // A new broker knows nothing: the gateway reconnects and says it all again.
    broker_->Stop();
    ASSERT_TRUE(broker_->Start());
    auto held = RetainedWhen([](auto& h) { return h["zt/site1/status"] == "online" && AllGood(h, "ahu1"); },
                             seconds(15));
    EXPECT_EQ(Payload(held, "ahu1/w")["value"], 42);
    EXPECT_NE(Log().find("connected to broker 127.0.0.1:" + std::to_string(broker_->Port()) +
                         " as zulgate-test, topics zt/site1/... (after"),
              std::string::npos)
        << Log();

    // A clean stop says offline; a killed gateway's will says it for it.
    gate_->Signal(SIGTERM);
    EXPECT_EQ(gate_->Wait(seconds(10)), 0);
    EXPECT_EQ(Retained()["zt/site1/status"], "offline");
    ASSERT_TRUE(Start(panels, lists, {"ahu1"}, Section())) << Log();
    RetainedWhen([](auto& h) { return h["zt/site1/status"] == "online"; }, seconds(10));
    gate_->Signal(SIGKILL);
    gate_->Wait(seconds(5));
    RetainedWhen([](auto& h) { return h["zt/site1/status"] == "offline"; }, seconds(10));
}

TEST_F(Mqtt, OverTlsWithAUserAndPassword) {
    // A CA and the broker's certificate for 127.0.0.1, made here.
    const std::string f = folder_;
    ASSERT_EQ(RunProgram({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                          "/CN=test CA", "-keyout", f + "/ca.key", "-out", f + "/ca.pem"},
                         f)
                  .status,
              0);
    ASSERT_EQ(RunProgram({"/usr/bin/openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
                          "-keyout", f + "/server.key", "-out", f + "/server.csr"},
                         f)
                  .status,
              0);
    WriteFile(f + "/san.ext", "subjectAltName=IP:127.0.0.1\n");
    ASSERT_EQ(RunProgram({"/usr/bin/openssl", "x509", "-req", "-in", f + "/server.csr", "-CA", f + "/ca.pem", "-CAkey",
                          f + "/ca.key", "-CAcreateserial", "-days", "2", "-extfile", f + "/san.ext", "-out",
                          f + "/server.pem"},
                         f)
                  .status,
              0);
    ASSERT_EQ(RunProgram({"/usr/bin/mosquitto_passwd", "-c", "-b", f + "/passwd", "gate", "s3cret"}, f).status, 0);
    broker_->Stop();
    broker_ = std::make_unique<Broker>(f, "allow_anonymous false\npassword_file " + f + "/passwd\ncafile " + f +
                                              "/ca.pem\ncertfile " + f + "/server.pem\nkeyfile " + f + "/server.key\n");
    ASSERT_TRUE(broker_->Start()) << ReadFile(f + "/broker.err");
    WriteFile(f + "/mqtt.password", "s3cret\n");

    Sim("COM5").SetBytes(0x000100, {0x2A, 0x00});
    ASSERT_TRUE(Start(Panel("ahu1", "COM5", 1, "w.csv"),
                      {{"w.csv", "name,address,table,register,access\nw,W000100,holding,0,rw\n"}}, {"ahu1"},
                      Section("username = \"gate\"\npassword_file = \"mqtt.password\"\ntls_ca = \"ca.pem\"\n")))
        << Log();
    ASSERT_TRUE(gate_->WaitForErr("mqtt: connected to broker", seconds(10))) << Log();
    // The first state may be published before the first poll: "bad" until then.
    Ran ran;
    for (auto until = Clock::now() + seconds(10); Clock::now() < until;) {
        ran = RunProgram(Client("/usr/bin/mosquitto_sub", {"--cafile", f + "/ca.pem", "-u", "gate", "-P", "s3cret",
                                                           "-t", "zt/site1/ahu1/w", "-C", "1", "-W", "5"}),
                         f, seconds(10));
        if (ran.out.find("\"good\"") != std::string::npos) break;
    }
    EXPECT_EQ(json::parse(ran.out, nullptr, false)["value"], 42) << ran.out << ran.err;
}

// A password file with nothing in it stops the start, with its reason,
// before any connection is tried.
TEST_F(Mqtt, AnEmptyPasswordFileIsRefusedWithItsReason) {
    WriteFile(folder_ + "/mqtt.password", "");
    Sim("COM5");
    Start(Panel("ahu1", "COM5", 1, "w.csv"), {{"w.csv", "name,address,table,register,access\nw,W000100,holding,0,r\n"}},
          {}, Section("username = \"gate\"\npassword_file = \"mqtt.password\"\n"));
    EXPECT_NE(gate_->Wait(seconds(10)), 0) << Log();
    EXPECT_NE(Log().find("cannot read the password file " + folder_ + "/mqtt.password: it is empty"), std::string::npos)
        << Log();
}

// Polls a minute apart, values current for two: neither a poll nor a value
// growing old can be what brings a write's value to the broker; only the
// write itself can. And a change a poll finds (ahu2, polled every second)
// goes out with that poll, not when the value would grow old.
TEST_F(Mqtt, AWriteThroughModbusOrMqttIsPublishedAtOnceNotAtTheNextPoll) {
    zulsim::PanelSim& panel = Sim("COM5");
    panel.SetBytes(0x000100, {0x2A, 0x00});
    zulsim::PanelSim& polled = Sim("COM6");
    polled.SetBytes(0x000100, {0x01, 0x00});
    const int http = FreePort();
    ASSERT_TRUE(Start(Panel("ahu1", "COM5", 1, "w.csv", "poll_ms = 60000\nstale_ms = 120000") +
                          Panel("ahu2", "COM6", 2, "w.csv", "poll_ms = 1000\nstale_ms = 120000"),
                      {{"w.csv", OneWord}}, {"ahu1", "ahu2"},
                      Section() + "[http]\nlisten = \"127.0.0.1:" + std::to_string(http) + "\"\n"))
        << Log();
    auto watch = Watching({"zt/site1/ahu1/#", "zt/site1/ahu2/#"});
    ASSERT_TRUE(watch->Until(Good("ahu1/w", 42), seconds(15))) << watch->Dump() << Log();
    ASSERT_TRUE(watch->Until(Good("ahu2/w", 1), seconds(15))) << watch->Dump() << Log();
    polled.SetBytes(0x000100, {0x02, 0x00});
    EXPECT_TRUE(watch->Until(Good("ahu2/w", 2), seconds(10)))
        << "a change found by a poll did not reach the broker within 10 s\n"
        << watch->Dump() << Log();

    for (int value : {1234, 1235}) {
        ASSERT_EQ(Ask(W("write_register", 0, value)), Ok);
        // Answered: the status server has it already.
        Ran state = RunProgram({"/usr/bin/curl", "-s", "http://127.0.0.1:" + std::to_string(http) + "/api/state"},
                               folder_, seconds(10));
        json points = json::parse(state.out, nullptr, false)["panels"][0]["points"];
        EXPECT_EQ(points[0]["value"], value) << state.out;
        EXPECT_TRUE(watch->Until(Good("ahu1/w", value), seconds(5)))
            << "the broker did not get w = " << value << " within 5 s of the Modbus write's answer\n"
            << watch->Dump() << Log();
    }

    // A set: its value, then its result.
    Pub("ahu1/w/set", "777");
    std::optional<std::size_t> value = watch->Until(Good("ahu1/w", 777), seconds(5));
    std::optional<std::size_t> ok = watch->Until(Said("ahu1/w/result", "ok"), seconds(5));
    ASSERT_TRUE(value && ok) << "no value 777 or no ok within 5 s of the set\n" << watch->Dump() << Log();
    EXPECT_LT(*value, *ok) << watch->Dump();
    EXPECT_EQ(panel.GetBytes(0x000100, 2), (Bytes{0x09, 0x03}));
}

// Debian's mosquitto (2.0.11) closes the connection it takes over without
// naming the take-over (reason 0x8E), so the gateway sees connections
// closed soon after they were made: the first said as a lost connection,
// the second with its likely cause, and none after that; backed off.
// mosquitto_sub on the gateway's client id is the other client: it comes
// back one second after each time it is taken over.
TEST_F(Mqtt, AClientIdClashIsSaidOnceAndBackedOff) {
    Sim("COM5").SetBytes(0x000100, {0x2A, 0x00});
    ASSERT_TRUE(Start(Panel("ahu1", "COM5", 1, "w.csv"), {{"w.csv", OneWord}}, {"ahu1"}, Section())) << Log();
    ASSERT_TRUE(gate_->WaitForErr("mqtt: connected to broker", seconds(10))) << Log();
    {
        Process other(Client("/usr/bin/mosquitto_sub", {"-i", "zulgate-test", "-t", "zt/other"}),
                      folder_ + "/other.out", folder_ + "/other.err");
        // Three take-overs: the back-off doubled twice.
        EXPECT_TRUE(gate_->WaitForErr("trying again in 4.0 s", seconds(20))) << Log();
    }
    std::string log = Log();
    EXPECT_EQ(Count(log, "most often another client uses this client id, zulgate-test"), 1u) << log;
    EXPECT_EQ(Count(log, "warning: mqtt"), 2u) << log;
    std::string broker = ReadFile(folder_ + "/broker.err");
    EXPECT_LE(Count(broker, "as zulgate-test (p5"), 4u) << "the gateway's connections:\n" << broker;
}

TEST_F(Mqtt, RetainedSetsAndSetsWithANulByteAreRefused) {
    zulsim::PanelSim& panel = Sim("COM5");
    panel.SetBytes(0x000100, {0x2A, 0x00});
    auto watch = Watching({"zt/site1/ahu1/+/result"});
    Pub("ahu1/w/set", "5", true); // left on the broker before the gateway starts
    ASSERT_TRUE(Start(Panel("ahu1", "COM5", 1, "w.csv"), {{"w.csv", OneWord}}, {"ahu1"}, Section())) << Log();
    const std::string refused = "a retained set is not written: publish it without retain";
    ASSERT_TRUE(watch->Until(Said("ahu1/w/result", refused), seconds(15))) << watch->Dump() << Log();

    Pub("ahu1/w/set", "6", true); // live
    WriteFile(folder_ + "/nul", std::string("33\0 9", 5));
    RunProgram(Client("/usr/bin/mosquitto_pub", {"-t", "zt/site1/ahu1/w/set", "-f", folder_ + "/nul"}), folder_);
    Pub("ahu1/w/set", "33 9");
    Pub("ahu1/w/set", "7"); // the one to write: after the others
    ASSERT_TRUE(watch->Until(Said("ahu1/w/result", "ok"), seconds(10))) << watch->Dump() << Log();
    std::vector<std::string> results;
    for (const json& m : watch->Messages()) results.push_back(m["payload"]);
    EXPECT_EQ(results,
              (std::vector<std::string>{refused, refused, "not a JSON number (it holds a NUL byte): not written",
                                        "not a JSON number: not written", "ok"}));
    EXPECT_EQ(panel.GetBytes(0x000100, 2), (Bytes{0x07, 0x00}));
    EXPECT_EQ(Retained().count("zt/site1/ahu1/w/set"), 0u) << "the retained sets are cleared";
}

TEST_F(Mqtt, TopicsOfRemovedPointsAreClearedAfterTheCurrentOnesArePublished) {
    Sim("COM5").SetBytes(0x000100, {0x2A, 0x00});
    const std::string old = R"({"value":1,"quality":"good","time":"2026-12-01T00:00:00.000Z"})";
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    const std::string id = "zulgate-" + std::string(host);
    // One as the gateway's own earlier run left it: published under its client id.
    RunProgram(Client("/usr/bin/mosquitto_pub", {"-i", id, "-r", "-t", "zt/site1/ahu1/removed", "-m", old}), folder_);
    for (const char* topic : {"ahu1/w/1", "ahu9/w"}) Pub(topic, old, true);
    // Not the gateway's: another payload, a level too many, an element 0.
    for (const char* topic : {"ahu1/note", "ahu1/w/x/y", "ahu1/w/0"})
        Pub(topic, topic == std::string("ahu1/note") ? "hello" : old, true);
    auto watch = Watching({"zt/site1/#"});
    // No client_id: the default, unique per host.
    ASSERT_TRUE(
        Start(Panel("ahu1", "COM5", 1, "w.csv"), {{"w.csv", OneWord}}, {"ahu1"},
              "[mqtt]\nbroker = \"127.0.0.1:" + std::to_string(broker_->Port()) + "\"\ntopic_prefix = \"zt/site1\"\n"))
        << Log();
    EXPECT_TRUE(gate_->WaitForErr("as " + id + ",", seconds(10))) << Log();

    std::optional<std::size_t> current = watch->Until(Good("ahu1/w", 42), seconds(15));
    ASSERT_TRUE(current) << watch->Dump() << Log();
    for (const char* topic : {"ahu1/removed", "ahu1/w/1", "ahu9/w"}) {
        std::optional<std::size_t> cleared =
            watch->Until([topic](const json& m) { return Said(topic, "")(m) && m["retain"] == false; }, seconds(15));
        ASSERT_TRUE(cleared) << topic << " was not cleared\n" << watch->Dump() << Log();
        EXPECT_GT(*cleared, *current) << topic << " cleared before the current points were published";
    }
    auto held = Retained();
    EXPECT_EQ(held.count("zt/site1/ahu1/removed") + held.count("zt/site1/ahu1/w/1") + held.count("zt/site1/ahu9/w"), 0u)
        << Dump(held);
    EXPECT_EQ(held["zt/site1/ahu1/note"], "hello");
    EXPECT_EQ(held["zt/site1/ahu1/w/x/y"], old);
    EXPECT_EQ(held["zt/site1/ahu1/w/0"], old);
    EXPECT_NE(Log().find("cleared 3 retained topics of points no longer in the point lists: zt/site1/ahu1/removed, "
                         "zt/site1/ahu1/w/1, zt/site1/ahu9/w"),
              std::string::npos)
        << Log();
}

} // namespace

namespace {

// Scaled, unit-bearing and state points, as an integrator's list has them.
const char* const Engineered =
    "name,address,table,register,access,scale,offset,units,states,min,max,description\n"
    "supply air,W000100,input,0,r,0.1,,degrees-celsius,,,,tenths of a degree\n"
    "setpoint,W000102,holding,0,rw,0.5,,degrees-fahrenheit,,50,90,\n"
    "mode,B004002,holding,1,rw,,,,Off|Auto|On,,,\n"
    "fan,W000104F,coil,0,rw,,,,,,,\n"
    "alarm,B0040030,discrete,0,r,,,,,,,\n";

// A topic's messages, in order, as the watch saw them.
std::vector<std::string> PayloadsOf(const std::vector<json>& messages, const std::string& topic) {
    std::vector<std::string> payloads;
    for (const json& m : messages) {
        if (m["topic"] == topic) payloads.push_back(m["payload"].get<std::string>());
    }
    return payloads;
}

} // namespace

// The gateway as Home Assistant meets it: the configs read field by field,
// Home Assistant's own command payloads sent to the topics they name, and
// what lands in the panel's memory.
TEST_F(Mqtt, HomeAssistantDiscoversThePointsAndItsCommandsLandInThePanel) {
    zulsim::PanelSim& panel = Sim("COM5");
    panel.SetBytes(0x000100, {0xD7, 0x00, 0x8C, 0x00, 0x00, 0x80}); // 215 (21.5 °C), 140 (70 °F), fan bit 15 on
    panel.SetBytes(0x004002, {0x00, 0x01});                         // mode Off, alarm bit 0 of 004003 on
    // An earlier run's config of a point since removed, and another program's.
    const std::string node = "zt_site1_ahu1";
    ASSERT_EQ(RunProgram(Client("/usr/bin/mosquitto_pub",
                                {"-r", "-t", "homeassistant/sensor/" + node + "/gone/config", "-m",
                                 R"({"state_topic":"zt/site1/ahu1/gone","unique_id":"zt_site1_ahu1_gone"})"}),
                         folder_)
                  .status,
              0);
    ASSERT_EQ(RunProgram(Client("/usr/bin/mosquitto_pub", {"-r", "-t", "homeassistant/light/lamp/light/config", "-m",
                                                           R"({"state_topic":"zigbee2mqtt/lamp"})"}),
                         folder_)
                  .status,
              0);
    auto watch = Watching({"homeassistant/#", "zt/site1/ahu1/#"}, "ha");
    ASSERT_TRUE(Start(Panel("ahu1", "COM5", 1, "e.csv"), {{"e.csv", Engineered}}, {"ahu1"},
                      Section("discovery_prefix = \"homeassistant\"\n")))
        << Log();
    ASSERT_TRUE(gate_->WaitForErr("mqtt: connected to broker", seconds(10))) << Log();
    const auto connected = Clock::now();

    // Every config within 2 s of connecting.
    const std::string prefix = "homeassistant/";
    // A point's config, found as Home Assistant finds it: by its component
    // and the state topic it names.
    auto config = [&](const std::string& component, const std::string& point) -> json {
        json found;
        watch->Until(
            [&](const json& m) {
                std::string topic = m.value("topic", "");
                if (topic.rfind(prefix + component + "/" + node + "/", 0) != 0) return false;
                json c = json::parse(m["payload"].get<std::string>(), nullptr, false);
                if (c.is_discarded() || c.value("state_topic", "") != "zt/site1/ahu1/" + point) return false;
                found = c;
                return true;
            },
            seconds(2));
        return found;
    };
    json supply = config("sensor", "supply air");
    json setpoint = config("number", "setpoint");
    json mode = config("select", "mode");
    json fan = config("switch", "fan");
    json alarm = config("binary_sensor", "alarm");
    EXPECT_LT(Clock::now() - connected, seconds(3));
    ASSERT_FALSE(supply.is_null() || setpoint.is_null() || mode.is_null() || fan.is_null() || alarm.is_null())
        << watch->Dump() << Log();
    EXPECT_EQ(supply["state_topic"], "zt/site1/ahu1/supply air");
    EXPECT_EQ(supply["unit_of_measurement"], "°C");
    EXPECT_EQ(supply["device_class"], "temperature");
    EXPECT_EQ(supply["device"]["name"], "ahu1");
    EXPECT_EQ(setpoint["command_topic"], "zt/site1/ahu1/setpoint/set");
    EXPECT_EQ(setpoint["step"], 0.5);
    EXPECT_EQ(setpoint["min"], 50);
    EXPECT_EQ(mode["options"], json::array({"Off", "Auto", "On"}));

    // The values as Home Assistant's templates read them.
    EXPECT_TRUE(watch->Until(Good("ahu1/supply air", 21.5), seconds(10))) << watch->Dump();
    EXPECT_TRUE(watch->Until(Good("ahu1/setpoint", 70), seconds(10))) << watch->Dump();
    EXPECT_TRUE(watch->Until(Good("ahu1/mode", "Off"), seconds(10))) << watch->Dump();
    json supplyNow = json::parse(PayloadsOf(watch->Messages(), "zt/site1/ahu1/supply air").back());
    EXPECT_EQ(supplyNow["raw"], 215);

    // Home Assistant's commands: a number as it sends one, a select's option
    // bare, a switch's payload_off and payload_on as its config says.
    auto command = [&](const json& c, const std::string& payload) {
        std::vector<std::string> args{"-t", c["command_topic"].get<std::string>(), "-m", payload};
        EXPECT_EQ(RunProgram(Client("/usr/bin/mosquitto_pub", args), folder_).status, 0);
    };
    auto results = Watching({"zt/site1/+/+/result"}, "results");
    command(setpoint, "72.5");
    command(mode, "Auto");
    command(fan, fan["payload_off"]);
    for (const char* topic : {"ahu1/setpoint/result", "ahu1/mode/result", "ahu1/fan/result"}) {
        EXPECT_TRUE(results->Until(Said(topic, "ok"), seconds(10))) << topic << results->Dump() << Log();
    }
    EXPECT_EQ(panel.GetBytes(0x000102, 2), (Bytes{145, 0x00})); // 72.5 / 0.5
    EXPECT_EQ(panel.GetBytes(0x004002, 1), (Bytes{0x01}));      // Auto
    EXPECT_EQ(panel.GetBytes(0x000105, 1), (Bytes{0x00}));      // bit 15 off
    command(fan, fan["payload_on"]);
    command(setpoint, "95"); // above max 90
    EXPECT_TRUE(results->Until(Said("ahu1/setpoint/result", "95 is above max 90: not written"), seconds(10)))
        << results->Dump();
    EXPECT_TRUE(watch->Until(Good("ahu1/fan", 1), seconds(10)));
    EXPECT_EQ(panel.GetBytes(0x000105, 1), (Bytes{0x80}));
    // What the switch's template renders is its state_on, that is its payload_on.
    EXPECT_EQ(fan["value_template"], "{{ 'true' if value_json.raw == 1 else 'false' }}");

    // The removed point's config is cleared after the current ones were
    // published; another program's is left.
    EXPECT_TRUE(watch->Until(
        [&](const json& m) {
            return m.value("topic", "") == prefix + "sensor/" + node + "/gone/config" && m["payload"] == "";
        },
        seconds(15)))
        << watch->Dump();
    std::vector<json> all = watch->Messages();
    std::size_t cleared = 0, lastConfig = 0;
    for (std::size_t i = 0; i < all.size(); ++i) {
        std::string topic = all[i]["topic"];
        if (topic == prefix + "sensor/" + node + "/gone/config" && all[i]["payload"] == "") cleared = i;
        if (topic == prefix + "switch/" + node + "/fan/config" && lastConfig == 0) lastConfig = i;
    }
    EXPECT_LT(lastConfig, cleared);
    EXPECT_TRUE(PayloadsOf(all, "homeassistant/light/lamp/light/config").size() == 1);

    // Home Assistant comes online: the configs again.
    std::size_t before = PayloadsOf(watch->Messages(), prefix + "select/" + node + "/mode/config").size();
    ASSERT_EQ(
        RunProgram(Client("/usr/bin/mosquitto_pub", {"-t", "homeassistant/status", "-m", "online"}), folder_).status,
        0);
    EXPECT_TRUE(watch->Until(
        [&, n = std::size_t{0}](const json& m) mutable {
            return m.value("topic", "") == prefix + "select/" + node + "/mode/config" && ++n > before;
        },
        seconds(5)))
        << watch->Dump();
}
