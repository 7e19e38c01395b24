// What device-sim needs from the operating system: its end of the serial
// line, a monotonic clock and a way to be stopped. Everything else, the loop
// included, is the same on every platform; sim/line_posix.cpp and
// sim/line_win32.cpp each implement all of this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/line_stats.h"

// One line, as the platform's file keeps it; the loop only passes it on.
struct SimLine {
    intptr_t handle = -1;  // the device reads and writes here (a descriptor or a HANDLE)
    intptr_t held = -1;    // POSIX: the pseudo-terminal's device end, kept open for the whole run
    std::string device;    // path of the end the tool opens
    std::string link;      // the symlink we made; removed by line_close
    bool counts_errors = false;  // the driver keeps error counters for this line
    uint64_t counted[3] = {};    // parity, framing, overrun: at the open (POSIX) or so far (Windows)
    uint32_t read_wait_ms = 0;   // Windows: the read timeout the port is set to now
};

// Creates a pseudo-terminal and links `link` to its device end (not on Windows).
bool line_open_link(SimLine &line, const std::string &link, std::string &error);

// Opens an existing serial port exclusively and sets it to raw 115200 8E1,
// with parity checked on input. False with a one-line reason otherwise.
bool line_open_port(SimLine &line, const std::string &path, std::string &error);

// Closes what was opened and removes the symlink if it still points at our device end.
void line_close(SimLine &line);

// Microseconds on a monotonic clock.
int64_t line_clock_us();

// From now on a stop request (a signal, Ctrl-C) is caught rather than ending
// the program, so that it can report and tidy up.
void line_catch_stops();
bool line_stop_requested();

// Waits until bytes arrive, `deadline_us` passes or a stop is requested, and
// reads what has arrived into `buffer`. The count read (0: none), or -1 with
// a reason in `error` when the line failed.
long line_wait_read(SimLine &line, int64_t deadline_us, uint8_t *buffer, size_t size, std::string &error);

// Writes what it can of `bytes` now; the count written.
size_t line_write(SimLine &line, const uint8_t *bytes, size_t count);

// The errors the line's driver counted since the port was opened.
LineErrors line_errors(SimLine &line);
