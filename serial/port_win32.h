// The Windows port's settings as pure changes to the driver's own records:
// only the fields named change, the rest keep what the driver reported.
#pragma once

#include <windows.h>

#include <cstdint>

// baud 8E1, no flow control of either kind, DTR and RTS held off.
void apply_line_settings(DCB &dcb, uint32_t baud);

// A read ends `interval_ms` after the last byte once bytes have begun, or
// after READ_TOTAL_MS in all; a write waits as long as it takes.
void apply_read_timeouts(COMMTIMEOUTS &timeouts, uint32_t interval_ms);
