// The serial ports found at start-up, in the order the port list shows them:
// list row k is table row k.
#pragma once

#include <cstdint>

constexpr int PORT_TABLE_ROWS = 999;
constexpr int HIGHEST_PORT_NUMBER = 998;
constexpr int PORT_PATH_SIZE = 256;

struct PortEntry {
    int32_t number;
    char path[PORT_PATH_SIZE];
};

extern PortEntry PortTable[PORT_TABLE_ROWS];

// Probes \\.\com1 to \\.\com998 in ascending order and fills the table from
// row 0 with those that `can_open`; `add_row` is told each path as its row is
// filled. Returns the number of rows.
int fill_port_table(bool (*can_open)(const char *path), void (*add_row)(const char *path));

// The path of list row `row`, or nullptr when no such row was filled.
const char *port_path_of_row(int row);
