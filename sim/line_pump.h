// Carries bytes between a serial line and the simulated boot loader, keeping
// the line's timing: when bytes reach the device, when the line falls silent,
// when each scheduled reply goes out, and when a restarted device is done.
// It reads no clock itself: every call is given the time (microseconds on
// any monotonic clock), so it runs the same under the wall clock and in tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/boot_loader.h"

// A USB-serial adapter hands a request over in pieces: about 6 ms apart
// while its buffer fills, and a short last piece held back until its 16 ms
// latency timer runs out, which the reader may see a Windows timer tick
// (15.6 ms) later still. No gap inside a request is longer than this.
constexpr int64_t ADAPTER_GAP_MAX_US = 16000 + 15600;
// The tool repeats an unanswered contact or reset request only after its
// 100 ms read has run out (about 110 ms from one to the next).
constexpr int64_t TOOL_REPEAT_GAP_US = 100000;
// A longer gap ends whatever request was pending: a damaged request is
// dropped before the tool repeats it, and a whole one is never cut.
constexpr int64_t PUMP_SILENCE_US = 50000;
static_assert(PUMP_SILENCE_US > ADAPTER_GAP_MAX_US && PUMP_SILENCE_US < TOOL_REPEAT_GAP_US,
              "the silence must outlast an adapter's gaps and end before the tool repeats itself");
constexpr int64_t PUMP_NEVER = INT64_MAX;
constexpr int PUMP_RESET_REPLY_LEN = 5;

struct LinePump {
    bool pace = false;           // bytes take their 115200 8E1 time on the wire
    int64_t linger_us = 1000000;
    bool started = false;        // the tool has sent its first byte
    int64_t origin_us = 0;       // when it did: the device's time 0
    // From here on, device time in microseconds.
    int64_t run_start_us = 0;    // first byte of the run arriving back to back
    uint64_t run_bytes = 0;
    int64_t last_arrival_us = 0;
    bool awaiting_silence = false;
    int64_t tx_busy_until_us = 0;  // the device's reply is still on the wire until then
    uint8_t sent_tail[PUMP_RESET_REPLY_LEN] = {};
    size_t sent_tail_length = 0;
    bool reset_acknowledged = false;
    int64_t linger_end_us = 0;
    uint64_t bytes_received = 0;
    uint64_t bytes_sent = 0;
};

void pump_init(LinePump &pump, bool pace, uint32_t linger_ms);

// Time `count` bytes take on a 115200 8E1 line (11 bits each).
int64_t pump_wire_us(uint64_t count);

// Bytes read from the line at `now_us`. They reach the device at once, or,
// paced, one byte time apart from the first of a run.
void pump_received(LinePump &pump, BootLoader &device, const uint8_t *bytes, size_t count, int64_t now_us);

// Tells the device about a silent line and appends to `out` the reply bytes
// due by `now_us`, which the caller writes to the line at once.
void pump_advance(LinePump &pump, BootLoader &device, int64_t now_us, std::vector<uint8_t> &out);

// When pump_advance next has something to do, or PUMP_NEVER.
int64_t pump_next_event_us(const LinePump &pump, const BootLoader &device);

// The device acknowledged a reset and the linger after it has passed.
bool pump_done(const LinePump &pump, int64_t now_us);
