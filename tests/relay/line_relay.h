// One direction of a serial line through two USB-serial adapters, with no
// clock of its own: every call is given the time in microseconds.
//
// Model. Bytes the sending program writes enter the wire when the relay
// reads them. The wire carries one character at a time: byte k is complete
// at max(its arrival, completion of byte k-1) + bits_per_char * 1e6 / 115200.
// Completed bytes collect in the receiving adapter, which hands them to the
// receiving program as one USB packet as soon as it holds packet_bytes
// bytes, or when its oldest byte has waited latency_us, whichever is first.
// Nothing else is modelled: no loss, no flow control, no USB frame grid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

constexpr double RELAY_BAUD = 115200;

struct RelayTiming {
    int bits_per_char = 11;     // 8E1: start, 8 data, parity, stop
    size_t packet_bytes = 62;   // payload of one full-speed USB packet
    double latency_us = 16000;  // the adapter's latency timer
};

struct WireByte {
    uint8_t value;
    double done_us;  // when its last bit has crossed the wire
};

struct RelayDirection {
    std::deque<WireByte> pending;  // sent and not yet handed over, oldest first
    double wire_free_us = 0;       // when the last byte sent is complete
    uint64_t bytes = 0;            // handed over so far
    uint64_t packets = 0;
};

// Puts `length` bytes read at `now_us` onto the wire.
void relay_send(RelayDirection &line, const RelayTiming &timing, double now_us,
                const uint8_t *data, size_t length);

// When the next packet is due; infinity when nothing is pending.
double relay_next_due(const RelayDirection &line, const RelayTiming &timing);

// Moves the next packet into `packet` if it is due by `now_us`; `due_us`
// receives the moment it was due.
bool relay_take(RelayDirection &line, const RelayTiming &timing, double now_us,
                std::vector<uint8_t> &packet, double &due_us);
