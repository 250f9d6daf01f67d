// Cuts a byte stream of the panel's line into frames and the runs of bytes
// between them (ACK, NAK, ENQ, line noise): what the simulator receives from
// the driver, and each direction of a captured line. The codec's BreakIt
// wants a whole reply at the start of a buffer; a stream gets a state
// machine of its own.
#pragma once

#include <cstdint>
#include <vector>

namespace zultrace {

struct Inbound {
    enum Kind { Frame, Stray, Broken } kind = Stray;
    std::vector<std::uint8_t> raw;     // bytes as received (for Frame: DLE STX through the CRC)
    std::vector<std::uint8_t> payload; // Frame only: unstuffed
    bool crcOk = false;                // Frame only
    std::uint16_t crcReceived = 0;     // Frame only: as it came, low byte first
    std::uint16_t crcComputed = 0;     // Frame only: over the frame body
};

class FrameScanner {
public:
    void Feed(const std::uint8_t* bytes, std::size_t count, std::vector<Inbound>& out);
    // Gives up a frame left unfinished: a request cut off on the line must
    // not swallow the one that follows it.
    void Expire(std::vector<Inbound>& out);
    bool Partial() const { return state_ != Hunt; }
    void Reset();

private:
    enum State { Hunt, HuntDle, Body, BodyDle, CrcLow, CrcLowDle, CrcHigh, CrcHighDle };
    void Step(std::uint8_t b, std::vector<Inbound>& out);
    void BeginFrame(std::vector<Inbound>& out);
    void Finish(std::uint8_t high, std::vector<Inbound>& out);
    void Abandon(std::vector<Inbound>& out);
    void FlushStray(std::vector<Inbound>& out);

    State state_ = Hunt;
    std::vector<std::uint8_t> raw_, payload_, stray_;
    std::size_t bodyEnd_ = 0; // raw_ up to and including the closing ETX
    std::uint8_t low_ = 0;
};

} // namespace zultrace
