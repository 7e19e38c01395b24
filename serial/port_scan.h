// Fills the port table and the window's port list, then selects row 0.
#pragma once

#include <windows.h>

void scan_ports(HWND list);
