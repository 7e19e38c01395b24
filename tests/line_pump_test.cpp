// The line pump's framing silence, in virtual time: a request that comes in
// the pieces a USB-serial adapter makes of it is taken whole, and a damaged
// or cut-off one is dropped before the tool repeats it.
#include <gtest/gtest.h>

#include "protocol/frame.h"
#include "sim/line_pump.h"
#include "tests/support/job_harness.h"

namespace {

const int64_t MS = 1000;

// A request to write the first `size` bytes of the sample image, varied bytes.
Bytes block_request(size_t size)
{
    return block_frame(SIM_FLASH_BASE, Bytes(sample_image().begin(), sample_image().begin() + size));
}

Bytes contact_request()
{
    return {0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x04, 0x42, 0x5A};
}

struct Line {
    BootLoader device;
    LinePump pump;
    std::vector<uint8_t> out;

    Line()
    {
        sim_init(device, SimConfig{});
        pump_init(pump, false, 0);
    }
};

// Bytes read at `at_us`, after the pump has done all it had to do before then.
void read_at(Line &line, const uint8_t *bytes, size_t count, int64_t at_us)
{
    while (pump_next_event_us(line.pump, line.device) < at_us)
        pump_advance(line.pump, line.device, pump_next_event_us(line.pump, line.device), line.out);
    pump_received(line.pump, line.device, bytes, count, at_us);
}

// Runs the pump's events up to `at_us`.
void run_until(Line &line, int64_t at_us)
{
    while (pump_next_event_us(line.pump, line.device) <= at_us)
        pump_advance(line.pump, line.device, pump_next_event_us(line.pump, line.device), line.out);
    pump_advance(line.pump, line.device, at_us, line.out);
}

TEST(LinePump, TakesABlockInAnAdaptersPiecesWithItsLastOneHeldBack)
{
    Line line;
    Bytes block = block_request(1024);
    // 62-byte pieces 6 ms apart (a full-speed adapter's packets), and the
    // short last piece held until the latency timer ran out, a tick late.
    const size_t piece = 62;
    int64_t at = 1000 * MS;
    size_t done = 0;
    while (block.size() - done > piece) {
        read_at(line, block.data() + done, piece, at);
        done += piece;
        at += 6 * MS;
    }
    read_at(line, block.data() + done, block.size() - done, at - 6 * MS + ADAPTER_GAP_MAX_US);
    run_until(line, at + 200 * MS);
    EXPECT_EQ(line.device.blocks_written, 1u);
    EXPECT_EQ(line.device.frames_rejected, 0u);
    ASSERT_FALSE(line.out.empty());  // acknowledged
    EXPECT_EQ(line.out[2], 0xF5);
}

TEST(LinePump, DropsADamagedOrCutOffRequestBeforeTheToolRepeatsIt)
{
    Bytes damaged = contact_request();
    damaged[5] ^= 0x10;
    Bytes cut_off = block_request(64);
    cut_off.resize(30);
    for (const Bytes &bad : {damaged, cut_off}) {
        Line line;
        read_at(line, bad.data(), bad.size(), 0);  // the rest of a cut-off one never comes
        run_until(line, PUMP_SILENCE_US);
        EXPECT_EQ(line.device.frames_rejected, bad.size() == damaged.size() ? 1u : 0u);  // cut off: not yet silent
        run_until(line, PUMP_SILENCE_US + 1);
        EXPECT_EQ(line.device.frames_rejected, 1u);
        EXPECT_TRUE(line.out.empty());  // no answer
        Bytes contact = contact_request();
        read_at(line, contact.data(), contact.size(), TOOL_REPEAT_GAP_US);
        run_until(line, TOOL_REPEAT_GAP_US + 20 * MS);
        EXPECT_EQ(line.device.requests[SIM_CONTACT], 1u);
        EXPECT_FALSE(line.out.empty());
    }
}

}  // namespace
