#include "tests/relay/line_relay.h"

#include <algorithm>
#include <cmath>

void relay_send(RelayDirection &line, const RelayTiming &timing, double now_us,
                const uint8_t *data, size_t length)
{
    const double char_us = timing.bits_per_char * 1e6 / RELAY_BAUD;
    for (size_t i = 0; i < length; ++i) {
        line.wire_free_us = std::max(now_us, line.wire_free_us) + char_us;
        line.pending.push_back({data[i], line.wire_free_us});
    }
}

double relay_next_due(const RelayDirection &line, const RelayTiming &timing)
{
    if (line.pending.empty())
        return INFINITY;
    double by_latency = line.pending.front().done_us + timing.latency_us;
    if (line.pending.size() < timing.packet_bytes)
        return by_latency;
    return std::min(by_latency, line.pending[timing.packet_bytes - 1].done_us);
}

bool relay_take(RelayDirection &line, const RelayTiming &timing, double now_us,
                std::vector<uint8_t> &packet, double &due_us)
{
    due_us = relay_next_due(line, timing);
    if (!(due_us <= now_us))
        return false;
    // Whatever is complete by then: never more than a full packet, since a
    // full packet is due when its last byte completes.
    packet.clear();
    while (!line.pending.empty() && line.pending.front().done_us <= due_us) {
        packet.push_back(line.pending.front().value);
        line.pending.pop_front();
    }
    line.bytes += packet.size();
    line.packets += 1;
    return true;
}
