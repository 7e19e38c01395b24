// Every status text is formatted into the one status buffer before it is shown.
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
    show_status(status_text);
}
