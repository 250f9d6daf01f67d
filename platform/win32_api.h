// The platform seam. The driver talks to the serial device and the clock only
// through these Win32 calls. On Windows they are kernel32 itself; elsewhere a
// backend chosen at link time (platform/linux over termios, or platform/fake,
// the in-memory port of the unit tests) defines them with the same names and
// meaning. The backends include this header; it includes none of them.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include "platform/win32_posix.h"
#endif
