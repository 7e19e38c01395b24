// The serial port the update runs over: opened by path, exclusively, and set
// to 115200 8E1 without flow control, with read timeouts that cut the byte
// stream into frames (a read ends 20 ms after the last byte once bytes have
// begun, or 100 ms after it began). The job's own operations on the open port
// (read, write, purge, flush) are declared in protocol/job_io.h; each
// platform's file implements all of them.
#pragma once

#include <cstdint>

#include "protocol/job_io.h"

constexpr uint32_t READ_INTERVAL_MS = 20;
constexpr uint32_t READ_TOTAL_MS = 100;

// INVALID_PORT when the port is absent or already open elsewhere.
PortHandle open_port(const char *path);

// 8 data bits, even parity, one stop bit at `baud`, no flow control, DTR and
// RTS held off, and the read timeouts above with `interval_ms` between bytes.
// 0 on success; -1 (with a line on standard error) when the port's settings
// cannot be read, in which case nothing is changed.
int32_t configure_port(PortHandle port, uint32_t baud, uint32_t interval_ms);

void close_port(PortHandle port);
