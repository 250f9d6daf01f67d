#include "driver/operations.h"

namespace {

const char DeviceNameText[] = "Trane Tracker panel";

// Code page 437 banner for a text console: six lines in a box-drawing frame.
const char BannerText[] =
    "\n"
    "\xDA\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4"
    "\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4"
    "\xC4\xBF\n"
    "\xB3 \xDB\xDB\xDB\xDB\xDB\xB2\xB2\xB2\xB2\xB2\xB2\xB1\xB1\xB1\xB1\xB1\xB1\xB0\xB0\xB0\xB0\xB0"
    " Z U L T R K "
    "\xB0\xB0\xB0\xB0\xB0\xB1\xB1\xB1\xB1\xB1\xB1\xB2\xB2\xB2\xB2\xB2\xB2\xDB\xDB\xDB\xDB\xDB  \xB3\n"
    "\xB3                Trane Tracker panel protocol                \xB3\n"
    "\xB3\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t   \xB3\n"
    "\xB3      Open field driver, free to use - Version 7.0          \xB3\n"
    "\xC0\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4"
    "\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4"
    "\xC4\xD9\n";

static_assert(sizeof BannerText == 337 + 1, "the banner is 337 bytes and its NUL");

} // namespace

std::int32_t GetInfo(DriverRequest* request) {
    auto* info = static_cast<DriverInfo*>(request->Params);
    if (info == nullptr) return NoSuchRequest;
    info->Version = 70;
    info->DeviceName = DeviceNameText;
    info->Banner = BannerText;
    info->ContextSize = static_cast<std::int32_t>(sizeof(ChannelContext));
    info->HostValueA = 4;
    info->DefaultBaudRate = 9600;
    info->DefaultByteSize = 8;
    info->DefaultStopBits = 0;
    info->DefaultParity = 0;
    info->HostValueB = 3;
    return 0;
}
