// Simulated panels for a test of the gateway's BACnet/IP server: each on a
// pseudo-terminal of its own behind FOLDER/NAME (a ports-folder entry the
// gateway names as its port), each optionally slow to answer. A test
// drives them on stdin, one command a line, each answered on stdout:
//
//   set NAME ADDR HH HH ...   the panel's memory from ADDR (hex)   -> ok
//   get NAME ADDR COUNT       COUNT bytes of it                    -> bytes HH HH ...
//   silent NAME 1|0           the panel stops answering, or starts -> ok
//   quit
//
// It prints "ready" once every panel is served.
//
//   panels_serve FOLDER NAME[:TURNAROUND_MS] ...
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "sim/panel_sim.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: panels_serve FOLDER NAME[:TURNAROUND_MS] ...\n");
        return 2;
    }
    std::map<std::string, std::unique_ptr<zulsim::PanelSim>> panels;
    for (int i = 2; i < argc; ++i) {
        std::string name = argv[i];
        zulsim::Options options;
        if (std::size_t colon = name.find(':'); colon != std::string::npos) {
            options.turnaroundMs = std::stoi(name.substr(colon + 1));
            name.resize(colon);
        }
        options.linkPath = std::string(argv[1]) + "/" + name;
        auto sim = std::make_unique<zulsim::PanelSim>(options);
        std::string error;
        if (!sim->Start(&error)) {
            std::fprintf(stderr, "panels_serve: %s: %s\n", name.c_str(), error.c_str());
            return 1;
        }
        panels[name] = std::move(sim);
    }
    std::printf("ready\n");
    std::fflush(stdout);
    for (std::string line; std::getline(std::cin, line) && line != "quit";) {
        std::istringstream in(line);
        std::string command, name;
        in >> command >> name;
        auto panel = panels.find(name);
        std::string answer = "error: no panel '" + name + "'";
        if (panel != panels.end()) {
            zulsim::PanelSim& sim = *panel->second;
            std::uint32_t address = 0;
            if (command == "set" && (in >> std::hex >> address)) {
                std::vector<std::uint8_t> bytes;
                for (unsigned byte = 0; in >> std::hex >> byte;) bytes.push_back(static_cast<std::uint8_t>(byte));
                sim.SetBytes(address, bytes);
                answer = "ok";
            } else if (std::size_t count = 0; command == "get" && (in >> std::hex >> address >> std::dec >> count)) {
                answer = "bytes";
                for (std::uint8_t byte : sim.GetBytes(address, count)) {
                    char hex[4];
                    std::snprintf(hex, sizeof hex, " %02X", byte);
                    answer += hex;
                }
            } else if (int on = 0; command == "silent" && (in >> on)) {
                sim.SetSilent(on != 0);
                answer = "ok";
            } else {
                answer = "error: cannot take '" + line + "'";
            }
        }
        std::printf("%s\n", answer.c_str());
        std::fflush(stdout);
    }
    return 0;
}
