// The get-info request of zultrk.dll as a Windows host sees it: every field
// of the answer byte for byte, the banner's frame, the static text pointers,
// and the request codes that have no operation. Prints the answer, then
// "N passed, M failed"; exits non-zero on any failure.
#include "tests/wine/host_check.h"

#include <string>
#include <vector>

namespace {

using namespace host;

constexpr std::int32_t GetInfoCode = 14;

// The channel context and the host's word must come back as they went in.
struct Request {
    unsigned char record[request::Size];
    unsigned char channel[context::Size];
    unsigned char block[info::Size];

    Request(std::int32_t code, unsigned char fill) {
        std::memset(channel, 0xA5, sizeof channel);
        std::memset(block, fill, sizeof block);
        std::memset(record, 0, sizeof record);
        PutPointer(record, request::Channel, channel);
        Put32(record, request::Code, static_cast<std::uint32_t>(code));
        Put32(record, request::ChannelNumber, 7);
        Put32(record, request::HostWord, 0x5AC3E1F0u);
        PutPointer(record, request::Params, block);
    }
    bool RecordUnchanged(std::int32_t code) const {
        return Get32(record, request::Code) == static_cast<std::uint32_t>(code) &&
               Get32(record, request::ChannelNumber) == 7 && Get32(record, request::HostWord) == 0x5AC3E1F0u &&
               GetText(record, request::Params) == reinterpret_cast<const char*>(block) &&
               GetText(record, request::Channel) == reinterpret_cast<const char*>(channel);
    }
    bool ChannelUnchanged() const {
        for (unsigned char byte : channel)
            if (byte != 0xA5) return false;
        return true;
    }
};

bool InsideModule(const void* pointer, HMODULE module) {
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQuery(pointer, &region, sizeof region) == 0) return false;
    return region.AllocationBase == reinterpret_cast<void*>(module);
}

std::string Repeat(unsigned char byte, int count) { return std::string(count, static_cast<char>(byte)); }

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', start)) {
        lines.push_back(text.substr(start, at - start));
        start = at + 1;
    }
    if (start < text.size()) lines.push_back(text.substr(start)); // an unterminated tail
    return lines;
}

void CheckBanner(Checks& checks, const char* banner) {
    const std::string text(banner);
    checks.ExpectEq32(static_cast<std::uint32_t>(text.size()), 337, "banner length");
    if (!checks.Expect(!text.empty() && text[0] == '\n', "banner does not begin with a line feed")) return;
    checks.Expect(text.back() == '\n', "banner's last line is not ended by a line feed");

    std::vector<std::string> lines = SplitLines(text.substr(1));
    if (!checks.Expect(lines.size() == 6, "banner has %u lines after its first line feed, expected 6",
                       static_cast<unsigned>(lines.size())))
        return;
    const std::size_t widths[6] = {62, 62, 62, 20, 62, 62};
    for (int i = 0; i < 6; ++i)
        checks.Expect(lines[i].size() == widths[i], "banner line %d is %u characters wide, expected %u", i + 1,
                      static_cast<unsigned>(lines[i].size()), static_cast<unsigned>(widths[i]));

    const unsigned char vertical = 0xB3;
    checks.Expect(lines[0] == Repeat(0xDA, 1) + Repeat(0xC4, 60) + Repeat(0xBF, 1),
                  "banner top border is not DA, sixty C4, BF");
    const std::string ramp = Repeat(0xDB, 5) + Repeat(0xB2, 6) + Repeat(0xB1, 6) + Repeat(0xB0, 5);
    const std::string mirrored = Repeat(0xB0, 5) + Repeat(0xB1, 6) + Repeat(0xB2, 6) + Repeat(0xDB, 5);
    checks.Expect(lines[1] ==
                      Repeat(vertical, 1) + " " + ramp + " Z U L T R K " + mirrored + "  " + Repeat(vertical, 1),
                  "banner title line differs");
    checks.Expect(lines[2] == Repeat(vertical, 1) + std::string(16, ' ') + "Trane Tracker panel protocol" +
                                  std::string(16, ' ') + Repeat(vertical, 1),
                  "banner device line differs");
    checks.Expect(lines[3] == Repeat(vertical, 1) + std::string(15, '\t') + "   " + Repeat(vertical, 1),
                  "banner spacer line is not B3, fifteen tabs, three spaces, B3");

    // Notice line: B3, six spaces, the notice, " - Version 7.0", spaces, B3.
    const std::string& notice = lines[4];
    const std::string version = " - Version 7.0";
    std::size_t at = notice.find(version);
    checks.Expect(notice.size() == 62 && static_cast<unsigned char>(notice.front()) == vertical &&
                      static_cast<unsigned char>(notice.back()) == vertical,
                  "banner notice line is not framed by B3");
    checks.Expect(notice.compare(0, 7, Repeat(vertical, 1) + std::string(6, ' ')) == 0 && notice.size() > 7 &&
                      notice[7] != ' ',
                  "banner notice does not start after exactly six spaces");
    if (checks.Expect(at != std::string::npos, "banner notice line lacks \"%s\"", version.c_str())) {
        std::size_t noticeLength = at - 7;
        checks.Expect(noticeLength >= 1 && noticeLength <= 40, "banner notice is %u characters, expected 1 to 40",
                      static_cast<unsigned>(noticeLength));
        std::size_t tail = at + version.size();
        checks.Expect(tail <= 61 && notice.find_first_not_of(' ', tail) == 61,
                      "banner notice line is not padded with spaces after the version");
    }
    checks.Expect(lines[5] == Repeat(0xC0, 1) + Repeat(0xC4, 60) + Repeat(0xD9, 1),
                  "banner bottom border is not C0, sixty C4, D9");
}

// Code page 437 to UTF-8, for the characters the banner uses.
void PrintCp437(const char* text) {
    std::string out;
    for (const char* p = text; *p; ++p) {
        switch (static_cast<unsigned char>(*p)) {
        case 0xB0:
            out += "\u2591";
            break;
        case 0xB1:
            out += "\u2592";
            break;
        case 0xB2:
            out += "\u2593";
            break;
        case 0xB3:
            out += "\u2502";
            break;
        case 0xBF:
            out += "\u2510";
            break;
        case 0xC0:
            out += "\u2514";
            break;
        case 0xC4:
            out += "\u2500";
            break;
        case 0xD9:
            out += "\u2518";
            break;
        case 0xDA:
            out += "\u250C";
            break;
        case 0xDB:
            out += "\u2588";
            break;
        default:
            if (static_cast<unsigned char>(*p) >= 0x80)
                out += '?';
            else
                out += *p;
        }
    }
    std::fputs(out.c_str(), stdout);
}

void PrintAnswer(const unsigned char* block) {
    std::printf("get-info answer of zultrk.dll:\n");
    std::printf("  Version         %lu\n", static_cast<unsigned long>(Get32(block, info::Version)));
    std::printf("  DeviceName      \"%s\"\n", GetText(block, info::DeviceName));
    std::printf("  ContextSize     %lu\n", static_cast<unsigned long>(Get32(block, info::ContextSize)));
    std::printf("  HostValueA      %lu\n", static_cast<unsigned long>(Get32(block, info::HostValueA)));
    std::printf("  line defaults   %u baud, %u data bits, stop-bit code %u, parity code %u\n",
                Get16(block, info::BaudRate), Get16(block, info::ByteSize), Get16(block, info::StopBits),
                Get16(block, info::Parity));
    std::printf("  HostValueB      %lu\n", static_cast<unsigned long>(Get32(block, info::HostValueB)));
    std::printf("  Banner (%u bytes, shown from code page 437):",
                static_cast<unsigned>(std::strlen(GetText(block, info::Banner))));
    PrintCp437(GetText(block, info::Banner));
    std::fflush(stdout);
}

} // namespace

int main() {
    Checks checks;
    Driver driver;
    if (!driver.Load(checks)) return checks.Finish();

    // The export is reachable by ordinal 1 as well, and only undecorated.
    checks.Expect(GetProcAddress(driver.module, MAKEINTRESOURCEA(1)) == driver.zulMain, "ordinal 1 is not ZulMain");
    checks.Expect(GetProcAddress(driver.module, "ZulMain@4") == nullptr &&
                      GetProcAddress(driver.module, "_ZulMain@4") == nullptr,
                  "a decorated ZulMain is exported too");

    // Two fills: a field the driver left out or wrote only in part shows up
    // against one of them.
    const char* firstDeviceName = nullptr;
    const char* firstBanner = nullptr;
    const unsigned char fills[2] = {0xFF, 0x00};
    for (unsigned char fill : fills) {
        Request call(GetInfoCode, fill);
        std::int32_t result = driver.Call(checks, call.record, "get-info");
        checks.ExpectEq32(static_cast<std::uint32_t>(result), 0, "get-info result");
        const unsigned char* block = call.block;
        checks.ExpectEq32(Get32(block, info::Version), 70, "Version");
        checks.ExpectEq32(Get32(block, info::ContextSize), context::Size, "ContextSize");
        checks.ExpectEq32(Get32(block, info::HostValueA), 4, "HostValueA");
        checks.ExpectEq32(Get16(block, info::BaudRate), 9600, "DefaultBaudRate");
        checks.ExpectEq32(Get16(block, info::ByteSize), 8, "DefaultByteSize");
        checks.ExpectEq32(Get16(block, info::StopBits), 0, "DefaultStopBits");
        checks.ExpectEq32(Get16(block, info::Parity), 0, "DefaultParity");
        checks.ExpectEq32(Get32(block, info::HostValueB), 3, "HostValueB");
        const char* deviceName = GetText(block, info::DeviceName);
        const char* banner = GetText(block, info::Banner);
        bool namesInside = checks.Expect(InsideModule(deviceName, driver.module),
                                         "DeviceName does not point into zultrk.dll");
        bool bannerInside = checks.Expect(InsideModule(banner, driver.module), "Banner does not point into zultrk.dll");
        if (namesInside)
            checks.Expect(std::strcmp(deviceName, "Trane Tracker panel") == 0, "DeviceName is \"%s\"", deviceName);
        checks.Expect(call.ChannelUnchanged(), "get-info changed the channel context");
        checks.Expect(call.RecordUnchanged(GetInfoCode), "get-info changed the request record");

        if (firstDeviceName == nullptr) {
            firstDeviceName = deviceName;
            firstBanner = banner;
            if (bannerInside) CheckBanner(checks, banner);
            if (namesInside && bannerInside) PrintAnswer(block);
        } else {
            checks.Expect(deviceName == firstDeviceName, "a second get-info gave another DeviceName pointer");
            checks.Expect(banner == firstBanner, "a second get-info gave another Banner pointer");
        }
    }

    // Codes with no operation: a non-zero result and nothing touched.
    const std::int32_t emptyCodes[] = {0, 8, 9, 16, -1, 1000, 0x7FFFFFFF, static_cast<std::int32_t>(0x80000000u)};
    for (std::int32_t code : emptyCodes) {
        Request call(code, 0xFF);
        char what[40];
        std::snprintf(what, sizeof what, "code %ld", static_cast<long>(code));
        std::int32_t result = driver.Call(checks, call.record, what);
        checks.Expect(result != 0, "%s returned 0", what);
        bool untouched = true;
        for (unsigned char byte : call.block) untouched = untouched && byte == 0xFF;
        checks.Expect(untouched, "%s wrote into the parameter block", what);
        checks.Expect(call.ChannelUnchanged(), "%s changed the channel context", what);
        checks.Expect(call.RecordUnchanged(code), "%s changed the request record", what);
    }

    FreeLibrary(driver.module);
    return checks.Finish();
}
