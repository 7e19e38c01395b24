#include "sim/sim_channel.h"

#include <algorithm>

#include "protocol/job_io.h"
#include "serial/port.h"  // the read timeouts this line imitates

SimChannel sim_channel;


void sim_channel_setup(const SimConfig &config, uint32_t first_tick)
{
    sim_channel = SimChannel{};
    sim_channel.first_tick = first_tick;
    sim_init(sim_channel.device, config);
}

// Moves the replies the device has scheduled onto the line, byte by byte
// with the time each one arrives.
static void collect_replies(SimChannel &channel)
{
    BootLoader &device = channel.device;
    while (!device.tx.empty()) {
        SimChunk &chunk = device.tx.front();
        for (size_t i = 0; i < chunk.bytes.size(); ++i) {
            uint64_t at = chunk.at_ms + (device.config.pace ? sim_wire_ms(i + 1) : 0);
            channel.line.push_back(SimArrival{at, chunk.bytes[i]});
        }
        device.tx.pop_front();
    }
}

int32_t port_write(PortHandle, const uint8_t *buffer, int32_t count)
{
    SimChannel &channel = sim_channel;
    if (count <= 0)
        return 0;
    if (channel.device.config.pace)
        channel.now_ms += sim_wire_ms(static_cast<size_t>(count));
    channel.sent.push_back(SimSent{channel.now_ms, std::vector<uint8_t>(buffer, buffer + count)});
    // One write is one request, followed by silence on the line.
    sim_receive(channel.device, buffer, static_cast<size_t>(count), static_cast<uint32_t>(channel.now_ms));
    sim_line_silent(channel.device);
    return count;
}

int32_t port_read(PortHandle, uint8_t *buffer, int32_t count)
{
    SimChannel &channel = sim_channel;
    collect_replies(channel);
    uint64_t begin = channel.now_ms;
    uint64_t deadline = begin + READ_TOTAL_MS;
    uint64_t last = 0;
    int32_t n = 0;
    while (n < count && !channel.line.empty()) {
        uint64_t at = channel.line.front().at_ms;
        if (at < begin)
            at = begin;  // already waiting in the driver
        uint64_t limit = n == 0 ? deadline : std::min(deadline, last + READ_INTERVAL_MS);
        if (at > limit)
            break;
        buffer[n++] = channel.line.front().byte;
        channel.line.pop_front();
        last = at;
    }
    if (n == 0)
        channel.now_ms = deadline;
    else if (n == count)
        channel.now_ms = last;
    else
        channel.now_ms = std::min(deadline, last + READ_INTERVAL_MS);
    return n;
}

void port_purge(PortHandle)
{
    SimChannel &channel = sim_channel;
    collect_replies(channel);
    while (!channel.line.empty() && channel.line.front().at_ms <= channel.now_ms)
        channel.line.pop_front();
    ++channel.purges;
}

void port_flush(PortHandle)
{
    ++sim_channel.flushes;  // writes complete at once here: nothing is ever queued
}

uint32_t tick_count()
{
    return sim_channel.first_tick + static_cast<uint32_t>(sim_channel.now_ms);
}

void pause_ms(uint32_t milliseconds)
{
    sim_channel.now_ms += milliseconds;
}
