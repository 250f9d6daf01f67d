// What the layers below need of the host's records: the channel's port and
// number for an exchange, and the line its settings describe.
#pragma once

#include "driver/zultrk.h"
#include "link/exchange.h"
#include "serial/line_settings.h"

// The platform takes the low byte of each character-format word.
inline LineSettings LineOf(const PortSettings& settings) {
    LineSettings line;
    line.baudRate = settings.BaudRate;
    line.byteSize = static_cast<std::uint8_t>(settings.ByteSize & 0xFF);
    line.stopBits = static_cast<std::uint8_t>(settings.StopBits & 0xFF);
    line.parity = static_cast<std::uint8_t>(settings.Parity & 0xFF);
    line.lineOptions = settings.LineOptions;
    return line;
}

inline LinkChannel LinkOf(const DriverRequest& request) {
    const ChannelContext& channel = *request.Channel;
    return LinkChannel{channel.PortHandle, request.ChannelNumber, CharacterTime(LineOf(channel.Settings))};
}
