// Without a window, the fatal text goes to standard error before the exit.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "report/report.h"

void fatal_error(const char *message)
{
    char text[FATAL_TEXT_SIZE];
    int code = errno;
    build_fatal_text(text, message, static_cast<unsigned long>(code),
                     code != 0 ? std::strerror(code) : "");
    std::fflush(stdout);
    std::fputs(text, stderr);
    std::exit(1);
}
