// Debian's ser2net, started by a test as a device server in front of a
// device (the simulator's pseudo-terminal): one accepter of each kind on
// loopback ports of its own, RFC 2217 (Telnet with COM-PORT-CONTROL), raw
// TCP, and plain Telnet without the option. Stop and Start again play a
// device server that restarts. Every wait is bounded.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "tests/gateway/process.h"
#include "tests/support/free_port.h"

namespace devsrv {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

using zultest::FreePort;

// Whether something listens on the loopback port, from /proc/net/tcp:
// a look that opens no connection (a connection would make the server
// open its device).
inline bool Listening(int port) {
    std::ifstream in("/proc/net/tcp");
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        std::size_t colon = local.find(':');
        if (colon == std::string::npos) continue;
        if (std::stoi(local.substr(colon + 1), nullptr, 16) == port && state == "0A") return true;
    }
    return false;
}

class Ser2net {
public:
    Ser2net(const std::string& folder, const std::string& device)
        : folder_(folder), device_(device), rfc2217(FreePort()), raw(FreePort()), telnetOnly(FreePort()) {
        std::ofstream(folder_ + "/ser2net.yaml")
            << Connection("rfc", "telnet(rfc2217),tcp", rfc2217) << Connection("raw", "tcp", raw)
            << Connection("telnet", "telnet,tcp", telnetOnly);
    }
    ~Ser2net() { Stop(); }

    // True once every accepter listens.
    bool Start() {
        process_ = std::make_unique<gwtest::Process>(std::vector<std::string>{"/usr/sbin/ser2net", "-n", "-d", "-c",
                                                                              folder_ + "/ser2net.yaml"},
                                                     folder_ + "/ser2net.out", folder_ + "/ser2net.err");
        auto until = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < until) {
            if (Listening(rfc2217) && Listening(raw) && Listening(telnetOnly)) return true;
            std::this_thread::sleep_for(milliseconds(10));
        }
        return false;
    }
    void Stop() {
        if (!process_) return;
        process_->Signal(SIGTERM);
        if (process_->Wait(std::chrono::seconds(5)) < 0) process_->Signal(SIGKILL);
        process_->Wait(std::chrono::seconds(5));
        process_.reset();
    }
    std::string Output() const { return gwtest::ReadFile(folder_ + "/ser2net.err"); }

    static std::string Url(const char* scheme, int port) {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(port);
    }

private:
    std::string Connection(const std::string& name, const std::string& accepter, int port) const {
        return "connection: &" + name + "\n  accepter: " + accepter + ",127.0.0.1," + std::to_string(port) +
               "\n  connector: serialdev," + device_ + ",9600n81,local\n";
    }

    std::string folder_, device_;
    std::unique_ptr<gwtest::Process> process_;

public:
    const int rfc2217, raw, telnetOnly;
};

} // namespace devsrv
