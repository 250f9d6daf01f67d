#include "host/tool/demo.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "host/tool/commands.h"
#include "host/tool/panel_session.h"
#include "host/tool/value_format.h"

namespace zulhost {
namespace {

struct CheckCase {
    const char* text;
    std::int32_t hostDataType;
    bool syntaxOnly;
    bool accepted;
    char letter; // expected when accepted
    std::int32_t address;
    std::int32_t bitNumber;
};

const CheckCase CheckCases[] = {
    {"b0040027", 6, false, true, 'B', 0x004002, 7},
    {"D123456", 0, false, true, 'D', 0x123456, NoBit},
    {"E002000", 0, false, true, 'E', 0x002000, NoBit},
    {"F003000", 3, false, true, 'F', 0x003000, NoBit},
    {"L10000A", 3, false, true, 'L', 0x10000A, NoBit},
    {"M002000", 1, false, true, 'M', 0x002000, NoBit},
    {"T000100", 2, false, true, 'T', 0x000100, NoBit},
    {"W01A2F3", 7, false, true, 'W', 0x01A2F3, NoBit},
    {"W01A2F3", 6, false, false, 0, 0, 0},            // type 6 wants a bit
    {"L10000A1", 3, false, false, 0, 0, 0},           // type 3 refuses a bit
    {"X000000", 7, false, false, 0, 0, 0},            // no such letter
    {"W01A2F3", 3, true, true, 'W', 0x01A2F3, NoBit}, // syntax only: no type check
};

struct WriteCase {
    const char* address;
    std::vector<const char*> values;
    std::vector<std::uint8_t> memory; // the built-in panel's bytes afterwards
    const char* note;
};

// In order: the nibble writes merge into the byte the one before left.
const std::vector<WriteCase>& WriteCases() {
    static const std::vector<WriteCase> cases = {
        {"B004001", {"90"}, {0x5A}, "byte"},
        {"E002000", {"7"}, {0xA7}, "low nibble of A3"},
        {"M002000", {"5"}, {0x57}, "high nibble of A7"},
        {"T000100", {"0xBEEF"}, {0xEF, 0xBE}, "word"},
        {"W01A2F3", {"0xCAFE", "66"}, {0xFE, 0xCA, 0x42, 0x00}, "two words"},
        {"L10000A", {"0x89ABCDEF"}, {0xEF, 0xCD, 0xAB, 0x89}, "long"},
        {"F003000", {"12345"}, {0x00, 0xE4, 0x40, 0x46}, "float: reads back its first two bytes as a whole number"},
        {"B0040037", {"1"}, {0x88}, "bit 7 of 08"},
    };
    return cases;
}

// What a read returns after a write of this slot. Whole values come back as
// written; an F point is written as the host's 4-byte float but read as the
// whole number in its first two bytes.
Value ExpectedReadBack(const Point& point, const Slot& written) {
    if (point.Type().kind == ValueKind::Float) {
        Value v;
        v.kind = Value::Float;
        v.floatValue = static_cast<float>(written[0] | (written[1] << 8));
        return v;
    }
    return DecodeSlot(point, written);
}

bool SameValue(const Value& a, const Value& b) {
    if (a.kind != b.kind) return false;
    if (a.kind == Value::Float) return std::memcmp(&a.floatValue, &b.floatValue, sizeof a.floatValue) == 0;
    if (a.kind == Value::Time) return a.timeValue == b.timeValue;
    return a.unsignedValue == b.unsignedValue;
}

std::string HexBytes(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char hex[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(hex, sizeof hex, "%s%02X", text.empty() ? "" : " ", b);
        text += hex;
    }
    return text;
}

class Demo {
public:
    Demo(DriverClient& client, Report& report, const Options& options)
        : client_(client), report_(report), options_(options), session_(client, report, options) {}

    int Run();

private:
    void Step(const std::string& name, bool ok, const std::string& detail);
    void RequestFailed(const std::string& name, Request request, std::int32_t rc);
    void GetInfoStep();
    void CheckSteps();
    void WriteSteps();
    void DateStep();
    void PollStep();

    DriverClient& client_;
    Report& report_;
    const Options& options_;
    PanelSession session_;
    nlohmann::json steps_ = nlohmann::json::array();
    int passed_ = 0, failed_ = 0, mismatches_ = 0;
    int firstRequestFailure_ = 0;
    std::string firstFailedStep_;
    std::vector<Slot> pollExpected_;
    Point pollPoint_;
};

void Demo::Step(const std::string& name, bool ok, const std::string& detail) {
    (ok ? passed_ : failed_)++;
    if (!ok && firstFailedStep_.empty()) firstFailedStep_ = name;
    steps_.push_back({{"step", name}, {"ok", ok}, {"detail", detail}});
    report_.Say(std::string(ok ? "  ok    " : "  FAIL  ") + name + "  " + detail);
}

void Demo::RequestFailed(const std::string& name, Request request, std::int32_t rc) {
    int status = report_.Fail("demo " + name, request, rc);
    if (firstRequestFailure_ == 0) firstRequestFailure_ = status;
    Step(name, false,
         std::string(RequestName(request)) + " failed with " + std::to_string(rc) + ": " + ResultMeaning(request, rc));
}

void Demo::GetInfoStep() {
    DriverInfo info{};
    std::int32_t rc = client_.GetInfo(info).code;
    if (rc != 0) return RequestFailed("get-info", Request::GetInfo, rc);
    bool ok = info.DeviceName != nullptr && info.Banner != nullptr;
    char detail[160];
    std::snprintf(detail, sizeof detail, "%s, version %d.%d, defaults %u baud %u data bits",
                  info.DeviceName ? info.DeviceName : "(no name)", static_cast<int>(info.Version / 10),
                  static_cast<int>(info.Version % 10), static_cast<unsigned>(info.DefaultBaudRate),
                  static_cast<unsigned>(info.DefaultByteSize));
    Step("get-info", ok, detail);
}

void Demo::CheckSteps() {
    for (const CheckCase& c : CheckCases) {
        AddressCheck check = client_.CheckAddress(c.text, c.hostDataType, c.syntaxOnly);
        std::string name = std::string(c.syntaxOnly ? "check-syntax " : "check ") + c.text + " type " +
                           std::to_string(c.hostDataType);
        bool accepted = check.result == 0;
        bool ok = accepted == c.accepted;
        std::string detail;
        if (accepted) {
            Point p{static_cast<char>(check.block.TypeLetter), check.block.PointAddress, check.block.BitNumber};
            ok = ok && p.letter == c.letter && p.address == c.address && p.bitNumber == c.bitNumber;
            detail = "accepted as " + PointText(p);
        } else {
            detail = "refused: " + RefusalReason(check, c.hostDataType, c.syntaxOnly);
        }
        if (!ok) detail += c.accepted ? " (expected to be accepted)" : " (expected a refusal)";
        Step(name, ok, detail);
    }
}

void Demo::WriteSteps() {
    for (const WriteCase& w : WriteCases()) {
        std::string name = std::string("write+read ") + w.address;
        AddressCheck check = client_.CheckAddress(w.address, 7, false);
        if (check.result != 0) {
            RequestFailed(name, Request::CheckAddress, check.result);
            continue;
        }
        Point point{static_cast<char>(check.block.TypeLetter), check.block.PointAddress, check.block.BitNumber};
        std::vector<Slot> written;
        for (const char* text : w.values) written.push_back(*EncodeValue(point, text).slot);

        std::int32_t rc = client_.BlockWrite(point, written).code;
        if (rc != 0) {
            RequestFailed(name, Request::BlockWrite, rc);
            continue;
        }
        std::vector<Slot> read(written.size());
        rc = client_.BlockRead(point, read).code;
        if (rc != 0) {
            RequestFailed(name, Request::BlockRead, rc);
            continue;
        }
        bool match = true;
        std::string wrote, got;
        for (std::size_t i = 0; i < written.size(); ++i) {
            Point element = Element(point, i);
            Value expected = ExpectedReadBack(element, written[i]);
            Value actual = DecodeSlot(element, read[i]);
            match = match && SameValue(expected, actual);
            wrote += (i ? ", " : "") + FormatValue(element, DecodeSlot(element, written[i]));
            got += (i ? ", " : "") + FormatValue(element, actual);
            if (!SameValue(expected, actual)) got += " (expected " + FormatValue(element, expected) + ")";
        }
        std::string detail = "wrote " + wrote + ", read " + got + " [" + w.note + "]";
        if (const BuiltInPanel* panel = session_.Panel()) {
            std::vector<std::uint8_t> bytes = panel->Bytes(static_cast<std::uint32_t>(point.address), w.memory.size());
            bool same = bytes == w.memory;
            match = match && same;
            detail += "; panel memory " + HexBytes(bytes) + (same ? "" : " (expected " + HexBytes(w.memory) + ")");
        }
        if (!match) ++mismatches_;
        if (point.letter == 'W' && !point.HasBit()) {
            pollPoint_ = point;
            pollExpected_ = written;
        }
        Step(name, match, detail);
    }
}

void Demo::DateStep() {
    const char* name = "read D123456 x3";
    static const char* Dates[] = {"2000-01-01 00:00:00", "2024-06-15 00:00:00", "1977-01-01 00:00:00"};
    Point point{'D', 0x123456, NoBit};
    std::vector<Slot> slots(3);
    std::int32_t rc = client_.BlockRead(point, slots).code;
    if (rc != 0) return RequestFailed(name, Request::BlockRead, rc);
    bool match = true;
    std::string detail;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        std::string text = FormatTime(DecodeSlot(point, slots[i]).timeValue);
        // Only the built-in panel's dates are known beforehand.
        if (session_.Panel() && text != Dates[i]) {
            match = false;
            text += " (expected " + std::string(Dates[i]) + ")";
        }
        detail += (i ? ", " : "") + text;
    }
    if (!match) ++mismatches_;
    Step(name, match, detail + " (local midnight)");
}

void Demo::PollStep() {
    const char* name = "poll W01A2F3 x2, 3 samples";
    if (pollExpected_.empty()) return Step(name, false, "skipped: the W write before it did not succeed");
    bool match = true;
    std::string detail;
    std::vector<Slot> slots(pollExpected_.size());
    for (int sample = 0; sample < 3; ++sample) {
        if (sample > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::int32_t rc = client_.BlockRead(pollPoint_, slots).code;
        if (rc != 0) return RequestFailed(name, Request::BlockRead, rc);
        for (std::size_t i = 0; i < slots.size(); ++i) {
            match = match && SameValue(DecodeSlot(pollPoint_, slots[i]), DecodeSlot(pollPoint_, pollExpected_[i]));
        }
        detail += sample ? " | " : "";
        for (std::size_t i = 0; i < slots.size(); ++i) {
            detail += (i ? ", " : "") + std::to_string(DecodeSlot(pollPoint_, slots[i]).unsignedValue);
        }
    }
    if (!match) ++mismatches_;
    Step(name, match, detail + (match ? " (as written)" : " (differs from what was written)"));
}

int Demo::Run() {
    if (!options_.portName.empty() && !options_.allowPanelWrites) {
        return report_.FailTool("demo: the demo writes to fixed demonstration addresses; on the panel at " +
                                    options_.portName + " add --allow-panel-writes to let it",
                                ExitUsage);
    }
    GetInfoStep();
    int status = session_.Open("demo cold-start");
    if (status != 0) {
        if (firstRequestFailure_ == 0) firstRequestFailure_ = status;
        Step("cold-start", false,
             session_.PortName().empty() ? "no panel to talk to"
                                         : "no session with the panel on " + session_.PortName());
    } else {
        std::string id = session_.PanelId() ? PanelIdText(*session_.PanelId()) : std::string("unknown");
        Step("cold-start", true,
             "panel " + id + " on " + session_.PortName() + (session_.Panel() ? " (built-in panel)" : ""));
        CheckSteps();
        WriteSteps();
        DateStep();
        PollStep();
        status = session_.Close("demo close");
        if (status != 0 && firstRequestFailure_ == 0) firstRequestFailure_ = status;
        Step("close", status == 0, status == 0 ? "ClosePort" : "ClosePort failed");
    }

    int total = passed_ + failed_;
    std::string where = session_.Panel()              ? "the built-in panel"
                        : session_.PortName().empty() ? "no panel"
                                                      : session_.PortName();
    std::string summary;
    if (failed_ == 0) {
        summary = "demo: all " + std::to_string(total) + " steps passed on " + where + ", every read-back matched";
    } else {
        summary = "demo: " + std::to_string(failed_) + " of " + std::to_string(total) + " steps failed on " + where +
                  " (first: " + firstFailedStep_ + ")";
    }
    report_.Say(summary);
    nlohmann::json& data = report_.Data();
    data["steps"] = steps_;
    data["passed"] = passed_;
    data["failed"] = failed_;
    data["mismatches"] = mismatches_;
    data["summary"] = summary;
    if (firstRequestFailure_ != 0) return firstRequestFailure_;
    if (failed_ != 0) {
        return report_.FailTool("demo: " + std::to_string(mismatches_) + " read-back(s) differed, " +
                                    std::to_string(failed_) + " step(s) failed",
                                ExitMismatch);
    }
    return 0;
}

} // namespace

int RunDemo(DriverClient& client, Report& report, const Options& options) {
    Demo demo(client, report, options);
    return demo.Run();
}

} // namespace zulhost
