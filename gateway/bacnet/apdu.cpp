#include "gateway/bacnet/apdu.h"

#include <algorithm>
#include <initializer_list>

namespace zulgate::bacnet {
namespace {

constexpr std::uint8_t SegmentedMessage = 0x08;
constexpr std::uint8_t SentByServer = 0x01;

std::uint8_t Type(PduType type) { return static_cast<std::uint8_t>(static_cast<std::uint8_t>(type) << 4); }

// A header's few octets and what follows them. Sized once and copied into:
// GCC 12 at -O2 and above warns, wrongly, of an insert after a braced
// initialisation (-Warray-bounds), which would stop a Release build.
Bytes Joined(std::initializer_list<std::uint8_t> header, const Bytes& rest) {
    Bytes out(header.size() + rest.size());
    std::copy(rest.begin(), rest.end(), std::copy(header.begin(), header.end(), out.begin()));
    return out;
}

} // namespace

bool ParseRequest(const std::uint8_t* apdu, std::size_t size, Request& request) {
    request = Request{};
    if (size < 2) return false;
    request.type = static_cast<PduType>(apdu[0] >> 4);
    if (request.type == PduType::UnconfirmedRequest) {
        request.service = apdu[1];
        request.body = apdu + 2;
        request.bodySize = size - 2;
        return true;
    }
    if (request.type != PduType::ConfirmedRequest || size < 4) return false;
    request.segmented = (apdu[0] & SegmentedMessage) != 0;
    std::uint8_t code = apdu[1] & 0x0F;
    // A reserved size code promises nothing beyond what every device takes.
    request.maxApdu = code < std::size(MaxApduOfCode) ? MaxApduOfCode[code] : MaxApduOfCode[0];
    request.invokeId = apdu[2];
    std::size_t at = 3;
    if (request.segmented) at += 2; // sequence number and proposed window size
    if (size <= at) return true;    // segmented and cut short: answered with an abort all the same
    request.service = apdu[at];
    request.body = apdu + at + 1;
    request.bodySize = size - at - 1;
    return true;
}

Bytes EncodeAnswer(const Answer& answer, std::uint8_t invokeId, std::uint8_t service) {
    Bytes out;
    switch (answer.kind) {
    case Answer::Kind::SimpleAck:
        out = {Type(PduType::SimpleAck), invokeId, service};
        break;
    case Answer::Kind::ComplexAck:
        out = Joined({Type(PduType::ComplexAck), invokeId, service}, answer.data);
        break;
    case Answer::Kind::Error: {
        out = {Type(PduType::Error), invokeId, service};
        Writer w(out);
        w.Enumerated(static_cast<std::uint32_t>(answer.error.errorClass));
        w.Enumerated(static_cast<std::uint32_t>(answer.error.code));
        break;
    }
    case Answer::Kind::Reject:
        out = {Type(PduType::Reject), invokeId, static_cast<std::uint8_t>(answer.reject)};
        break;
    case Answer::Kind::Abort:
    case Answer::Kind::Later:
        out = {static_cast<std::uint8_t>(Type(PduType::Abort) | SentByServer), invokeId,
               static_cast<std::uint8_t>(answer.abort)};
        break;
    }
    return out;
}

Bytes EncodeUnconfirmed(UnconfirmedService service, const Bytes& parameters) {
    return Joined({Type(PduType::UnconfirmedRequest), static_cast<std::uint8_t>(service)}, parameters);
}

} // namespace zulgate::bacnet
