#include <cstdio>
#include <cstring>

#include "report/report.h"

static const char FATAL_OPENING[] = "\n\nAn Error has occurred as follows:\n";
static const char FATAL_CLOSING[] = "\n\n The program will now abort\n\n\n";

// Appends as much of `text` as fits while leaving `reserve` bytes (plus the
// terminator) free at the end of the buffer.
static void append(char *out, size_t &length, const char *text, size_t reserve)
{
    size_t room = FATAL_TEXT_SIZE - 1 - length;
    room = room > reserve ? room - reserve : 0;
    size_t take = std::strlen(text);
    if (take > room)
        take = room;
    std::memcpy(out + length, text, take);
    length += take;
    out[length] = '\0';
}

size_t build_fatal_text(char *out, const char *message, unsigned long error_code,
                        const char *system_text)
{
    const size_t closing = sizeof FATAL_CLOSING - 1;
    char line[FATAL_TEXT_SIZE];
    size_t length = 0;
    out[0] = '\0';

    append(out, length, FATAL_OPENING, closing);
    std::snprintf(line, sizeof line, "          %s\n", message);
    append(out, length, line, closing);
    if (error_code != 0) {
        std::snprintf(line, sizeof line, "Error number %lu reported\n", error_code);
        append(out, length, line, closing);
        append(out, length, system_text ? system_text : "", closing);
    }
    append(out, length, FATAL_CLOSING, 0);
    return length;
}
