#include "tests/support/report_capture.h"

#include <cstdarg>
#include <cstdio>

#include "report/report.h"

std::string captured_trace;
std::vector<std::string> captured_status;

void clear_captured_reports()
{
    captured_trace.clear();
    captured_status.clear();
}

static std::string format_text(const char *format, va_list args)
{
    char text[2048];
    std::vsnprintf(text, sizeof text, format, args);
    return text;
}

void set_status(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    captured_status.push_back(format_text(format, args));
    va_end(args);
}

void trace(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    captured_trace += format_text(format, args);
    va_end(args);
}

void trace_flush() {}
