// What the layers below need of the host's records: the channel's port,
// number and link state for an exchange, and the line its settings describe.
#pragma once

#include <cstddef>

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

// The link keeps its state in StartByte and the byte after it, the two
// bytes of the context that are the driver's own.
static_assert(offsetof(ChannelContext, Reserved) == offsetof(ChannelContext, StartByte) + 1,
              "the link state's two bytes follow each other");
static_assert(LinkStateBytes == 2, "the link state fits StartByte and the byte after it");
inline LinkChannel LinkOf(const DriverRequest& request) {
    ChannelContext& channel = *request.Channel;
    return LinkChannel{channel.PortHandle, request.ChannelNumber, CharacterTime(LineOf(channel.Settings)),
                       &channel.StartByte};
}
