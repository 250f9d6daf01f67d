// Starting, restarting, closing, opening and reopening a channel.
#include <algorithm>
#include <cstring>

#include "driver/operations.h"
#include "panel/handshake.h"
#include "panel/request_link.h"
#include "panel/results.h"
#include "platform/host_log.h"
#include "serial/port.h"

namespace {

constexpr TenMs MinimumResponseTimeout{100};       // 1 s
constexpr std::uint16_t StartLineOptions = 0x0200; // RTS raised, DTR low

// What the lifecycle requests give the host.
constexpr std::int32_t LifecycleOk = 0;
constexpr std::int32_t PortFailed = 2; // the port could not be opened or closed

// A name that does not end within its 12 bytes is never read beyond them.
bool NameFits(const char (&name)[12]) { return std::memchr(name, '\0', sizeof name) != nullptr; }

// Opens the device that the settings name; null on any failure.
HANDLE OpenPortFromSettings(const PortSettings& settings) {
    if (!NameFits(settings.PortName)) return nullptr;
    HANDLE handle = nullptr;
    return OpenComm(settings.PortName, LineOf(settings), handle) == PortResult::Ok ? handle : nullptr;
}

// A new handle takes the place of one that is still open: the old one is
// closed, so reopening never leaks it.
void ReplaceHandle(ChannelContext& channel, HANDLE opened) {
    if (channel.PortHandle != nullptr && channel.PortHandle != opened) CloseComm(channel.PortHandle);
    channel.PortHandle = opened;
}

} // namespace

std::int32_t ColdStart(DriverRequest* request) {
    ChannelContext* channel = request->Channel;
    auto* params = static_cast<const ColdStartParams*>(request->Params);
    if (channel == nullptr || params == nullptr) return PortFailed;

    channel->ActiveFlag = params->ActiveFlag;
    if (params->ActiveFlag == 0) return LifecycleOk;

    if (!NameFits(params->PortName)) {
        err(LogLevel32, "ZUL%02d: TRK: ERROR ColdStart(): Fail to open %.12s", request->ChannelNumber,
            params->PortName);
        return PortFailed;
    }
    PortSettings settings;
    std::memset(&settings, 0, sizeof settings);
    std::strcpy(settings.PortName, params->PortName);
    settings.BaudRate = params->BaudRate;
    settings.ByteSize = params->ByteSize;
    settings.StopBits = params->StopBits;
    settings.Parity = params->Parity;
    settings.LineOptions = StartLineOptions;

    HANDLE opened = OpenPortFromSettings(settings);
    if (opened == nullptr) {
        err(LogLevel32, "ZUL%02d: TRK: ERROR ColdStart(): Fail to open %s", request->ChannelNumber, params->PortName);
        return PortFailed;
    }
    ReplaceHandle(*channel, opened);

    // A timeout of 0 or below would leave the handshake's reads unbounded;
    // the port gets the stored minimum then.
    TenMs timeout{params->ResponseTimeout};
    SetReadTimeout(opened, timeout > TenMs{0} ? timeout : MinimumResponseTimeout);

    channel->Settings = settings;
    channel->ResponseTimeout = std::max(timeout, MinimumResponseTimeout).count();
    // Nothing learned of the new line yet, and nothing on it to be out of step with.
    channel->StartByte = 0;
    channel->Reserved = 0;

    std::int32_t rc = ConfigureAdapter(LinkOf(*request));
    if (rc == HandshakeOk) {
        err(LogLevel32, "ZUL%02d: TRK: ColdStart(): TRK Driver loaded successfully", request->ChannelNumber);
    } else {
        err(LogLevel32, "ZUL%02d: TRK: ERROR ColdStart(): Fail rc = %d ", request->ChannelNumber, rc);
    }
    return LifecycleOk;
}

std::int32_t WarmStart(DriverRequest* request) {
    ChannelContext* channel = request->Channel;
    if (channel == nullptr) return PortFailed;
    std::int32_t rc = HandshakeOk;
    if (channel->PortHandle != nullptr) {
        FlushInput(channel->PortHandle);
        rc = ConfigureAdapter(LinkOf(*request));
    }
    if (rc == HandshakeOk) {
        err(LogLevel64, "ZUL%02d: TRK: WarmStart(): ended successfully rc = %d", request->ChannelNumber, rc);
    } else {
        err(LogLevel64, "ZUL%02d: TRK: ERROR WarmStart(): Fail rc = %d ", request->ChannelNumber, rc);
    }
    return rc;
}

std::int32_t OpenPort(DriverRequest* request) {
    ChannelContext* channel = request->Channel;
    if (channel == nullptr) return PortFailed;
    HANDLE opened = OpenPortFromSettings(channel->Settings);
    if (opened == nullptr) return PortFailed;
    channel->ActiveFlag = 1;
    ReplaceHandle(*channel, opened);
    return LifecycleOk;
}

std::int32_t ClosePort(DriverRequest* request) {
    ChannelContext* channel = request->Channel;
    if (channel == nullptr) return PortFailed;
    if (channel->PortHandle == nullptr) return LifecycleOk;
    if (CloseComm(channel->PortHandle) != PortResult::Ok) return PortFailed;
    channel->PortHandle = nullptr;
    return LifecycleOk;
}

std::int32_t ReopenPort(DriverRequest* request) {
    ChannelContext* channel = request->Channel;
    auto* params = static_cast<const ReopenParams*>(request->Params);
    if (channel == nullptr || params == nullptr || !NameFits(params->PortName)) return PortFailed;

    if (params->ResponseTimeout != 0) channel->ResponseTimeout = params->ResponseTimeout;
    PortSettings& settings = channel->Settings;
    bool sameDevice = NameFits(settings.PortName) && std::strcmp(params->PortName, settings.PortName) == 0;
    if (!sameDevice && channel->PortHandle != nullptr) ClosePort(request);

    std::memset(settings.PortName, 0, sizeof settings.PortName);
    std::strcpy(settings.PortName, params->PortName);
    settings.BaudRate = params->BaudRate;
    settings.ByteSize = params->ByteSize;
    settings.StopBits = params->StopBits;
    settings.Parity = params->Parity;

    HANDLE opened = OpenPortFromSettings(settings);
    if (opened == nullptr) return PortFailed;
    ReplaceHandle(*channel, opened);
    return LifecycleOk;
}
