#include "host/tool/command_line.h"

#include <CLI/CLI.hpp>

#include "zultrk_version.h"

#include <iostream>
#include <map>

namespace zulhost {
namespace {

constexpr std::size_t PortNameLimit = 11;

const std::map<std::string, std::uint16_t> ParityNames = {
    {"none", 0}, {"n", 0},    {"0", 0}, {"odd", 1}, {"o", 1},     {"1", 1}, {"even", 2}, {"e", 2},
    {"2", 2},    {"mark", 3}, {"m", 3}, {"3", 3},   {"space", 4}, {"s", 4}, {"4", 4},
};

// Stop bits as a person writes them, to the line-setting code.
const std::map<std::string, std::uint16_t> StopBitNames = {{"1", 0}, {"1.5", 1}, {"2", 2}};

const char* Usage =
    "usage: zulhost [OPTIONS] {info|check|read|write|poll|start|demo|decode|spy|ports} ...   (zulhost --help)\n";

const char* Footer =
    "Without --port the tool serves the driver from its built-in panel simulator on a\n"
    "pseudo-terminal (Linux). Every command that talks to the panel cold-starts channel 1\n"
    "first and closes its port at the end. Exit status: 0, the failing request's result,\n"
    "64 for a bad command line, 65 for a demo read-back that differed, 69 when the driver\n"
    "library or the built-in panel cannot be had. Values that begin with '-' go after '--'.";

void AddAddress(CLI::App* sub, Options& o) {
    sub->add_option("ADDRESS", o.address, "point address: type letter, six hex digits, optional bit digit (W01A2F3)")
        ->required();
}

} // namespace

std::optional<Options> ParseCommandLine(int argc, char** argv, int* exitStatus) {
    Options o;
    CLI::App app{"zulhost: try a Trane Tracker panel through the zultrk driver, as a host does", "zulhost"};
    app.footer(Footer);
    app.set_version_flag("--version", std::string("zulhost ") + ZULTRK_VERSION_TEXT);
    app.require_subcommand(0, 1); // none is reported below, after unknown options
    app.fallthrough();

    app.add_option(
        "--lib", o.libraryPath,
        "driver library to load (default: beside zulhost; else, built, its build tree's; else the installed one)");
    app.add_option("--port", o.portName,
                   "serial device: COMn on Windows; on Linux a path, a ports-folder entry or a /dev name "
                   "(11 characters at most; see zulhost ports)")
        ->check([](const std::string& name) -> std::string {
            if (name.empty()) return "the port name is empty";
            if (name.size() > PortNameLimit) return "the port name has more than 11 characters";
            return {};
        });
    int baud = 0, dataBits = 0;
    std::string parity, stopBits;
    auto* baudOption =
        app.add_option("--baud", baud, "line speed (default: the driver's)")->check(CLI::Range(1, 65535));
    auto* dataOption =
        app.add_option("--data-bits", dataBits, "data bits (default: the driver's)")->check(CLI::Range(5, 8));
    app.add_option("--parity", parity, "none, odd, even, mark or space (default: the driver's)")
        ->check(CLI::IsMember(ParityNames, CLI::ignore_case));
    app.add_option("--stop-bits", stopBits, "1, 1.5 or 2 (default: the driver's)")->check(CLI::IsMember(StopBitNames));
    app.add_option("--timeout", o.timeout, "response timeout in units of 10 ms (default 100)")
        ->check(CLI::Range(1, 60000));
    bool quiet = false, verbose = false;
    auto* quietFlag = app.add_flag("--quiet,-q", quiet, "never show the driver's log lines");
    app.add_flag("--verbose,-v", verbose, "show every driver log line on stderr as it comes (default: only on failure)")
        ->excludes(quietFlag);
    app.add_flag("--json", o.json, "machine-readable output on stdout");
    app.add_flag("--trace", o.trace, "print the frames the built-in panel sees and sends");
    app.add_option("--pcap", o.pcapPath,
                   "write the line to this pcap file (DLT_USER0): the built-in panel's, or with spy the tapped one");

    auto* info = app.add_subcommand("info", "show the driver's identity, defaults and banner");
    auto* check = app.add_subcommand("check", "check a point address with the driver (CheckAddress)");
    AddAddress(check, o);
    check->add_option("--type", o.hostDataType, "host data type (default 7: every letter)");
    check->add_flag("--syntax", o.syntaxOnly, "syntax only, no type check (CheckAddressSyntax)");
    auto* read = app.add_subcommand("read", "read COUNT consecutive points (BlockRead)");
    AddAddress(read, o);
    read->add_option("COUNT", o.count, "number of elements (default 1)")->check(CLI::Range(1, 255));
    auto* write = app.add_subcommand("write", "write values to consecutive points (BlockWrite)");
    AddAddress(write, o);
    write->add_option("VALUE", o.values, "one value per element: integers, 0x hex, floats for F; 0/1 for a bit")
        ->required();
    auto* poll = app.add_subcommand("poll", "read the same points again and again");
    AddAddress(poll, o);
    poll->add_option("COUNT", o.count, "number of elements (default 1)")->check(CLI::Range(1, 255));
    poll->add_option("--interval", o.intervalMs, "time from one sample to the next, in ms")
        ->required()
        ->check(CLI::Range(0, 86400000));
    poll->add_option("--times", o.times, "number of samples (default 0: until interrupted)")
        ->check(CLI::NonNegativeNumber);
    auto* start = app.add_subcommand("start", "cold-start the channel and report the panel's identifier");
    auto* demo = app.add_subcommand("demo", "run the demonstration against the panel (built-in by default)");
    demo->add_flag("--allow-panel-writes", o.allowPanelWrites,
                   "let the demo write to the demonstration addresses of a real panel given with --port");
    auto* decode = app.add_subcommand("decode",
                                      "show a capture of the line frame by frame (pcap, socat -x, "
                                      "simulator trace or hex dump; - for stdin)");
    decode->add_option("FILE", o.decodeInput, "the capture, or - for stdin")->required();
    auto* spy = app.add_subcommand("spy",
                                   "tap a real line: a pseudo-terminal for the host, forwarded to --port, "
                                   "captured (Linux)");
    spy->add_option("--link", o.linkPath,
                    "a symbolic link to the pseudo-terminal the host opens (a ports-folder "
                    "entry, or a path of at most 11 characters)");
    auto* ports = app.add_subcommand("ports",
                                     "list the serial devices a host could name, without opening any, "
                                     "with what may keep one from working (Linux)");
    spy->add_option("--seconds", o.spySeconds, "stop after this long (default: when the host closes its port)")
        ->check(CLI::NonNegativeNumber);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        *exitStatus = app.exit(e);
        return std::nullopt;
    } catch (const CLI::CallForVersion& e) {
        *exitStatus = app.exit(e);
        return std::nullopt;
    } catch (const CLI::CallForAllHelp& e) {
        *exitStatus = app.exit(e);
        return std::nullopt;
    } catch (const CLI::ParseError& e) {
        std::cerr << "zulhost: " << e.what() << "\n" << Usage;
        *exitStatus = ExitUsage;
        return std::nullopt;
    }

    if (app.get_subcommands().empty()) {
        std::cerr << "zulhost: a subcommand is required\n" << Usage;
        *exitStatus = ExitUsage;
        return std::nullopt;
    }
    if (*info) o.command = Command::Info;
    if (*check) o.command = Command::Check;
    if (*read) o.command = Command::Read;
    if (*write) o.command = Command::Write;
    if (*poll) o.command = Command::Poll;
    if (*start) o.command = Command::Start;
    if (*demo) o.command = Command::Demo;
    if (*decode) o.command = Command::Decode;
    if (*spy) o.command = Command::Spy;
    if (*ports) o.command = Command::Ports;

    if (baudOption->count() > 0) o.baudRate = static_cast<std::uint16_t>(baud);
    if (dataOption->count() > 0) o.dataBits = static_cast<std::uint16_t>(dataBits);
    if (!parity.empty()) o.parityCode = ParityNames.at(CLI::detail::to_lower(parity));
    if (!stopBits.empty()) o.stopBitsCode = StopBitNames.at(stopBits);
    if (quiet) o.logMode = LogMode::Quiet;
    if (verbose) o.logMode = LogMode::Verbose;

    if (o.command == Command::Spy && o.portName.empty()) {
        std::cerr << "zulhost: spy needs --port: the real serial device to tap\n";
        *exitStatus = ExitUsage;
        return std::nullopt;
    }
    if (!o.pcapPath.empty() && !o.portName.empty() && o.command != Command::Spy) {
        std::cerr << "zulhost: --pcap captures the built-in panel's line (or the spy's); with --port, use spy\n";
        *exitStatus = ExitUsage;
        return std::nullopt;
    }
    if (o.trace && !o.portName.empty() && o.command != Command::Spy) {
        std::cerr << "zulhost: --trace shows the built-in panel's side of the line; it cannot be used with --port\n";
        *exitStatus = ExitUsage;
        return std::nullopt;
    }
    return o;
}

} // namespace zulhost
