// The simulated device, where a fault of its own would let a fault of the
// tool through: it must refuse a request with a wrong trailer, answer a
// query from what its flash really holds, and call the flash good only when
// it holds the image, zero-padded.
#include <gtest/gtest.h>

#include "protocol/frame.h"
#include "tests/support/job_harness.h"

namespace {

// One request across the line, then silence.
void feed(BootLoader &sim, const Bytes &frame, uint32_t at_ms)
{
    sim_receive(sim, frame.data(), frame.size(), at_ms);
    sim_line_silent(sim);
}

TEST(Simulator, TakesOnlyIntactRequestsAndJudgesItsFlashByWhatItHolds)
{
    SimConfig config;
    config.bad_flash_address = SIM_FLASH_BASE + 1;
    config.bad_flash_writes = 1;
    BootLoader sim;
    sim_init(sim, config);
    const Bytes data{0xA0, 0xB0, 0xC0};
    Bytes damaged = block_frame(SIM_FLASH_BASE, data);
    damaged[9] ^= 0x01;
    feed(sim, damaged, 0);
    feed(sim, sealed({0x05, 0x2B, 0xF7}), 10);  // a reset for another node
    EXPECT_TRUE(sim.tx.empty());  // neither is taken

    feed(sim, block_frame(SIM_FLASH_BASE, data), 20);  // the bad byte's first write goes wrong
    feed(sim, sealed({0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x03}), 30);
    ASSERT_EQ(sim.tx.size(), 2u);
    const uint8_t stored[3] = {0xA0, 0xB1, 0xC0};
    uint16_t crc = crc16_modbus(stored, 3);
    EXPECT_EQ(sim.tx[1].bytes, sealed({0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x03,
                                       static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)}));
    EXPECT_FALSE(sim_flash_holds(sim, data.data(), data.size()));

    feed(sim, block_frame(SIM_FLASH_BASE, data), 40);
    EXPECT_FALSE(sim_flash_holds(sim, data.data(), data.size()));  // erased beyond, where zeros belong
    Bytes padded = data;
    padded.resize(1024, 0x00);
    feed(sim, block_frame(SIM_FLASH_BASE, padded), 50);
    EXPECT_TRUE(sim_flash_holds(sim, data.data(), data.size()));
}

}  // namespace
