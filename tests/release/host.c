/* A host written in C against the installed header: it sets the log sink,
 * asks the installed driver for its identity through ZulMain, and checks it. */
#include <korvan.h>
#include <stdio.h>
#include <string.h>
#include <zultrk.h>

static int lines = 0;

static void Sink(int level, const char* line, void* context) {
    (void)level;
    (void)line;
    (void)context;
    ++lines;
}

int main(void) {
    DriverInfo info;
    DriverRequest request;
    ChannelContext channel;
    int32_t result;
    memset(&info, 0, sizeof info);
    memset(&request, 0, sizeof request);
    memset(&channel, 0, sizeof channel);
    korvan_set_sink(Sink, NULL);
    request.Channel = &channel;
    request.Code = GetInfoCode;
    request.Params = &info;
    result = ZulMain(&request);
    printf("ZulMain(GetInfo) = %d: version %d, \"%s\", context %d bytes\n", (int)result, (int)info.Version,
           info.DeviceName ? info.DeviceName : "", (int)info.ContextSize);
    return result == 0 && info.Version == 70 && strcmp(info.DeviceName, "Trane Tracker panel") == 0 &&
                   info.ContextSize == (int32_t)sizeof(ChannelContext)
               ? 0
               : 1;
}
