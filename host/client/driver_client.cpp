#include "host/client/driver_client.h"

#include <cstdio>
#include <cstring>

#include "host/client/driver_log.h"
#include "platform/line_time.h"

namespace zulclient {

std::string PointText(const Point& point) {
    char text[16];
    if (point.HasBit()) {
        std::snprintf(text, sizeof text, "%c%06X%X", point.letter, static_cast<unsigned>(point.address),
                      static_cast<unsigned>(point.bitNumber));
    } else {
        std::snprintf(text, sizeof text, "%c%06X", point.letter, static_cast<unsigned>(point.address));
    }
    return text;
}

std::chrono::nanoseconds LineTime(const LineSettings& line, std::uint64_t characters) {
    return ::LineTime(CharacterFormat{line.baudRate, line.dataBits, line.stopBitsCode, line.parityCode}, characters);
}

const TypeLetterInfo& Point::Type() const {
    static constexpr TypeLetterInfo Unknown{'?', 2,    1, ValueKind::Unsigned, SlotPart::Half, 0, 0, WriteRule::None,
                                            0,   false};
    const TypeLetterInfo* type = FindTypeLetter(static_cast<unsigned char>(letter));
    return type ? *type : Unknown;
}

std::int32_t DriverClient::Call(std::int32_t code, void* params) {
    DriverRequest request{};
    request.Channel = &context_;
    request.Code = code;
    request.ChannelNumber = channelNumber_;
    request.Params = params;
    return entry_(&request);
}

Result DriverClient::Run(Request request, std::int32_t code, void* params) {
    CallLines lines;
    Result result;
    result.request = request;
    result.code = Call(code, params);
    result.outcome = OutcomeOf(request, result.code);
    result.lines = lines.Take();
    result.portFailed = PortFailureIn(result.lines);
    return result;
}

Result DriverClient::GetInfo(DriverInfo& info) {
    info = DriverInfo{};
    return Run(Request::GetInfo, GetInfoCode, &info);
}

StartResult DriverClient::ColdStart(const std::string& portName, const LineSettings& line) {
    ColdStartParams params{};
    std::strncpy(params.PortName, portName.c_str(), sizeof params.PortName - 1);
    params.ActiveFlag = 1;
    params.ResponseTimeout = line.timeout;
    params.BaudRate = line.baudRate;
    params.ByteSize = line.dataBits;
    params.StopBits = line.stopBitsCode;
    params.Parity = line.parityCode;
    StartResult start;
    static_cast<Result&>(start) = Run(Request::ColdStart, ColdStartCode, &params);
    if (start.PortOpened()) {
        start.handshakeFailure = HandshakeFailureIn(start.lines);
        start.panelId = PanelIdIn(start.lines);
    }
    return start;
}

Result DriverClient::ClosePort() { return Run(Request::ClosePort, ClosePortCode, nullptr); }

AddressCheck DriverClient::CheckAddress(const std::string& text, std::int32_t hostDataType, bool syntaxOnly) {
    AddressCheck check;
    check.block.AddressText = text.c_str();
    check.block.HostDataType = hostDataType;
    // Markers that show which fields the driver wrote.
    check.block.TypeLetter = -1;
    check.block.PointAddress = -1;
    check.block.BitNumber = -1;
    check.block.ElementLength = -1;
    check.result = Call(syntaxOnly ? CheckAddressSyntaxCode : CheckAddressCode, &check.block);
    check.block.AddressText = nullptr; // text belongs to the caller
    return check;
}

std::optional<Point> DriverClient::PointOf(const std::string& text) {
    AddressCheck c = CheckAddress(text, 7, false);
    if (c.result != 0) return std::nullopt;
    Point p;
    p.letter = static_cast<char>(c.block.TypeLetter);
    p.address = c.block.PointAddress;
    p.bitNumber = c.block.BitNumber;
    return p;
}

PointRequest DriverClient::MakePointRequest(const Point& point, std::size_t count, void* slots) {
    PointRequest request{};
    request.TypeLetter = static_cast<unsigned char>(point.letter);
    request.PointAddress = point.address;
    request.BitNumber = point.bitNumber;
    request.ElementLength = 32; // what CheckAddress reports; used for no letter the tool sends
    request.ElementCount = static_cast<std::int32_t>(count);
    request.ValueBuffer = slots;
    return request;
}

Result DriverClient::BlockRead(const Point& point, std::vector<Slot>& slots) {
    for (Slot& slot : slots) slot.fill(0);
    PointRequest request = MakePointRequest(point, slots.size(), slots.data());
    return Run(Request::BlockRead, BlockReadCode, &request);
}

Result DriverClient::BlockWrite(const Point& point, const std::vector<Slot>& slots) {
    std::vector<Slot> copy = slots; // the host's buffer; the driver only reads it
    PointRequest request = MakePointRequest(point, copy.size(), copy.data());
    return Run(Request::BlockWrite, BlockWriteCode, &request);
}

} // namespace zulclient
