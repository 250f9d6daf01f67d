// The application layer's PDUs: a request's header taken apart, and the
// answers to a confirmed request (SimpleACK, ComplexACK, Error, Reject,
// Abort) and unconfirmed requests put together.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gateway/bacnet/encoding.h"

namespace zulgate::bacnet {

struct Request {
    PduType type = PduType::UnconfirmedRequest;
    bool segmented = false;     // confirmed: a segment of a longer request
    std::uint8_t invokeId = 0;  // confirmed
    std::uint16_t maxApdu = 50; // confirmed: the longest answer the asker takes, in octets
    std::uint8_t service = 0;
    const std::uint8_t* body = nullptr; // the service's parameters
    std::size_t bodySize = 0;
};

// False for what is no request (too short, an answer, an unknown type).
bool ParseRequest(const std::uint8_t* apdu, std::size_t size, Request& request);

// What a confirmed service answers.
struct Answer {
    enum class Kind { SimpleAck, ComplexAck, Error, Reject, Abort, Later };
    Kind kind = Kind::SimpleAck;
    Bytes data; // a ComplexACK's parameters
    Error error{ErrorClass::Device, ErrorCode::Other};
    RejectReason reject = RejectReason::Other;
    AbortReason abort = AbortReason::Other;

    static Answer Ack() { return {}; }
    static Answer Complex(Bytes data) {
        Answer a;
        a.kind = Kind::ComplexAck;
        a.data = std::move(data);
        return a;
    }
    static Answer Fail(Error error) {
        Answer a;
        a.kind = Kind::Error;
        a.error = error;
        return a;
    }
    static Answer Refuse(RejectReason reason) {
        Answer a;
        a.kind = Kind::Reject;
        a.reject = reason;
        return a;
    }
    static Answer Stop(AbortReason reason) {
        Answer a;
        a.kind = Kind::Abort;
        a.abort = reason;
        return a;
    }
    static Answer Pending() {
        Answer a;
        a.kind = Kind::Later;
        return a;
    }
};

// The APDU of an answer (not Later) to request `invokeId` of `service`.
Bytes EncodeAnswer(const Answer& answer, std::uint8_t invokeId, std::uint8_t service);
Bytes EncodeUnconfirmed(UnconfirmedService service, const Bytes& parameters);

} // namespace zulgate::bacnet
