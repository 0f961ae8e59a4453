// Diagnostics behind a source file's own switch (all off): printed on standard error only when
// the switch is on.
#pragma once

#include <cstdarg>
#include <cstdio>

namespace imagecore::detail {

__attribute__((format(printf, 2, 3))) inline void trace(bool on, const char *format, ...)
{
    if (!on)
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

} // namespace imagecore::detail
