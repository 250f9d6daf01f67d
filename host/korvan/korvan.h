// Stand-in for the host library KORVAN.dll: the one call the driver makes
// into its host, err(level, format, ...), plus the host side's choice of
// where the formatted lines go.
#pragma once

#if defined(_WIN32)
#define KORVAN_API extern "C" __declspec(dllexport)
#else
#define KORVAN_API extern "C" __attribute__((visibility("default")))
#endif

// Receives each formatted line (no trailing newline) with its level.
typedef void (*KorvanSink)(int level, const char* line, void* context);

// Where lines go: a sink of the host's, or null for the default, which
// writes "[level] line" to stderr, or appends it to the file named by the
// environment variable KORVAN_LOG; KORVAN_QUIET=1 drops them.
KORVAN_API void korvan_set_sink(KorvanSink sink, void* context);
