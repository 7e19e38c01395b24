// line-relay --link-a PATH --link-b PATH [--bits-per-char N] [--packet-bytes N]
//            [--latency-ms N] [--timeout-s N]
// Joins two pseudo-terminals, published as symlinks at the two paths, as if
// by a serial line through two USB-serial adapters (see line_relay.h), in
// real time. Ends when signalled or after N seconds (120), and reports the
// traffic each way and how late the latest delivery was against its schedule.
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/pty_line.h"
#include "tests/relay/line_relay.h"

static volatile sig_atomic_t stop_signal = 0;

static void on_signal(int number)
{
    stop_signal = number;
}

static double monotonic_us()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1e6 + now.tv_nsec / 1e3;
}

static bool parse_number(const char *text, long low, long high, long &value)
{
    char *end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && value >= low && value <= high;
}

static int usage(const char *problem)
{
    std::fprintf(stderr,
                 "line-relay: %s\nusage: line-relay --link-a PATH --link-b PATH [--bits-per-char N] "
                 "[--packet-bytes N] [--latency-ms N] [--timeout-s N]\n",
                 problem);
    return 2;
}

// A packet the receiving program's pseudo-terminal has no room for is lost,
// as it would be from an adapter whose host stops reading.
static size_t deliver(int fd, const std::vector<uint8_t> &packet)
{
    ssize_t written = write(fd, packet.data(), packet.size());
    return written < 0 ? packet.size() : packet.size() - static_cast<size_t>(written);
}

int main(int argc, char **argv)
{
    std::string links[2];
    long bits = 11, packet_bytes = 62, latency_ms = 16, timeout_s = 120;
    for (int i = 1; i < argc; i += 2) {
        const char *name = argv[i];
        if (i + 1 >= argc)
            return usage("missing value");
        const char *value = argv[i + 1];
        bool good = true;
        if (std::strcmp(name, "--link-a") == 0)
            links[0] = value;
        else if (std::strcmp(name, "--link-b") == 0)
            links[1] = value;
        else if (std::strcmp(name, "--bits-per-char") == 0)
            good = parse_number(value, 1, 64, bits);
        else if (std::strcmp(name, "--packet-bytes") == 0)
            good = parse_number(value, 1, 4096, packet_bytes);
        else if (std::strcmp(name, "--latency-ms") == 0)
            good = parse_number(value, 0, 10000, latency_ms);
        else if (std::strcmp(name, "--timeout-s") == 0)
            good = parse_number(value, 1, 86400, timeout_s);
        else
            return usage("unknown option");
        if (!good)
            return usage("bad value");
    }
    if (links[0].empty() || links[1].empty() || links[0] == links[1])
        return usage("two different link paths are needed");
    RelayTiming timing;
    timing.bits_per_char = static_cast<int>(bits);
    timing.packet_bytes = static_cast<size_t>(packet_bytes);
    timing.latency_us = latency_ms * 1000.0;

    // The signals stay blocked except inside the wait, so none is missed.
    sigset_t stops, waiting;
    sigemptyset(&stops);
    for (int number : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&stops, number);
        struct sigaction action{};
        action.sa_handler = on_signal;
        sigaction(number, &action, nullptr);
    }
    sigprocmask(SIG_BLOCK, &stops, &waiting);

    SerialLine lines[2];
    std::string error;
    if (!open_pty_line(lines[0], links[0], error) || !open_pty_line(lines[1], links[1], error)) {
        std::fprintf(stderr, "line-relay: %s\n", error.c_str());
        close_line(lines[0]);
        return 1;
    }
    std::printf("line-relay: line ready at %s and %s\n", links[0].c_str(), links[1].c_str());
    std::fflush(stdout);

    RelayDirection sent[2];  // sent[i]: read from lines[i], delivered to the other
    double deadline = monotonic_us() + timeout_s * 1e6, max_late_us = 0;
    size_t lost = 0;
    std::vector<uint8_t> packet;
    while (stop_signal == 0) {
        double now = monotonic_us();
        if (now >= deadline)
            break;
        double wake = std::min({deadline, relay_next_due(sent[0], timing), relay_next_due(sent[1], timing)});
        double wait_us = std::max(0.0, wake - now);
        timespec wait{static_cast<time_t>(wait_us / 1e6), static_cast<long>(std::fmod(wait_us, 1e6) * 1e3)};
        pollfd ready[2] = {{lines[0].fd, POLLIN, 0}, {lines[1].fd, POLLIN, 0}};
        int count = ppoll(ready, 2, &wait, &waiting);
        if (count < 0 && errno != EINTR) {
            std::perror("line-relay: poll");
            break;
        }
        for (int i = 0; i < 2 && count > 0; ++i) {
            if (!(ready[i].revents & POLLIN))
                continue;
            uint8_t chunk[4096];
            ssize_t n = read(lines[i].fd, chunk, sizeof chunk);
            if (n > 0)
                relay_send(sent[i], timing, monotonic_us(), chunk, static_cast<size_t>(n));
        }
        for (int i = 0; i < 2; ++i) {
            double due = 0;
            while (relay_take(sent[i], timing, monotonic_us(), packet, due)) {
                max_late_us = std::max(max_late_us, monotonic_us() - due);
                lost += deliver(lines[1 - i].fd, packet);
            }
        }
    }
    std::printf("line-relay: A->B %llu bytes in %llu packets, B->A %llu bytes in %llu packets, "
                "max lateness %.0f us, %zu bytes lost%s\n",
                static_cast<unsigned long long>(sent[0].bytes), static_cast<unsigned long long>(sent[0].packets),
                static_cast<unsigned long long>(sent[1].bytes), static_cast<unsigned long long>(sent[1].packets),
                max_late_us, lost, stop_signal == 0 ? " (timed out)" : "");
    std::fflush(stdout);
    close_line(lines[0]);
    close_line(lines[1]);
    return 0;
}
