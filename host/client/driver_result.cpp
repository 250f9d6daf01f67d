#include "host/client/driver_result.h"

namespace zulclient {

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

Outcome OutcomeOf(Request request, std::int32_t code) {
    if (code == 0) return Outcome::Ok;
    if (code < 0) return Outcome::NoOperation;
    switch (request) {
    case Request::ColdStart:
    case Request::ClosePort:
        return Outcome::PortFailed;
    case Request::GetInfo:
    case Request::CheckAddress:
    case Request::CheckAddressSyntax:
        return Outcome::Refused;
    case Request::Handshake:
        return code == 1 ? Outcome::Refused : Outcome::NoAnswer;
    case Request::BlockRead:
    case Request::BlockWrite:
        return code == 1 ? Outcome::Refused : Outcome::NoAnswer;
    }
    return Outcome::NoAnswer;
}

std::string Meaning(Request request, std::int32_t code) {
    if (code < 0) return "the driver has no operation for this request";
    switch (request) {
    case Request::GetInfo:
        return "the driver refused the request";
    case Request::ColdStart:
        return code == 2 ? "the serial port could not be opened" : "the channel could not be started";
    case Request::Handshake:
        if (code == 1) return "the panel's version identifier is not one the driver accepts";
        if (code == 2) return "the panel did not acknowledge the wake-up, or no usable exchange";
        if (code == 3) return "the version reply had a wrong CRC";
        return "the panel answered the version request with status " + std::to_string(code);
    case Request::CheckAddress:
    case Request::CheckAddressSyntax:
        return "the address is refused";
    case Request::BlockRead:
        if (code == 1) return "the panel refused the request (NAK), or the driver cannot run it";
        if (code == 2) return "no usable exchange with the panel";
        break;
    case Request::BlockWrite:
        if (code == 1) return "the panel refused the write, or the driver cannot frame it";
        if (code == 2) return "no usable exchange with the panel";
        break;
    case Request::ClosePort:
        if (code == 2) return "the serial port could not be closed";
        break;
    }
    return "failure code " + std::to_string(code);
}

} // namespace zulclient
