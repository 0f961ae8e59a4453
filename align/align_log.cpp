// The aligner's line sink: standard error by default.
#include "align/align_log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

std::mutex g_mutex;
AlignLogSink g_sink;

} // namespace

AlignLogSink set_align_log_sink(AlignLogSink sink)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    std::swap(g_sink, sink);
    return sink;
}

void align_log(const char *format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_sink)
        g_sink(line);
    else
        std::fputs(line, stderr);
}
