#include <windows.h>

#include <cstdlib>

#include "report/main_window_handle.h"
#include "report/report.h"

void fatal_error(const char *message)
{
    DWORD code = GetLastError();  // first, before any other call can change it
    char system_text[FATAL_TEXT_SIZE] = "";
    if (code != 0)
        // Without IGNORE_INSERTS a system text holding %1 would be expanded
        // from arguments that are not there.
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, system_text,
                       sizeof system_text, nullptr);
    char text[FATAL_TEXT_SIZE];
    build_fatal_text(text, message, code, system_text);
    MessageBoxA(main_window, text, "Terminate Program", MB_ICONEXCLAMATION | MB_OK);
    Beep(200, 1000);
    std::exit(1);
}
