// An in-process line between the update job and the simulated boot loader,
// in virtual time. It provides the job's port operations and clock: a read
// on a silent line advances the clock by 100 ms, a pause by its length, and a
// read that gets bytes ends 20 ms after the last of them, as the serial port's
// timeouts make it on the real line. Nothing ever waits.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "sim/boot_loader.h"

struct SimSent {
    uint64_t at_ms;  // virtual time when the write completed
    std::vector<uint8_t> bytes;
};

struct SimArrival {
    uint64_t at_ms;
    uint8_t byte;
};

struct SimChannel {
    BootLoader device;
    uint32_t first_tick = 0;  // what the tick count reads at virtual time 0
    uint64_t now_ms = 0;      // virtual time since the channel was set up
    std::deque<SimArrival> line;  // reply bytes on their way to the tool
    std::vector<SimSent> sent;    // every write the tool made
    uint32_t purges = 0;
    uint32_t flushes = 0;
};

// The one channel the port operations and the clock of this build use.
extern SimChannel sim_channel;

void sim_channel_setup(const SimConfig &config, uint32_t first_tick);
