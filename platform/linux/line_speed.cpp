#include "platform/linux/line_speed.h"

namespace {

struct Speed {
    unsigned long baud;
    speed_t code;
};

constexpr Speed Speeds[] = {
    {50, B50},         {75, B75},       {110, B110},     {134, B134},     {150, B150},       {200, B200},
    {300, B300},       {600, B600},     {1200, B1200},   {1800, B1800},   {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B921600
    {921600, B921600},
#endif
};

} // namespace

speed_t SpeedCode(unsigned long baud) {
    for (const Speed& s : Speeds) {
        if (s.baud == baud) return s.code;
    }
    return B0;
}

unsigned long BaudOf(speed_t code) {
    for (const Speed& s : Speeds) {
        if (s.code == code) return s.baud;
    }
    return 0;
}
