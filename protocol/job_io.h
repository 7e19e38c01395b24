// What the update job needs from its surroundings: the open port, a
// millisecond tick count and a pause. Each build links one implementation of
// these (the Win32 tool, the POSIX build, the in-process test channel), so the
// job itself never names an operating system.
#pragma once

#include <cstdint>

// A port handle wide enough for a Win32 HANDLE and a POSIX file descriptor.
// -1 is both INVALID_HANDLE_VALUE and the descriptor of no file.
using PortHandle = intptr_t;
constexpr PortHandle INVALID_PORT = -1;

// Sends the bytes and returns once the write has completed.
int32_t port_write(PortHandle port, const uint8_t *buffer, int32_t count);

// Returns the bytes that arrived: after 20 ms of silence once bytes have
// begun, after 100 ms in all, or when `count` bytes are in; 0 when none came.
int32_t port_read(PortHandle port, uint8_t *buffer, int32_t count);

// Discards whatever is waiting in both directions.
void port_purge(PortHandle port);

// Returns once queued output has gone out.
void port_flush(PortHandle port);

// Milliseconds since some fixed moment; wraps at 2^32.
uint32_t tick_count();

void pause_ms(uint32_t milliseconds);
