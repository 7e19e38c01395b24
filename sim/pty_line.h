// The simulated device's end of a serial line: either a fresh
// pseudo-terminal whose device end is published under a symlink, or an
// existing serial device. Both are raw, 115200 baud 8E1, non-blocking.
#pragma once

#include <string>

struct SerialLine {
    int fd = -1;         // the device reads and writes here
    int held_fd = -1;    // the pseudo-terminal's device end, kept open for the whole run
    std::string device;  // path of the end the tool opens
    std::string link;    // the symlink we made; removed by close_line
};

// Creates a pseudo-terminal and links `link` to its device end.
bool open_pty_line(SerialLine &line, const std::string &link, std::string &error);

// Opens an existing serial device.
bool open_serial_line(SerialLine &line, const std::string &path, std::string &error);

// Closes what was opened and removes the symlink if it still points at our device end.
void close_line(SerialLine &line);
