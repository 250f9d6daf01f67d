/* Stand-in for the host library KORVAN.dll: the one call the driver makes
 * into its host, err(level, format, ...), plus the host side's choice of
 * where the formatted lines go. Compiles as C and as C++. */
#ifndef KORVAN_H
#define KORVAN_H

#ifdef __cplusplus
#define KORVAN_LINKAGE extern "C"
#else
#define KORVAN_LINKAGE extern
#endif
#if defined(_WIN32)
#define KORVAN_API KORVAN_LINKAGE __declspec(dllexport)
#else
#define KORVAN_API KORVAN_LINKAGE __attribute__((visibility("default")))
#endif

/* Receives each formatted line (no trailing newline) with its level. */
typedef void (*KorvanSink)(int level, const char* line, void* context);

/* Where lines go: a sink of the host's, or null for the default, which
 * writes "[level] line" to stderr, or appends it to the file named by the
 * environment variable KORVAN_LOG; KORVAN_QUIET=1 drops them. */
KORVAN_API void korvan_set_sink(KorvanSink sink, void* context);

#endif /* KORVAN_H */
