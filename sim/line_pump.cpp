#include "sim/line_pump.h"

#include <algorithm>
#include <cstring>

#include "protocol/frame.h"  // crc16_modbus only

namespace {

// The device's acknowledgement of a reset: node, function, reset sub-code, trailer.
const uint8_t RESET_REPLY_HEAD[3] = {0x04, 0x2B, 0xF7};

bool tail_is_reset_reply(const LinePump &pump)
{
    if (pump.sent_tail_length < PUMP_RESET_REPLY_LEN)
        return false;
    if (std::memcmp(pump.sent_tail, RESET_REPLY_HEAD, sizeof RESET_REPLY_HEAD) != 0)
        return false;
    uint16_t crc = crc16_modbus(pump.sent_tail, 3);
    return pump.sent_tail[3] == (crc & 0xFF) && pump.sent_tail[4] == (crc >> 8);
}

// Watches what goes out for an intact reset acknowledgement, however the
// reply was split or preceded by noise.
void note_sent(LinePump &pump, const std::vector<uint8_t> &bytes, int64_t done_us)
{
    bool acknowledged = false;
    for (uint8_t byte : bytes) {
        if (pump.sent_tail_length == PUMP_RESET_REPLY_LEN) {
            std::memmove(pump.sent_tail, pump.sent_tail + 1, PUMP_RESET_REPLY_LEN - 1);
            --pump.sent_tail_length;
        }
        pump.sent_tail[pump.sent_tail_length++] = byte;
        acknowledged = acknowledged || tail_is_reset_reply(pump);
    }
    if (acknowledged) {
        pump.reset_acknowledged = true;
        pump.linger_end_us = done_us + pump.linger_us;
    }
}

// When the next byte reaches the device if it was read at `at_us`: at once,
// or paced, no sooner than one byte time after the one before it.
int64_t arrival_us(LinePump &pump, int64_t at_us)
{
    if (!pump.pace)
        return at_us;
    if (pump.run_bytes == 0 || at_us > pump.run_start_us + pump_wire_us(pump.run_bytes)) {
        pump.run_start_us = at_us;
        pump.run_bytes = 0;
    }
    return pump.run_start_us + pump_wire_us(pump.run_bytes++);
}

int64_t device_ms_by(int64_t at_us)
{
    return (at_us + 999) / 1000;
}

void declare_silence_before(LinePump &pump, BootLoader &device, int64_t at_us)
{
    if (pump.awaiting_silence && at_us > pump.last_arrival_us + PUMP_SILENCE_US) {
        sim_line_silent(device);
        pump.awaiting_silence = false;
    }
}

}  // namespace

void pump_init(LinePump &pump, bool pace, uint32_t linger_ms)
{
    pump = LinePump{};
    pump.pace = pace;
    pump.linger_us = static_cast<int64_t>(linger_ms) * 1000;
}

int64_t pump_wire_us(uint64_t count)
{
    return static_cast<int64_t>(count * 11 * 1000000 / 115200);
}

void pump_received(LinePump &pump, BootLoader &device, const uint8_t *bytes, size_t count, int64_t now_us)
{
    if (count == 0)
        return;
    if (!pump.started) {
        pump.started = true;
        pump.origin_us = now_us;
    }
    int64_t at_us = now_us - pump.origin_us;
    pump.bytes_received += count;
    std::vector<int64_t> arrivals(count);
    for (int64_t &arrival : arrivals)
        arrival = arrival_us(pump, at_us);
    declare_silence_before(pump, device, arrivals[0]);
    // The device gets the bytes in groups by the millisecond they are in by
    // (rounded up, so that no reply leaves sooner than its delay after the request).
    size_t begin = 0;
    while (begin < count) {
        int64_t group_ms = device_ms_by(arrivals[begin]);
        size_t end = begin + 1;
        while (end < count && device_ms_by(arrivals[end]) == group_ms)
            ++end;
        sim_receive(device, bytes + begin, end - begin, static_cast<uint32_t>(group_ms));
        begin = end;
    }
    pump.last_arrival_us = arrivals[count - 1];
    pump.awaiting_silence = true;
}

void pump_advance(LinePump &pump, BootLoader &device, int64_t now_us, std::vector<uint8_t> &out)
{
    if (!pump.started)
        return;
    int64_t now = now_us - pump.origin_us;
    declare_silence_before(pump, device, now);
    while (!device.tx.empty()) {
        const SimChunk &chunk = device.tx.front();
        int64_t due = std::max(static_cast<int64_t>(chunk.at_ms) * 1000, pump.tx_busy_until_us);
        if (due > now)
            break;
        out.insert(out.end(), chunk.bytes.begin(), chunk.bytes.end());
        pump.bytes_sent += chunk.bytes.size();
        pump.tx_busy_until_us = now + (pump.pace ? pump_wire_us(chunk.bytes.size()) : 0);
        note_sent(pump, chunk.bytes, pump.tx_busy_until_us);
        device.tx.pop_front();
    }
}

int64_t pump_next_event_us(const LinePump &pump, const BootLoader &device)
{
    if (!pump.started)
        return PUMP_NEVER;
    int64_t next = PUMP_NEVER;
    if (pump.awaiting_silence)
        next = pump.last_arrival_us + PUMP_SILENCE_US + 1;
    if (!device.tx.empty())
        next = std::min(next, std::max(static_cast<int64_t>(device.tx.front().at_ms) * 1000,
                                       pump.tx_busy_until_us));
    if (pump.reset_acknowledged)
        next = std::min(next, pump.linger_end_us);
    return next == PUMP_NEVER ? PUMP_NEVER : next + pump.origin_us;
}

bool pump_done(const LinePump &pump, int64_t now_us)
{
    return pump.reset_acknowledged && now_us - pump.origin_us >= pump.linger_end_us;
}
