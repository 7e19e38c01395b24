// The real-time loop between a serial line and the simulated boot loader:
// waits for bytes or for the pump's next event, reads, writes, and ends when
// the device has been reset and has lingered, on timeout, or on a stop signal.
#pragma once

#include <cstdint>
#include <string>

#include "sim/boot_loader.h"
#include "sim/line_pump.h"

enum LineEnd { LINE_RESET_DONE, LINE_TIMED_OUT, LINE_STOPPED, LINE_FAILED };

struct LineRun {
    LineEnd end = LINE_FAILED;
    std::string failure;      // what went wrong on the line, for LINE_FAILED
    uint64_t bytes_lost = 0;  // replies the line would not take (nobody reading)
    double seconds = 0;       // from the tool's first byte to the end
};

// Blocks SIGINT, SIGTERM and SIGHUP except while the loop waits, so that any
// of them ends the loop cleanly and the caller can tidy up.
void catch_stop_signals();

// `trace` writes one line per read, write and request to standard error.
LineRun run_line(int fd, LinePump &pump, BootLoader &device, uint32_t timeout_s, bool trace);
