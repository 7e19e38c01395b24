#include <windows.h>

#include "report/main_window_handle.h"
#include "report/report.h"
#include "resources/control_ids.h"

HWND main_window = nullptr;

// Before the window exists there is no field to show the text in.
void show_status(const char *text)
{
    if (main_window != nullptr)
        SetDlgItemTextA(main_window, IDC_STATUS, text);
}
