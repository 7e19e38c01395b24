// The main window: the status field's parent and the fatal box's owner.
// Null until start-up has created the dialog.
#pragma once

#include <windows.h>

extern HWND main_window;
