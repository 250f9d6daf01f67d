// zulgate: serves the points of Trane Tracker panels over Modbus TCP, MQTT
// and BACnet/IP. It is a host of the driver like zulhost: it loads libzultrk.so at
// run time and calls only ZulMain, each panel from a worker process of its
// own (this program again, with the hidden option --panel-worker).
//
//   zulgate --config FILE [--lib PATH] [--verbose | --quiet]   run until SIGTERM or SIGINT
//   zulgate --check FILE [--lib PATH]                          check only; exit 0 or 1
#include <CLI/CLI.hpp>

#include "zultrk_version.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <string>

#include "gateway/config.h"
#include "gateway/gateway.h"
#include "gateway/log.h"
#include "gateway/worker/panel_worker.h"
#include "host/client/library_loader.h"

#ifndef ZULGATE_BUILD_TREE_DRIVER
#define ZULGATE_BUILD_TREE_DRIVER ""
#define ZULGATE_BUILD_TREE_FOLDER ""
#endif

namespace {

constexpr int ExitFailed = 1;

int Run(const std::string& path, bool checkOnly, const std::string& libraryPath, zulgate::Level level) {
    using namespace zulgate;
    // A hangup (the terminal of a "zulgate &" closed, a reload asked for)
    // must not end the gateway: it is taken below, with the stop signals,
    // and said. Blocked from the start, so that it cannot kill the check or
    // the start either.
    sigset_t hangup;
    sigemptyset(&hangup);
    sigaddset(&hangup, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &hangup, nullptr);
    Log log(level);
    Diagnostics diagnostics;
    GatewayConfig config;
    bool configOk = ReadConfig(path, config, diagnostics);
    if (!configOk && config.panels.empty()) {
        diagnostics.Print(stderr);
        return ExitFailed;
    }

    // The driver checks every address; the library is found as zulhost finds it.
    std::string given = !libraryPath.empty() ? libraryPath : config.driverLibrary;
    zulclient::DriverLocation where = zulclient::FindDriver(given, ZULGATE_BUILD_TREE_DRIVER,
                                                            ZULGATE_BUILD_TREE_FOLDER);
    zulclient::DriverLibrary library;
    std::string error;
    if (!library.Load(where.name, where.search, &error)) {
        diagnostics.Print(stderr);
        std::fprintf(stderr, "zulgate: %s%s\n", error.c_str(),
                     where.search ? " (install the driver's runtime package, or name its file with --lib or "
                                    "[driver] library)"
                                  : "");
        return ExitFailed;
    }
    // The file the system found, when it searched.
    const std::string loaded = library.LoadedFile().empty() ? where.name : library.LoadedFile();
    CheckedConfig checked;
    CheckConfiguration(config, library.Entry(), checked, diagnostics);
    if (!diagnostics.Empty() || (checkOnly && diagnostics.Warnings() > 0)) diagnostics.Print(stderr);
    if (!diagnostics.Empty()) {
        std::fprintf(stderr, "zulgate: %s: %zu error%s\n", path.c_str(), diagnostics.Count(),
                     diagnostics.Count() == 1 ? "" : "s");
        return ExitFailed;
    }
    std::size_t points = 0;
    for (const PanelMap& m : checked.maps) points += m.Points().size();
    if (checkOnly) {
        std::size_t warnings = diagnostics.Warnings();
        std::string warned = warnings ? ", " + std::to_string(warnings) + " warning" + (warnings == 1 ? "" : "s")
                                      : std::string();
        std::printf("%s: %zu panel%s, %zu points: no errors%s (driver %s)\n", path.c_str(), config.panels.size(),
                    config.panels.size() == 1 ? "" : "s", points, warned.c_str(), loaded.c_str());
        return 0;
    }

    // Only this thread takes the stop signals: every thread started below
    // inherits the blocked set.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    sigset_t taken = stop;
    sigaddset(&taken, SIGHUP);
    signal(SIGPIPE, SIG_IGN); // a client gone while its answer is sent

    log.Say(Level::Info, "gateway",
            std::string("zulgate ") + ZULTRK_VERSION_TEXT + ", driver " + loaded + ", " +
                std::to_string(config.panels.size()) + " panels, " + std::to_string(points) + " points");
    for (const Diagnostic& warning : diagnostics.All()) {
        log.Say(Level::Warning, "gateway", Diagnostic{warning.file, warning.line, warning.message, false}.Text());
    }
    worker::WorkerProgram program;
    program.library = loaded;
    program.librarySearch = library.LoadedFile().empty() && where.search;
    Gateway gateway(checked, program, log);
    if (!gateway.Start(error)) {
        log.Say(Level::Error, "gateway", error);
        return ExitFailed;
    }
    int signal = 0;
    while (sigwait(&taken, &signal) == 0 && signal == SIGHUP) {
        log.Say(Level::Info, "gateway",
                "SIGHUP ignored: the configuration is read only at the start (restart zulgate to apply a change)");
    }
    log.Say(Level::Info, "gateway", std::string("stopping on ") + (signal == SIGTERM ? "SIGTERM" : "SIGINT"));
    gateway.Stop();
    log.Say(Level::Info, "gateway", "stopped: every port closed");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"zulgate: the points of Trane Tracker panels over Modbus TCP, MQTT and BACnet/IP"};
    app.set_version_flag("--version", std::string("zulgate ") + ZULTRK_VERSION_TEXT);
    std::string config, check, library;
    bool verbose = false, quiet = false;
    auto* run = app.add_option("--config", config, "run with this configuration file (TOML)");
    auto* only = app.add_option("--check", check, "only check this configuration and its point lists; exit 0 or 1");
    run->excludes(only);
    app.add_option("--lib", library, "the driver library (default: [driver] library, else as zulhost finds it)");
    app.add_flag("-v,--verbose", verbose, "also debug lines: every client, every exception, the driver's retries");
    app.add_flag("-q,--quiet", quiet, "warnings and errors only");
    // A panel's worker, which zulgate starts itself; not in the help.
    int workerFd = -1;
    std::string workerFor;
    app.add_option("--panel-worker", workerFd)->group("");
    app.add_option("--for", workerFor)->group(""); // the panel's name, for ps to show
    CLI11_PARSE(app, argc, argv);
    if (workerFd >= 0) return zulgate::worker::RunPanelWorker(workerFd);
    if (config.empty() && check.empty()) {
        std::fprintf(stderr, "zulgate: give --config FILE to run, or --check FILE\n%s", app.help().c_str());
        return 2;
    }
    zulgate::Level level = verbose ? zulgate::Level::Debug : quiet ? zulgate::Level::Warning : zulgate::Level::Info;
    return Run(check.empty() ? config : check, !check.empty(), library, level);
}
