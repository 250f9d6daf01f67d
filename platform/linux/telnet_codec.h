// Telnet (RFC 854) as a serial device server speaks it, with binary
// transmission (RFC 856) and the COM-PORT-CONTROL option (RFC 2217): the
// receive side turns what the server sends into the line's data bytes, the
// answers the server's negotiation calls for, and what the server reports
// of its port; the send side doubles IAC in data and builds the commands.
// Pure: no I/O, no allocation, bounded state, so it can be fuzzed alone.
#pragma once

#include <cstddef>
#include <cstdint>

namespace telnet {

constexpr std::uint8_t IAC = 255;
constexpr std::uint8_t DONT = 254;
constexpr std::uint8_t DO = 253;
constexpr std::uint8_t WONT = 252;
constexpr std::uint8_t WILL = 251;
constexpr std::uint8_t SB = 250;
constexpr std::uint8_t SE = 240;

constexpr std::uint8_t OptionBinary = 0;
constexpr std::uint8_t OptionSuppressGoAhead = 3;
constexpr std::uint8_t OptionComPort = 44;

// COM-PORT-CONTROL commands, client to server; the server's answer to each
// is the same code plus ServerOffset.
enum ComPortCommand : std::uint8_t {
    SetBaudRate = 1,
    SetDataSize = 2,
    SetParity = 3,
    SetStopSize = 4,
    SetControl = 5,
    NotifyLineState = 6,
    NotifyModemState = 7,
    PurgeData = 12,
};
constexpr std::uint8_t ServerOffset = 100;
constexpr std::uint8_t ComPortCommands = 13; // codes 0..12

// Values of SetParity, SetStopSize, SetControl and PurgeData.
constexpr std::uint8_t ParityNone = 1, ParityOdd = 2, ParityEven = 3, ParityMark = 4, ParitySpace = 5;
constexpr std::uint8_t StopOne = 1, StopTwo = 2, StopOneAndHalf = 3;
constexpr std::uint8_t ControlNoFlow = 1, ControlDtrOn = 8, ControlDtrOff = 9, ControlRtsOn = 11, ControlRtsOff = 12,
                       ControlInboundNoFlow = 14;
constexpr std::uint8_t PurgeReceiveBuffer = 1; // what the server has received from the line

// One side's state of an option we want: off, asked for, on.
enum class OptionState : std::uint8_t { No, Asked, Yes };

// What the server has answered or reported through COM-PORT-CONTROL.
struct ServerReport {
    bool seen = false;
    std::uint32_t value = 0; // the baud rate for SetBaudRate, else the one value byte
};

struct Session {
    // Binary both ways, the server suppressing go-ahead, and the client
    // (us) taking COM-PORT-CONTROL: the only options ever agreed to.
    OptionState sendBinary = OptionState::No;    // we send binary (we WILL, the server DOes)
    OptionState receiveBinary = OptionState::No; // the server sends binary (it WILLs, we DO)
    OptionState comPort = OptionState::No;       // we WILL COM-PORT-OPTION
    OptionState serverSga = OptionState::No;
    bool comPortRefused = false; // the server said DONT to it
    bool heardTelnet = false;    // any well-formed command came from the server

    ServerReport reports[ComPortCommands]; // by client command code
    std::uint32_t reportCount = 0;

    // Receive parser.
    enum class Parse : std::uint8_t { Data, Iac, Verb, Sub, SubIac, AfterCr } parse = Parse::Data;
    std::uint8_t verb = 0;
    std::uint8_t sub[16] = {}; // a subnegotiation's bytes; a longer one is cut here and ignored
    std::uint8_t subLength = 0;
    bool subOverflow = false;

    // Answers due to the server, not yet sent; bounded, oldest kept.
    std::uint8_t replies[48] = {};
    std::uint8_t replyLength = 0;
};

// The opening offers: WILL COM-PORT-OPTION (rfc2217 only), WILL BINARY,
// DO BINARY. Returns the bytes written to out (at most 9); the states move
// to Asked.
std::size_t Offer(Session& session, bool comPort, std::uint8_t* out, std::size_t room);

// Takes n received bytes: data goes to out (at most n bytes; room must hold
// n), commands update the session and queue answers. Returns the data bytes.
std::size_t Receive(Session& session, const std::uint8_t* in, std::size_t n, std::uint8_t* out, std::size_t room);

// Data for the server: IAC doubled (and CR followed by NUL while the server
// has not agreed to binary). Encodes as much of in as fits out; consumed
// tells how much that was. Returns the bytes written.
std::size_t EncodeData(const Session& session, const std::uint8_t* in, std::size_t n, std::uint8_t* out,
                       std::size_t room, std::size_t& consumed);

// One COM-PORT-CONTROL command, IAC SB 44 code value... IAC SE, IAC in the
// value doubled. At most 4 value bytes; out needs 14. Returns its length.
std::size_t ComPort(std::uint8_t code, const std::uint8_t* value, std::size_t length, std::uint8_t* out);
std::size_t ComPortByte(std::uint8_t code, std::uint8_t value, std::uint8_t* out);
std::size_t ComPortBaud(std::uint32_t baud, std::uint8_t* out);

// Takes the queued answers into out; returns their length (0 when none or
// room is short of them, in which case they stay queued).
std::size_t TakeReplies(Session& session, std::uint8_t* out, std::size_t room);

} // namespace telnet
