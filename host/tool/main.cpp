// zulhost: a host for the zultrk driver on the command line. It loads the
// driver library as a host does, plays channel 1, and runs one subcommand.
#include <cstdio>
#include <string>

#include "host/tool/command_line.h"
#include "host/tool/commands.h"
#include "host/tool/decode.h"
#include "host/tool/ports.h"
#include "host/tool/spy.h"
#include "host/tool/demo.h"
#include "host/tool/driver_client.h"
#include "host/tool/library_loader.h"
#include "host/tool/log_capture.h"
#include "host/tool/output.h"

namespace zulhost {
namespace {

const char* CommandName(Command command) {
    switch (command) {
    case Command::Info:
        return "info";
    case Command::Check:
        return "check";
    case Command::Read:
        return "read";
    case Command::Write:
        return "write";
    case Command::Poll:
        return "poll";
    case Command::Start:
        return "start";
    case Command::Demo:
        return "demo";
    case Command::Decode:
        return "decode";
    case Command::Spy:
        return "spy";
    case Command::Ports:
        return "ports";
    }
    return "?";
}

// --lib; else the driver beside the executable (as in a Windows host's
// folder); else, for the zulhost of a build tree, that tree's driver; else
// the installed one, by its soname, from the system's library path.
DriverLocation FindDriver(const Options& options) {
    if (!options.libraryPath.empty()) return {options.libraryPath, false};
    std::string folder = ExecutableFolder();
    std::string beside = folder + DriverFileName();
    if (FileExists(beside)) return {beside, false};
    std::string built = ZULHOST_BUILD_TREE_DRIVER; // set by the build; empty where it means nothing
    if (!built.empty() && FileExists(built) && SameFolder(folder, ZULHOST_BUILD_TREE_FOLDER)) return {built, false};
    return {InstalledDriverName(), true};
}

int Run(const Options& options) {
    LogCapture log(options.logMode);
    Report report(CommandName(options.command), options.json, log);
    // These two work on the line alone, without the driver.
    if (options.command == Command::Decode) return report.Finish(RunDecode(report, options));
    if (options.command == Command::Spy) return report.Finish(RunSpy(report, options));
    if (options.command == Command::Ports) return report.Finish(RunPorts(report, options));
    DriverLocation where = FindDriver(options);
    report.Data()["library"] = where.name;

    DriverLibrary library;
    std::string error;
    if (!library.Load(where.name, where.search, &error)) {
        if (where.search) error += " (install the driver's runtime package, or give its file with --lib)";
        return report.Finish(report.FailTool("zulhost: " + error, ExitUnavailable));
    }
    // The file the system found, when it searched.
    report.Data()["library"] = library.LoadedFile().empty() ? where.name : library.LoadedFile();
    DriverClient client(library.Entry());

    int status = 0;
    switch (options.command) {
    case Command::Info:
        status = RunInfo(client, report);
        break;
    case Command::Check:
        status = RunCheck(client, report, options);
        break;
    case Command::Read:
        status = RunRead(client, report, log, options);
        break;
    case Command::Write:
        status = RunWrite(client, report, log, options);
        break;
    case Command::Poll:
        status = RunPoll(client, report, log, options);
        break;
    case Command::Start:
        status = RunStart(client, report, log, options);
        break;
    case Command::Demo:
        status = RunDemo(client, report, log, options);
        break;
    case Command::Decode:
    case Command::Spy:
    case Command::Ports:
        break;
    }
    return report.Finish(status);
}

} // namespace
} // namespace zulhost

int main(int argc, char** argv) {
    int status = 0;
    std::optional<zulhost::Options> options = zulhost::ParseCommandLine(argc, argv, &status);
    if (!options) return status;
    return zulhost::Run(*options);
}
