// Request building: one method per request a host makes, each filling the
// host records, calling ZulMain and returning its result unchanged. One
// client plays one channel: its number (printed in the driver's log lines)
// and its context, which lives here.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "driver/zultrk.h"

namespace zulclient {

// Line settings of a cold start, in the codes of the host records.
struct LineSettings {
    std::uint16_t baudRate = 0;
    std::uint16_t dataBits = 0;
    std::uint16_t stopBitsCode = 0;
    std::uint16_t parityCode = 0;
    std::int32_t timeout = 100; // units of 10 ms
};

// A point as CheckAddress parsed it.
struct Point {
    char letter = 0;          // upper-case type letter
    std::int32_t address = 0; // 24-bit panel address
    std::int32_t bitNumber = NoBit;
    bool HasBit() const { return bitNumber != NoBit; }
};

// "W01A2F3" for a point; with a bit digit when it has one.
std::string PointText(const Point& point);

using Slot = std::array<std::uint8_t, 4>; // one host value slot, little-endian

// What CheckAddress left in its block.
struct AddressCheck {
    std::int32_t result = 0;
    AddressDefinition block{};
};

class DriverClient {
public:
    DriverClient(ZulMainFunction entry, std::int32_t channelNumber) : entry_(entry), channelNumber_(channelNumber) {}
    DriverClient(const DriverClient&) = delete; // the driver keeps the context's address while the port is open
    DriverClient& operator=(const DriverClient&) = delete;

    std::int32_t GetInfo(DriverInfo& info);
    std::int32_t ColdStart(const std::string& portName, const LineSettings& line);
    std::int32_t ClosePort();
    AddressCheck CheckAddress(const std::string& text, std::int32_t hostDataType, bool syntaxOnly);
    // The point an address names, as CheckAddress parses it for every letter
    // (host data type 7); nothing when it is refused.
    std::optional<Point> PointOf(const std::string& text);
    // Reads slots.size() elements; the slots are cleared first.
    std::int32_t BlockRead(const Point& point, std::vector<Slot>& slots);
    std::int32_t BlockWrite(const Point& point, const std::vector<Slot>& slots);

    bool PortOpen() const { return context_.PortHandle != nullptr; }
    std::int32_t ChannelNumber() const { return channelNumber_; }

private:
    std::int32_t Call(std::int32_t code, void* params);
    static PointRequest MakePointRequest(const Point& point, std::size_t count, void* slots);

    ZulMainFunction entry_;
    std::int32_t channelNumber_;
    ChannelContext context_{}; // the host's storage for the channel; PortHandle null until started
};

} // namespace zulclient
