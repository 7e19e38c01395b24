#include "sim/line_loop.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

volatile sig_atomic_t stop_requested = 0;
bool signals_caught = false;
sigset_t wait_mask;  // the mask while waiting: the stop signals let through

const int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

void on_stop_signal(int)
{
    stop_requested = 1;
}

int64_t monotonic_us()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

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
uint64_t send(int fd, const std::vector<uint8_t> &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (!(n < 0 && errno == EINTR))
            break;
    }
    return bytes.size() - done;
}

timespec span_of(int64_t us)
{
    return timespec{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
}

}  // namespace

void catch_stop_signals()
{
    sigset_t stops;
    sigemptyset(&stops);
    for (int signal : STOP_SIGNALS)
        sigaddset(&stops, signal);
    sigprocmask(SIG_BLOCK, &stops, &wait_mask);
    struct sigaction action{};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    for (int signal : STOP_SIGNALS) {
        sigdelset(&wait_mask, signal);
        sigaction(signal, &action, nullptr);
    }
    signals_caught = true;
}

LineRun run_line(int fd, LinePump &pump, BootLoader &device, uint32_t timeout_s, bool trace)
{
    LineRun run;
    const int64_t deadline = monotonic_us() + static_cast<int64_t>(timeout_s) * 1000000;
    std::vector<uint8_t> out;
    uint8_t buffer[4096];
    for (;;) {
        int64_t now = monotonic_us();
        out.clear();
        pump_advance(pump, device, now, out);
        if (!out.empty()) {
            uint64_t lost = send(fd, out);
            run.bytes_lost += lost;
            if (trace)
                std::fprintf(stderr, "device-sim: %10.3f ms  out %4zu bytes%s\n", device_ms(pump, now),
                             out.size(), lost ? ", some lost: nobody reads" : "");
        }
        if (pump_done(pump, now)) {
            run.end = LINE_RESET_DONE;
            break;
        }
        if (stop_requested) {
            run.end = LINE_STOPPED;
            break;
        }
        if (now >= deadline) {
            run.end = LINE_TIMED_OUT;
            break;
        }
        timespec wait = span_of(std::max<int64_t>(0, std::min(pump_next_event_us(pump, device), deadline) - now));
        pollfd line{fd, POLLIN, 0};
        int ready = ppoll(&line, 1, &wait, signals_caught ? &wait_mask : nullptr);
        if (ready < 0 && errno != EINTR) {
            run.failure = std::string("waiting on the line: ") + std::strerror(errno);
            break;
        }
        if (ready <= 0)
            continue;
        if (line.revents & POLLIN) {
            ssize_t n = read(fd, buffer, sizeof buffer);
            int64_t at = monotonic_us();
            if (n > 0) {
                Counts before = counts_of(device);
                pump_received(pump, device, buffer, static_cast<size_t>(n), at);
                if (trace)
                    trace_read(pump, device, before, static_cast<size_t>(n), at);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            run.failure = n == 0 ? "the line was closed" : std::string("reading the line: ") + std::strerror(errno);
            break;
        }
        run.failure = "the line hung up";  // only a real device that went away gets here
        break;
    }
    if (pump.started)
        run.seconds = static_cast<double>(monotonic_us() - pump.origin_us) / 1e6;
    return run;
}
