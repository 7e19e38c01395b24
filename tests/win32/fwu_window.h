// How the programs that work fwu.exe from outside (the test driver, the
// start-up timer) find its window and controls. Written out here rather than
// taken from the tool's headers, so that a changed class or id fails the tests.
#pragma once

#include <windows.h>

const int ID_PORT_LIST = 3;
const int ID_UPDATE = 4;
const int ID_STATUS = 5;

// The tool's main window once it is shown, or null.
inline HWND fwu_main_window()
{
    HWND window = FindWindowA("FWU", nullptr);
    return window != nullptr && IsWindowVisible(window) ? window : nullptr;
}
