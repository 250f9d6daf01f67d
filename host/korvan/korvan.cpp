#include "host/korvan/korvan.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

KorvanSink installedSink = nullptr;
void* installedContext = nullptr;

void DefaultSink(int level, const char* line, void*) {
    const char* quiet = std::getenv("KORVAN_QUIET");
    if (quiet && quiet[0] == '1') return;
    const char* path = std::getenv("KORVAN_LOG");
    std::FILE* out = path && *path ? std::fopen(path, "a") : nullptr;
    std::fprintf(out ? out : stderr, "[%d] %s\n", level, line);
    if (out) std::fclose(out);
}

int Log(int level, const char* format, va_list args) {
    char line[1024];
    int n = std::vsnprintf(line, sizeof line, format, args);
    (installedSink ? installedSink : DefaultSink)(level, line, installedContext);
    return n;
}

} // namespace

KORVAN_API void korvan_set_sink(KorvanSink sink, void* context) {
    installedSink = sink;
    installedContext = context;
}

// The log call itself. Windows hosts import it by the name "err"; on other
// platforms that name belongs to the C library, so it is "korvan_err".
#if defined(_WIN32)
KORVAN_API int err(int level, const char* format, ...)
#else
KORVAN_API int korvan_err(int level, const char* format, ...)
#endif
{
    va_list args;
    va_start(args, format);
    int n = Log(level, format, args);
    va_end(args);
    return n;
}
