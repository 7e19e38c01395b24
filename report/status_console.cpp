// Without a window, the status field is a line on standard error, so that it
// never mixes into the trace on standard output.
#include <cstdarg>
#include <cstdio>

#include "report/report.h"

static char status_text[STATUS_TEXT_SIZE];

void set_status(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vsnprintf(status_text, sizeof status_text, format, args);
    va_end(args);
    std::fprintf(stderr, "status: %s\n", status_text);
}
