// The driver's numbers in the host's words: each request's result mapped
// once to an outcome, with the words that say what it means. Every host
// here (zulhost, zulgate, the benchmarks) reads results through this.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zulclient {

enum class Request {
    GetInfo,
    ColdStart,
    Handshake, // the panel handshake that ColdStart runs
    CheckAddress,
    CheckAddressSyntax,
    BlockRead,
    BlockWrite,
    ClosePort,
};
const char* RequestName(Request request); // "BlockRead", ...

enum class Outcome {
    Ok,
    Refused,     // the panel or the driver refused it (a NAK, an address, a request it cannot run)
    NoAnswer,    // no usable exchange with the panel
    PortFailed,  // the port could not be opened or closed
    NoOperation, // the driver has no operation for the request code
};

Outcome OutcomeOf(Request request, std::int32_t code);
// A non-zero result in a few words, for a one-line failure message.
std::string Meaning(Request request, std::int32_t code);

// One line the driver logged through the host library.
struct DriverLine {
    int level = 0;
    std::string text;
};

// What one request came to.
struct Result {
    Request request = Request::GetInfo;
    std::int32_t code = 0; // the driver's number, unchanged
    Outcome outcome = Outcome::Ok;
    std::vector<DriverLine> lines; // what the driver logged during the call
    // The port refused a read or a write under the request (a device that
    // vanished, a device server's connection that dropped), as the driver's
    // log says; not a panel that merely did not answer.
    bool portFailed = false;

    bool Ok() const { return outcome == Outcome::Ok; }
    std::string Meaning() const { return zulclient::Meaning(request, code); }
};

// A cold start: the port opened (code 0) whatever the panel did; the
// handshake's result and the panel's identifier the driver says only in
// its log, and are read from there here.
struct StartResult : Result {
    std::optional<std::int32_t> handshakeFailure; // the handshake's non-zero result
    std::optional<unsigned> panelId;              // the identifier the panel gave

    bool PortOpened() const { return Ok(); }
    bool Started() const { return Ok() && !handshakeFailure; }
};

} // namespace zulclient
