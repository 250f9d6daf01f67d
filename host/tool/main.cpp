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
#include "host/tool/host_client.h"
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

// --lib; else beside the executable; else, for the zulhost of a build tree,
// that tree's driver; else the installed one.
zulclient::DriverLocation FindDriver(const Options& options) {
    return zulclient::FindDriver(options.libraryPath, ZULHOST_BUILD_TREE_DRIVER, ZULHOST_BUILD_TREE_FOLDER);
}

int Run(const Options& options) {
    LogCapture log(options.logMode);
    Report report(CommandName(options.command), options.json, log);
    // These two work on the line alone, without the driver.
    if (options.command == Command::Decode) return report.Finish(RunDecode(report, options));
    if (options.command == Command::Spy) return report.Finish(RunSpy(report, options));
    if (options.command == Command::Ports) return report.Finish(RunPorts(report, options));
    BoundDeviceServerConnects(options);
    zulclient::DriverLocation where = FindDriver(options);
    report.Data()["library"] = where.name;

    DriverLibrary library;
    std::string error;
    if (!library.Load(where.name, where.search, &error)) {
        if (where.search) error += " (install the driver's runtime package, or give its file with --lib)";
        return report.Finish(report.FailTool("zulhost: " + error, ExitUnavailable));
    }
    // The file the system found, when it searched.
    report.Data()["library"] = library.LoadedFile().empty() ? where.name : library.LoadedFile();
    DriverClient client(library.Entry(), ToolChannelNumber);

    int status = 0;
    switch (options.command) {
    case Command::Info:
        status = RunInfo(client, report);
        break;
    case Command::Check:
        status = RunCheck(client, report, options);
        break;
    case Command::Read:
        status = RunRead(client, report, options);
        break;
    case Command::Write:
        status = RunWrite(client, report, options);
        break;
    case Command::Poll:
        status = RunPoll(client, report, log, options);
        break;
    case Command::Start:
        status = RunStart(client, report, options);
        break;
    case Command::Demo:
        status = RunDemo(client, report, options);
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
