#include "sim/line_loop.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

double device_ms(const LinePump &pump, int64_t at_us)
{
    return static_cast<double>(at_us - pump.origin_us) / 1000.0;
}

// What the device counts, to tell in the trace what one read made it do.
struct Counts {
    uint32_t requests[SIM_KIND_COUNT];
    uint32_t faulted[FAULT_COUNT];
    uint32_t ignored;
    uint32_t rejected;
};

Counts counts_of(const BootLoader &device)
{
    Counts counts{};
    std::copy(std::begin(device.requests), std::end(device.requests), counts.requests);
    std::copy(std::begin(device.replies_faulted), std::end(device.replies_faulted), counts.faulted);
    counts.ignored = device.bytes_ignored;
    counts.rejected = device.frames_rejected;
    return counts;
}

void trace_read(const LinePump &pump, const BootLoader &device, const Counts &before, size_t count,
                int64_t at_us)
{
    std::fprintf(stderr, "device-sim: %10.3f ms  in  %4zu bytes, the last arriving at %.3f ms\n",
                 device_ms(pump, at_us), count, static_cast<double>(pump.last_arrival_us) / 1000.0);
    for (int kind = SIM_CONTACT; kind < SIM_KIND_COUNT; ++kind)
        if (device.requests[kind] != before.requests[kind])
            std::fprintf(stderr, "device-sim:              request: %s #%u\n",
                         sim_kind_name(static_cast<SimRequestKind>(kind)), device.requests[kind]);
    for (int fault = FAULT_DROP; fault < FAULT_COUNT; ++fault)
        if (device.replies_faulted[fault] != before.faulted[fault])
            std::fprintf(stderr, "device-sim:              fault: %s\n", sim_fault_name(static_cast<SimFault>(fault)));
    if (device.bytes_ignored != before.ignored)
        std::fprintf(stderr, "device-sim:              ignored %u bytes: not powered\n",
                     device.bytes_ignored - before.ignored);
    if (device.frames_rejected != before.rejected)
        std::fprintf(stderr, "device-sim:              rejected a frame\n");
}

// Writes everything due; a line that takes no more (nobody reading the far
// end) loses the rest, as a real transmitter would.
uint64_t send(SimLine &line, const std::vector<uint8_t> &bytes)
{
    return bytes.size() - line_write(line, bytes.data(), bytes.size());
}

bool blocks_done(const BootLoader &device, const LineLimits &limits)
{
    return limits.stop_after_blocks != 0 && device.blocks_written >= limits.stop_after_blocks && device.tx.empty();
}

}  // namespace

LineRun run_line(SimLine &line, LinePump &pump, BootLoader &device, const LineLimits &limits, bool trace)
{
    LineRun run;
    const int64_t deadline = line_clock_us() + static_cast<int64_t>(limits.timeout_s) * 1000000;
    std::vector<uint8_t> out;
    uint8_t buffer[4096];
    for (;;) {
        int64_t now = line_clock_us();
        out.clear();
        pump_advance(pump, device, now, out);
        if (!out.empty()) {
            uint64_t lost = send(line, out);
            log_write(run.log, line_clock_us());
            run.bytes_lost += lost;
            if (trace)
                std::fprintf(stderr, "device-sim: %10.3f ms  out %4zu bytes%s\n", device_ms(pump, now),
                             out.size(), lost ? ", some lost: nobody reads" : "");
        }
        if (pump_done(pump, now)) {
            run.end = LINE_RESET_DONE;
            break;
        }
        if (blocks_done(device, limits)) {
            run.end = LINE_BLOCKS_DONE;
            break;
        }
        if (line_stop_requested()) {
            run.end = LINE_STOPPED;
            break;
        }
        if (now >= deadline) {
            run.end = LINE_TIMED_OUT;
            break;
        }
        long n = line_wait_read(line, std::min(pump_next_event_us(pump, device), deadline), buffer, sizeof buffer,
                                run.failure);
        int64_t at = line_clock_us();
        if (n < 0)
            break;
        if (n == 0)
            continue;
        log_read(run.log, at, static_cast<size_t>(n));
        Counts before = counts_of(device);
        pump_received(pump, device, buffer, static_cast<size_t>(n), at);
        if (trace)
            trace_read(pump, device, before, static_cast<size_t>(n), at);
    }
    if (pump.started)
        run.seconds = static_cast<double>(line_clock_us() - pump.origin_us) / 1e6;
    return run;
}
