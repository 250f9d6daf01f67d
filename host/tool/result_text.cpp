#include "host/tool/result_text.h"

namespace zulhost {

const char* RequestName(Request request) {
    switch (request) {
    case Request::GetInfo:
        return "GetInfo";
    case Request::ColdStart:
        return "ColdStart";
    case Request::Handshake:
        return "the panel handshake of ColdStart";
    case Request::CheckAddress:
        return "CheckAddress";
    case Request::CheckAddressSyntax:
        return "CheckAddressSyntax";
    case Request::BlockRead:
        return "BlockRead";
    case Request::BlockWrite:
        return "BlockWrite";
    case Request::ClosePort:
        return "ClosePort";
    }
    return "request";
}

std::string ResultMeaning(Request request, std::int32_t result) {
    if (result < 0) return "the driver has no operation for this request";
    switch (request) {
    case Request::GetInfo:
        return "the driver refused the request";
    case Request::ColdStart:
        return result == 2 ? "the serial port could not be opened" : "the channel could not be started";
    case Request::Handshake:
        if (result == 1) return "the panel's version identifier is not one the driver accepts";
        if (result == 2) return "the panel did not acknowledge the wake-up, or no usable exchange";
        if (result == 3) return "the version reply had a wrong CRC";
        return "the panel answered the version request with status " + std::to_string(result);
    case Request::CheckAddress:
    case Request::CheckAddressSyntax:
        return "the address is refused";
    case Request::BlockRead:
        if (result == 1) return "the panel refused the request (NAK), or the driver cannot run it";
        if (result == 2) return "no usable exchange with the panel";
        break;
    case Request::BlockWrite:
        if (result == 1) return "the panel refused the write, or the driver cannot frame it";
        if (result == 2) return "no usable exchange with the panel";
        break;
    case Request::ClosePort:
        if (result == 2) return "the serial port could not be closed";
        break;
    }
    return "failure code " + std::to_string(result);
}

int ExitStatusFor(std::int32_t result) { return result >= 1 && result <= 255 ? static_cast<int>(result) : 1; }

} // namespace zulhost
