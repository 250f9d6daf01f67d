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
    std::unique_ptr<Broker> broker_;
};

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
        EXPECT_EQ(p["quality"], "good") << topic;
        EXPECT_TRUE(p["time"].is_string() && p["time"].get<std::string>().size() == 24) << topic << ": " << p;
    }
    EXPECT_EQ(Payload(held, "mute/w"), json::parse(R"({"value":null,"quality":"bad","time":null})"));

    // Writes: one that lands in the panel's memory, and refusals in words.
    Process results(Client("/usr/bin/mosquitto_sub",
                           {"-t", "zt/site1/+/+/result", "-t", "zt/site1/+/+/+/result", "-v", "-C", "6", "-W", "20"}),
                    folder_ + "/results.out", folder_ + "/results.err");
    std::this_thread::sleep_for(milliseconds(300)); // subscribed
    const std::vector<std::pair<std::string, std::string>> sets{{"ahu1/time/set", "4661"},   {"ahu1/words/1/set", "7"},
                                                                {"ahu1/bit 7/set", "false"}, {"ahu1/fixed/set", "1"},
                                                                {"ahu1/byte/set", "300"},    {"ahu1/nothing/set", "1"}};
    for (const auto& [topic, payload] : sets) {
        RunProgram(Client("/usr/bin/mosquitto_pub", {"-t", "zt/site1/" + topic, "-m", payload}), folder_);
    }
    ASSERT_EQ(results.Wait(seconds(20)), 0) << results.Out() << Log();
    std::string out = results.Out();
    for (const char* line : {"zt/site1/ahu1/time/result ok", "zt/site1/ahu1/words/1/result ok",
                             "zt/site1/ahu1/bit 7/result ok", "zt/site1/ahu1/fixed/result read-only: not written",
                             "zt/site1/ahu1/byte/result takes 0..255, not 300: not written",
                             "zt/site1/ahu1/nothing/result no such point: not written"}) {
        EXPECT_NE(out.find(std::string(line) + "\n"), std::string::npos) << line << "\nin:\n" << out;
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

} // namespace
