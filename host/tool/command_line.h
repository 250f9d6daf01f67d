// The command line of zulhost: what the user asked for, as plain values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zulhost {

enum class Command { Info, Check, Read, Write, Poll, Start, Demo, Decode, Spy, Ports };

enum class LogMode {
    OnFailure, // default: the driver's log lines go to stderr only when a step fails
    Quiet,     // never shown
    Verbose,   // every line on stderr as it arrives
};

struct Options {
    Command command = Command::Info;

    // Where the driver and the panel are.
    std::string libraryPath; // empty: beside the executable, then the build tree
    std::string portName;    // empty: the built-in panel (where there is one)

    // Line settings; unset ones come from the driver's GetInfo defaults.
    std::optional<std::uint16_t> baudRate;
    std::optional<std::uint16_t> dataBits;
    std::optional<std::uint16_t> parityCode;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::optional<std::uint16_t> stopBitsCode; // 0 one, 1 one and a half, 2 two
    std::int32_t timeout = 100;                // units of 10 ms

    LogMode logMode = LogMode::OnFailure;
    bool json = false;
    bool trace = false;
    std::string pcapPath; // a pcap capture of the built-in panel's line, or of the spy's

    // Subcommand arguments.
    std::string address;
    std::int32_t hostDataType = 7;
    bool syntaxOnly = false;
    std::int32_t count = 1;
    std::vector<std::string> values;
    std::int32_t intervalMs = 0;
    std::int32_t times = 0; // 0: until interrupted
    bool allowPanelWrites = false;
    std::string decodeInput; // decode: a file, or "-" for stdin
    std::string linkPath;    // spy: where the pseudo-terminal is linked
    double spySeconds = 0;   // spy: stop after this long (0: no limit)
};

// Exit statuses of the tool itself, kept apart from the driver's small results.
constexpr int ExitUsage = 64;       // bad command line
constexpr int ExitMismatch = 65;    // every request succeeded, but a read-back differed
constexpr int ExitUnavailable = 69; // driver library or built-in panel could not be had

// Parses argv. Returns the options, or sets *exitStatus (0 for --help,
// ExitUsage for a bad command line) after printing the message.
std::optional<Options> ParseCommandLine(int argc, char** argv, int* exitStatus);

} // namespace zulhost
