/* The host header as a C host sees it: it compiles on its own as C11, and
 * in the 32-bit Windows build its layout checks run in C as well. */
#include "driver/zultrk.h"

int32_t StartChannelFromC(ZulMainFunction entry, ChannelContext* channel) {
    ColdStartParams params = {{'C', 'O', 'M', '5', 0}, 1, 100, 9600, 8, 0, 0};
    DriverRequest request = {0};
    request.Channel = channel;
    request.Code = ColdStartCode;
    request.ChannelNumber = 1;
    request.Params = &params;
    return entry(&request);
}

int BitNumberMeansNone(const PointRequest* points) { return points->BitNumber == NoBit; }

/* The 64-bit Windows build runs the Windows tests, whose host programs lay
 * the records out by hand: this is the layout they assume. */
#if defined(_WIN64)
_Static_assert(sizeof(DriverRequest) == 32 && offsetof(DriverRequest, Code) == 8 &&
                   offsetof(DriverRequest, ChannelNumber) == 12 && offsetof(DriverRequest, HostWord) == 16 &&
                   offsetof(DriverRequest, Params) == 24,
               "DriverRequest, 64-bit");
_Static_assert(sizeof(ChannelContext) == 48 && offsetof(ChannelContext, PortHandle) == 8 &&
                   offsetof(ChannelContext, ActiveFlag) == 16 && offsetof(ChannelContext, Settings) == 20 &&
                   offsetof(ChannelContext, StartByte) == 42 && offsetof(ChannelContext, Reserved) == 43,
               "ChannelContext, 64-bit");
_Static_assert(sizeof(DriverInfo) == 48 && offsetof(DriverInfo, DeviceName) == 8 &&
                   offsetof(DriverInfo, Banner) == 16 && offsetof(DriverInfo, ContextSize) == 24 &&
                   offsetof(DriverInfo, HostValueA) == 28 && offsetof(DriverInfo, DefaultBaudRate) == 32 &&
                   offsetof(DriverInfo, HostValueB) == 40,
               "DriverInfo, 64-bit");
#endif
