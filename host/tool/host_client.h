// The shared host-side layer (host/client), under the names the tool's own
// code uses for it.
#pragma once

#include "host/client/driver_client.h"
#include "host/client/library_loader.h"
#include "host/client/slots.h"

namespace zulhost {

using zulclient::AddressCheck;
using zulclient::BytesPerElement;
using zulclient::DriverClient;
using zulclient::DriverLibrary;
using zulclient::FloatSlot;
using zulclient::HalfSlot;
using zulclient::LineSettings;
using zulclient::MaxElements;
using zulclient::Point;
using zulclient::PointText;
using zulclient::Slot;
using zulclient::WordSlot;

// The tool plays a host with one channel.
constexpr std::int32_t ToolChannelNumber = 1;

} // namespace zulhost
