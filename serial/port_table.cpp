#include "serial/port_table.h"

#include <cstdio>

PortEntry PortTable[PORT_TABLE_ROWS];
static int port_rows = 0;

int fill_port_table(bool (*can_open)(const char *path), void (*add_row)(const char *path))
{
    int row = 0;
    for (int number = 1; number <= HIGHEST_PORT_NUMBER; ++number) {
        // A row that fails its probe is overwritten by the next number.
        std::snprintf(PortTable[row].path, PORT_PATH_SIZE, "\\\\.\\com%d", number);
        if (!can_open(PortTable[row].path))
            continue;
        add_row(PortTable[row].path);
        PortTable[row].number = number;
        ++row;
    }
    port_rows = row;
    return row;
}

const char *port_path_of_row(int row)
{
    if (row < 0 || row >= port_rows)
        return nullptr;
    return PortTable[row].path;
}
