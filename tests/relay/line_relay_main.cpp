// line-relay LINK_A LINK_B [BITS_PER_CHARACTER [TIMEOUT_S]]
// Joins two pseudo-terminals, published as symlinks at the two paths, as if
// by a serial line through two USB-serial adapters (see line_relay.h: 62-byte
// packets, a 16 ms latency timer) at 115200 baud with 11 bits a character
// (8E1) or as many as given, in real time. Ends when signalled or after
// TIMEOUT_S seconds (120), and reports the traffic each way and how late the
// latest delivery was against its schedule.
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/sim_line.h"
#include "tests/relay/line_relay.h"

// A packet the receiving program's pseudo-terminal has no room for is lost,
// as it would be from an adapter whose host stops reading.
static size_t deliver(int fd, const std::vector<uint8_t> &packet)
{
    ssize_t written = write(fd, packet.data(), packet.size());
    return written < 0 ? packet.size() : packet.size() - static_cast<size_t>(written);
}

int main(int argc, char **argv)
{
    RelayTiming timing;
    long timeout_s = argc > 4 ? std::atol(argv[4]) : 120;
    timing.bits_per_char = argc > 3 ? std::atoi(argv[3]) : 11;
    if (argc < 3 || argc > 5 || timing.bits_per_char < 5 || timing.bits_per_char > 13 || timeout_s <= 0 ||
        std::string(argv[1]) == argv[2]) {
        std::fputs("usage: line-relay LINK_A LINK_B [BITS_PER_CHARACTER (11) [TIMEOUT_S (120)]]\n", stderr);
        return 2;
    }
    const std::string links[2] = {argv[1], argv[2]};

    // The stops stay blocked except inside the wait below, so none is missed.
    line_catch_stops();
    sigset_t waiting;
    sigemptyset(&waiting);

    SimLine lines[2];
    std::string error;
    if (!line_open_link(lines[0], links[0], error) || !line_open_link(lines[1], links[1], error)) {
        std::fprintf(stderr, "line-relay: %s\n", error.c_str());
        line_close(lines[0]);
        return 1;
    }
    std::printf("line-relay: line ready at %s and %s\n", links[0].c_str(), links[1].c_str());
    std::fflush(stdout);

    RelayDirection sent[2];  // sent[i]: read from lines[i], delivered to the other
    double deadline = line_clock_us() + timeout_s * 1e6, max_late_us = 0;
    size_t lost = 0;
    std::vector<uint8_t> packet;
    while (!line_stop_requested()) {
        double now = line_clock_us();
        if (now >= deadline)
            break;
        double wake = std::min({deadline, relay_next_due(sent[0], timing), relay_next_due(sent[1], timing)});
        double wait_us = std::max(0.0, wake - now);
        timespec wait{static_cast<time_t>(wait_us / 1e6), static_cast<long>(std::fmod(wait_us, 1e6) * 1e3)};
        pollfd ready[2] = {{static_cast<int>(lines[0].handle), POLLIN, 0}, {static_cast<int>(lines[1].handle), POLLIN, 0}};
        int count = ppoll(ready, 2, &wait, &waiting);
        if (count < 0 && errno != EINTR) {
            std::perror("line-relay: poll");
            break;
        }
        for (int i = 0; i < 2 && count > 0; ++i) {
            if (!(ready[i].revents & POLLIN))
                continue;
            uint8_t chunk[4096];
            ssize_t n = read(static_cast<int>(lines[i].handle), chunk, sizeof chunk);
            if (n > 0)
                relay_send(sent[i], timing, line_clock_us(), chunk, static_cast<size_t>(n));
        }
        for (int i = 0; i < 2; ++i) {
            double due = 0;
            while (relay_take(sent[i], timing, line_clock_us(), packet, due)) {
                max_late_us = std::max(max_late_us, line_clock_us() - due);
                lost += deliver(static_cast<int>(lines[1 - i].handle), packet);
            }
        }
    }
    std::printf("line-relay: A->B %llu bytes in %llu packets, B->A %llu bytes in %llu packets, "
                "max lateness %.0f us, %zu bytes lost%s\n",
                static_cast<unsigned long long>(sent[0].bytes), static_cast<unsigned long long>(sent[0].packets),
                static_cast<unsigned long long>(sent[1].bytes), static_cast<unsigned long long>(sent[1].packets),
                max_late_us, lost, line_stop_requested() ? "" : " (timed out)");
    std::fflush(stdout);
    line_close(lines[0]);
    line_close(lines[1]);
    return 0;
}
