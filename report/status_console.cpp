// Without a window, the status field is a line on standard error, so that it
// never mixes into the trace on standard output.
#include <cstdio>

#include "report/report.h"

void show_status(const char *text)
{
    std::fprintf(stderr, "status: %s\n", text);
}
