// Request building: one method per request a host makes, each filling the
// host records, calling ZulMain and returning what it came to: the driver's
// number with its outcome and the lines the driver logged meanwhile. One
// client plays one channel: its number (printed in the driver's log lines)
// and its context, which lives here.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "driver/zultrk.h"
#include "host/client/driver_result.h"
#include "panel/type_letters.h"

namespace zulclient {

// Line settings of a cold start, in the codes of the host records.
struct LineSettings {
    std::uint16_t baudRate = 0;
    std::uint16_t dataBits = 0;
    std::uint16_t stopBitsCode = 0;
    std::uint16_t parityCode = 0;
    std::int32_t timeout = 100; // units of 10 ms
};

// The time characters take on the line the settings open.
std::chrono::nanoseconds LineTime(const LineSettings& line, std::uint64_t characters);
inline std::chrono::nanoseconds CharacterTime(const LineSettings& line) { return LineTime(line, 1); }

// A point as CheckAddress parsed it.
struct Point {
    char letter = 0;          // upper-case type letter
    std::int32_t address = 0; // 24-bit panel address
    std::int32_t bitNumber = NoBit;
    bool HasBit() const { return bitNumber != NoBit; }
    // What its letter means; a letter no address carries reads as one of
    // two bytes that is neither read bit for bit nor written.
    const TypeLetterInfo& Type() const;
};

// "W01A2F3" for a point; with a bit digit when it has one.
std::string PointText(const Point& point);

using Slot = std::array<std::uint8_t, 4>; // one host value slot, little-endian

// What CheckAddress left in its block.
struct AddressCheck {
    std::int32_t result = 0; // the driver's number: 0 accepted, 1 refused
    AddressDefinition block{};
};

class DriverClient {
public:
    DriverClient(ZulMainFunction entry, std::int32_t channelNumber) : entry_(entry), channelNumber_(channelNumber) {}
    DriverClient(const DriverClient&) = delete; // the driver keeps the context's address while the port is open
    DriverClient& operator=(const DriverClient&) = delete;

    Result GetInfo(DriverInfo& info);
    StartResult ColdStart(const std::string& portName, const LineSettings& line);
    Result ClosePort();
    AddressCheck CheckAddress(const std::string& text, std::int32_t hostDataType, bool syntaxOnly);
    // The point an address names, as CheckAddress parses it for every letter
    // (host data type 7); nothing when it is refused.
    std::optional<Point> PointOf(const std::string& text);
    // Reads slots.size() elements; the slots are cleared first.
    Result BlockRead(const Point& point, std::vector<Slot>& slots);
    Result BlockWrite(const Point& point, const std::vector<Slot>& slots);

    bool PortOpen() const { return context_.PortHandle != nullptr; }
    std::int32_t ChannelNumber() const { return channelNumber_; }

private:
    std::int32_t Call(std::int32_t code, void* params);
    Result Run(Request request, std::int32_t code, void* params);
    static PointRequest MakePointRequest(const Point& point, std::size_t count, void* slots);

    ZulMainFunction entry_;
    std::int32_t channelNumber_;
    ChannelContext context_{}; // the host's storage for the channel; PortHandle null until started
};

} // namespace zulclient
