// The trace goes to standard output and configuration errors to standard
// error, with the runtime's own buffering; callers flush where text must
// appear at once.
#include <cstdarg>
#include <cstdio>

#include "report/report.h"

void trace(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}

void trace_error(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

void trace_flush()
{
    std::fflush(stdout);
}
