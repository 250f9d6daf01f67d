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
