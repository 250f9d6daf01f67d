#include "host/tool/commands.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <thread>

#include "host/tool/cp437.h"
#include "host/tool/panel_session.h"
#include "host/tool/value_format.h"

namespace zulhost {
namespace {

volatile std::sig_atomic_t interrupted = 0;
extern "C" void OnInterrupt(int) { interrupted = 1; }

const char* ParityName(std::uint16_t code) {
    static const char* names[] = {"none", "odd", "even", "mark", "space"};
    return code < 5 ? names[code] : "unknown";
}

const char* StopBitsName(std::uint16_t code) {
    static const char* names[] = {"1", "1.5", "2"};
    return code < 3 ? names[code] : "unknown";
}

std::string Hex6(std::int32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "%06X", static_cast<unsigned>(address) & 0xFFFFFFu);
    return text;
}

std::string LettersFor(std::int32_t hostDataType) {
    auto type = static_cast<std::uint32_t>(hostDataType);
    if (type <= 2) return "W, D, B, T, E or M, with or without a bit";
    if (type <= 5) return "L, F or D, without a bit";
    if (type == 6) return "W or B, with a bit";
    return "any letter";
}

std::string Now() {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t t = system_clock::to_time_t(now);
    auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    char text[40];
    const std::tm* local = std::localtime(&t);
    if (local == nullptr) return "?";
    std::strftime(text, sizeof text, "%H:%M:%S", local);
    char full[48];
    std::snprintf(full, sizeof full, "%s.%03d", text, static_cast<int>(ms));
    return full;
}

// A read's elements as lines "W01A2F3  4660 (0x1234)".
void SayValues(Report& report, const Point& point, const std::vector<Slot>& slots, const std::string& prefix) {
    for (std::size_t i = 0; i < slots.size(); ++i) {
        Point element = Element(point, i);
        report.Say(prefix + PointText(element) + "  " + FormatValue(element, DecodeSlot(element, slots[i])));
    }
}

void PointJson(nlohmann::json& data, const Point& point) {
    data["point"] = PointText(point);
    data["typeLetter"] = std::string(1, point.letter);
    data["pointAddress"] = Hex6(point.address);
    if (point.HasBit()) {
        data["bitNumber"] = point.bitNumber;
    } else {
        data["bitNumber"] = nullptr;
    }
}

} // namespace

Point Element(const Point& first, std::size_t i) {
    Point p = first;
    p.address = (first.address + static_cast<std::int32_t>(i) * BytesPerElement(first.letter)) & 0xFFFFFF;
    return p;
}

nlohmann::json ValuesJson(const Point& point, const std::vector<Slot>& slots) {
    nlohmann::json values = nlohmann::json::array();
    for (std::size_t i = 0; i < slots.size(); ++i) {
        Value v = DecodeSlot(point, slots[i]);
        switch (v.kind) {
        case Value::Signed:
            values.push_back(static_cast<std::int32_t>(v.unsignedValue));
            break;
        case Value::Float:
            values.push_back(v.floatValue);
            break;
        case Value::Time:
            values.push_back(v.timeValue);
            break;
        default:
            values.push_back(v.unsignedValue);
            break;
        }
    }
    return values;
}

std::string RefusalReason(const AddressCheck& check, std::int32_t hostDataType, bool syntaxOnly) {
    if (syntaxOnly && hostDataType == 7) return "CheckAddressSyntax takes any host data type but 7";
    char letter = static_cast<char>(check.block.TypeLetter);
    if (check.block.TypeLetter <= 0 || check.block.PointAddress < 0) {
        return "not a point address (a type letter of BDEFLMTW, six hex digits, an optional hex bit digit)";
    }
    std::string bit = check.block.BitNumber == NoBit ? "without a bit"
                                                     : "with bit " + std::to_string(check.block.BitNumber);
    return std::string("letter ") + letter + " " + bit + " does not fit host data type " +
           std::to_string(hostDataType) + " (it takes " + LettersFor(hostDataType) + ")";
}

std::optional<Point> LookUpPoint(DriverClient& client, Report& report, const std::string& subject,
                                 const std::string& text, int* status) {
    AddressCheck check = client.CheckAddress(text, 7, false);
    if (check.result != 0) {
        *status = report.Fail(subject, Request::CheckAddress, check.result,
                              ResultMeaning(Request::CheckAddress, check.result) + ": " +
                                  RefusalReason(check, 7, false));
        return std::nullopt;
    }
    Point p;
    p.letter = static_cast<char>(check.block.TypeLetter);
    p.address = check.block.PointAddress;
    p.bitNumber = check.block.BitNumber;
    return p;
}

int RunInfo(DriverClient& client, Report& report) {
    DriverInfo info{};
    std::int32_t rc = client.GetInfo(info).code;
    if (rc != 0) return report.Fail("info", Request::GetInfo, rc);
    std::string name = info.DeviceName ? info.DeviceName : "";
    std::string banner = Cp437ToUtf8(info.Banner);
    char version[16];
    std::snprintf(version, sizeof version, "%d.%d", static_cast<int>(info.Version / 10),
                  static_cast<int>(info.Version % 10));

    nlohmann::json& data = report.Data();
    data["version"] = info.Version;
    data["versionText"] = version;
    data["deviceName"] = name;
    data["banner"] = banner;
    data["contextSize"] = info.ContextSize;
    data["hostValueA"] = info.HostValueA;
    data["hostValueB"] = info.HostValueB;
    data["defaultLine"] = {{"baud", info.DefaultBaudRate},         {"dataBits", info.DefaultByteSize},
                           {"stopBitsCode", info.DefaultStopBits}, {"stopBits", StopBitsName(info.DefaultStopBits)},
                           {"parityCode", info.DefaultParity},     {"parity", ParityName(info.DefaultParity)}};

    report.Say(name + ", driver version " + version);
    report.Say("  channel context  " + std::to_string(info.ContextSize) + " bytes");
    report.Say("  host values      A " + std::to_string(info.HostValueA) + ", B " + std::to_string(info.HostValueB));
    report.Say("  default line     " + std::to_string(info.DefaultBaudRate) + " baud, " +
               std::to_string(info.DefaultByteSize) + " data bits, parity " + ParityName(info.DefaultParity) + ", " +
               StopBitsName(info.DefaultStopBits) + " stop bit(s)");
    report.Say(banner);
    return 0;
}

int RunCheck(DriverClient& client, Report& report, const Options& options) {
    Request request = options.syntaxOnly ? Request::CheckAddressSyntax : Request::CheckAddress;
    AddressCheck check = client.CheckAddress(options.address, options.hostDataType, options.syntaxOnly);
    const AddressDefinition& b = check.block;
    std::string subject = "check " + options.address;

    nlohmann::json& data = report.Data();
    data["address"] = options.address;
    data["request"] = RequestName(request);
    data["code"] = options.syntaxOnly ? CheckAddressSyntaxCode : CheckAddressCode;
    data["hostDataType"] = options.hostDataType;
    data["result"] = check.result;
    data["accepted"] = check.result == 0;
    if (b.TypeLetter > 0) data["typeLetter"] = std::string(1, static_cast<char>(b.TypeLetter));
    if (b.PointAddress >= 0) {
        data["pointAddress"] = Hex6(b.PointAddress);
        data["pointAddressValue"] = b.PointAddress;
    }
    if (b.BitNumber >= 0) {
        if (b.BitNumber == NoBit) {
            data["bitNumber"] = nullptr;
        } else {
            data["bitNumber"] = b.BitNumber;
        }
    }
    if (b.ElementLength >= 0) data["elementLength"] = b.ElementLength;

    if (check.result != 0) {
        std::string reason = RefusalReason(check, options.hostDataType, options.syntaxOnly);
        data["reason"] = reason;
        return report.Fail(subject, request, check.result, ResultMeaning(request, check.result) + ": " + reason);
    }
    report.Say(options.address + ": accepted by " + RequestName(request) + " (host data type " +
               std::to_string(options.hostDataType) + ")");
    report.Say(std::string("  type letter     ") + static_cast<char>(b.TypeLetter) + " (" +
               std::to_string(b.TypeLetter) + ")");
    report.Say("  panel address   " + Hex6(b.PointAddress) + " (" + std::to_string(b.PointAddress) + ")");
    report.Say("  bit number      " + (b.BitNumber == NoBit ? std::string("none (255)") : std::to_string(b.BitNumber)));
    report.Say("  element length  " + std::to_string(b.ElementLength));
    return 0;
}

// A count that one request cannot carry, refused before the port is opened.
static int RefuseOverLimit(Report& report, const std::string& subject, const Point& point, const char* request) {
    return report.FailTool(subject + ": at most " + std::to_string(MaxElements(point)) + " " + point.letter +
                               " elements fit one " + request,
                           ExitUsage);
}

int RunRead(DriverClient& client, Report& report, const Options& options) {
    std::string subject = "read " + options.address;
    int status = 0;
    std::optional<Point> point = LookUpPoint(client, report, subject, options.address, &status);
    if (!point) return status;
    if (options.count > MaxElements(*point)) return RefuseOverLimit(report, subject, *point, "read");
    PointJson(report.Data(), *point);
    report.Data()["count"] = options.count;

    PanelSession session(client, report, options);
    if ((status = session.Open(subject)) != 0) return status;
    std::vector<Slot> slots(static_cast<std::size_t>(options.count));
    zulclient::Result read = client.BlockRead(*point, slots);
    if (!read.Ok()) return report.Fail(subject, Request::BlockRead, read.code);
    report.Data()["values"] = ValuesJson(*point, slots);
    SayValues(report, *point, slots, "");
    return session.Close(subject);
}

int RunWrite(DriverClient& client, Report& report, const Options& options) {
    std::string subject = "write " + options.address;
    int status = 0;
    std::optional<Point> point = LookUpPoint(client, report, subject, options.address, &status);
    if (!point) return status;
    if (zulclient::MergedWrite(*point) && options.values.size() != 1) {
        return report.FailTool(subject + ": a bit or nibble write takes exactly one value", ExitUsage);
    }
    if (static_cast<int>(options.values.size()) > MaxElements(*point)) {
        return RefuseOverLimit(report, subject, *point, "write");
    }
    std::vector<Slot> slots;
    for (const std::string& text : options.values) {
        Encoded e = EncodeValue(*point, text);
        if (!e.slot) return report.FailTool(subject + ": " + e.error, ExitUsage);
        slots.push_back(*e.slot);
    }
    PointJson(report.Data(), *point);
    report.Data()["count"] = slots.size();
    report.Data()["values"] = ValuesJson(*point, slots);

    PanelSession session(client, report, options);
    if ((status = session.Open(subject)) != 0) return status;
    zulclient::Result written = client.BlockWrite(*point, slots);
    if (!written.Ok()) return report.Fail(subject, Request::BlockWrite, written.code);
    SayValues(report, *point, slots, "wrote ");
    return session.Close(subject);
}

int RunPoll(DriverClient& client, Report& report, LogCapture& log, const Options& options) {
    std::string subject = "poll " + options.address;
    int status = 0;
    std::optional<Point> point = LookUpPoint(client, report, subject, options.address, &status);
    if (!point) return status;
    if (options.count > MaxElements(*point)) return RefuseOverLimit(report, subject, *point, "read");
    PointJson(report.Data(), *point);
    report.Data()["count"] = options.count;
    report.Data()["intervalMs"] = options.intervalMs;

    PanelSession session(client, report, options);
    if ((status = session.Open(subject)) != 0) return status;
    interrupted = 0;
    auto previous = std::signal(SIGINT, OnInterrupt);
    int samples = 0, failures = 0, firstFailure = 0;
    std::vector<Slot> slots(static_cast<std::size_t>(options.count));
    // Samples start every interval (at once when a read took longer).
    auto next = std::chrono::steady_clock::now();
    while (!interrupted && (options.times == 0 || samples < options.times)) {
        while (!interrupted && std::chrono::steady_clock::now() < next) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (interrupted) break;
        next = std::max(next + std::chrono::milliseconds(options.intervalMs), std::chrono::steady_clock::now());
        ++samples;
        std::string at = Now();
        std::size_t mark = log.Mark();
        std::int32_t rc = client.BlockRead(*point, slots).code;
        nlohmann::json sample = {{"sample", samples}, {"time", at}, {"result", rc}};
        if (rc == 0) {
            sample["values"] = ValuesJson(*point, slots);
            SayValues(report, *point, slots, "#" + std::to_string(samples) + " " + at + "  ");
        } else {
            ++failures;
            if (firstFailure == 0) firstFailure = ExitStatusFor(rc);
            std::string message = "#" + std::to_string(samples) + " " + at + "  BlockRead failed with " +
                                  std::to_string(rc) + ": " + ResultMeaning(Request::BlockRead, rc);
            sample["error"] = message;
            log.ShowAfterFailure(mark);
            std::fprintf(stderr, "%s: %s\n", subject.c_str(), message.c_str());
        }
        if (report.Json()) report.Stream(sample);
    }
    std::signal(SIGINT, previous);
    report.Data()["samples"] = samples;
    report.Data()["failedSamples"] = failures;
    report.Say(subject + ": " + std::to_string(samples) + " samples, " + std::to_string(failures) + " failed");
    status = session.Close(subject);
    if (status != 0) return status;
    if (firstFailure != 0) {
        report.Data()["exitStatus"] = firstFailure;
        return firstFailure;
    }
    return 0;
}

int RunStart(DriverClient& client, Report& report, const Options& options) {
    PanelSession session(client, report, options);
    int status = session.Open("start");
    if (status != 0) return status;
    std::string id = session.PanelId() ? PanelIdText(*session.PanelId()) : std::string("unknown");
    report.Say("start: ColdStart on " + session.PortName() + " succeeded; panel version identifier " + id +
               (session.Panel() ? " (built-in panel)" : ""));
    return session.Close("start");
}

} // namespace zulhost
