// The real-time loop between a serial line and the simulated boot loader:
// waits for bytes or for the pump's next event, reads, writes, and ends when
// the device has been reset and has lingered, after a given number of
// blocks, on timeout, or on a stop request.
#pragma once

#include <cstdint>
#include <string>

#include "sim/boot_loader.h"
#include "sim/line_pump.h"
#include "sim/line_stats.h"
#include "sim/sim_line.h"

enum LineEnd { LINE_RESET_DONE, LINE_BLOCKS_DONE, LINE_TIMED_OUT, LINE_STOPPED, LINE_FAILED };

struct LineRun {
    LineEnd end = LINE_FAILED;
    std::string failure;      // what went wrong on the line, for LINE_FAILED
    uint64_t bytes_lost = 0;  // replies the line would not take (nobody reading)
    double seconds = 0;       // from the tool's first byte to the end
    LineLog log;              // when each read and write happened
};

struct LineLimits {
    uint32_t timeout_s = 120;
    uint32_t stop_after_blocks = 0;  // end once this many blocks are written and acknowledged; 0: never
};

// `trace` writes one line per read, write and request to standard error.
LineRun run_line(SimLine &line, LinePump &pump, BootLoader &device, const LineLimits &limits, bool trace);
