// The host library's log call: a level (32 or 64), a printf format and its
// arguments. On Windows it is the export "err" of KORVAN.dll. Elsewhere the
// C library already has an err() that ends the process, so the same
// declaration binds to the stand-in host library's "korvan_err" instead.
// Like the Win32 calls, it is resolved when a product is linked.
#pragma once

#if defined(_WIN32)
extern "C" int err(int level, const char* format, ...);
#else
extern "C" int err(int level, const char* format, ...) __asm__("korvan_err");
#endif

constexpr int LogLevel32 = 0x20;
constexpr int LogLevel64 = 0x40;
