#include <windows.h>

#include <cstdarg>
#include <cstdio>

#include "report/main_window.h"
#include "report/report.h"
#include "resources/control_ids.h"

HWND main_window = nullptr;
static char status_text[STATUS_TEXT_SIZE];

// Before the window exists the text is only kept, as there is no field yet.
void set_status(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vsnprintf(status_text, sizeof status_text, format, args);
    va_end(args);
    if (main_window != nullptr)
        SetDlgItemTextA(main_window, IDC_STATUS, status_text);
}
