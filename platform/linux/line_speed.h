// The line speeds the tty layer can name, in baud and as termios codes.
// Rates it cannot name (14400 and 56000, which Win32 knows) have no code, so
// a line is refused rather than run at another speed.
#pragma once

#include <termios.h>

speed_t SpeedCode(unsigned long baud); // B0 when the tty layer has none
unsigned long BaudOf(speed_t code);    // 0 when unknown
