// Port discovery on Windows: a port is offered when the C runtime can open it.
#include <windows.h>

#include <cstdio>

#include "serial/port_scan.h"
#include "serial/port_table.h"

static HWND port_list;

static bool can_open(const char *path)
{
    std::FILE *probe = std::fopen(path, "r");
    if (probe == nullptr)
        return false;
    std::fclose(probe);
    return true;
}

static void add_list_row(const char *path)
{
    SendMessageA(port_list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(path));
}

void scan_ports(HWND list)
{
    port_list = list;
    fill_port_table(can_open, add_list_row);
    SendMessageA(list, CB_SETCURSEL, 0, 0);
}
