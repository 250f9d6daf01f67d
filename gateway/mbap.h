// Modbus TCP frames as their MBAP header delimits them: a transaction
// identifier, a protocol identifier (0 for Modbus), a length (of the unit
// identifier and the PDU), the unit identifier, then the PDU. A server that
// sized a request by its function code instead (as libmodbus's receive
// does) could be made to run a second PDU hidden behind the first, which a
// firewall that reads frames by their length would never see; so frames
// are read here, and one that contradicts its header is refused whole.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace zulgate {

constexpr int MbapHeaderBytes = 7; // with the unit identifier
constexpr int MaxPduBytes = 253;
constexpr int MaxAduBytes = MbapHeaderBytes + MaxPduBytes;

struct MbapFrame {
    std::array<std::uint8_t, MaxAduBytes> bytes{};
    int length = 0; // header and PDU
    int Unit() const { return bytes[6]; }
    int Function() const { return bytes[7]; }
    const std::uint8_t* Pdu() const { return bytes.data() + MbapHeaderBytes; }
    int PduLength() const { return length - MbapHeaderBytes; }
};

enum class FrameRead {
    Frame,   // one whole frame
    Closed,  // the client closed the connection (or it was shut down)
    Idle,    // no frame began within the idle time
    Refused, // not a frame to serve: the connection is to be closed
};

// Reads one frame from a connected socket: its first byte within `idle`,
// the rest within `rest` of it. Refused (with why) when the protocol
// identifier is not 0 or the length cannot hold a PDU.
FrameRead ReadMbapFrame(int fd, std::chrono::milliseconds idle, std::chrono::milliseconds rest, MbapFrame& frame,
                        std::string& why);

// For a function the gateway serves, why its PDU's length is not the one
// its fields give (reads and single writes 5 bytes, multiple writes 6 and
// their byte count); nothing when it is, or for other functions.
std::optional<std::string> PduLengthMismatch(const MbapFrame& frame);

// An exception answer to the frame, its function code as given when its
// high bit is set already (0x80 and up), else with it set.
std::array<std::uint8_t, MbapHeaderBytes + 2> ExceptionAnswer(const MbapFrame& request, std::uint8_t code);

} // namespace zulgate
