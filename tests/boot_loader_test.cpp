// The simulated device must be right for the job's tests to mean anything.
#include <gtest/gtest.h>

#include <vector>

#include "protocol/frame.h"
#include "sim/boot_loader.h"

namespace {

std::vector<uint8_t> sealed(std::vector<uint8_t> bytes)
{
    uint16_t crc = crc16_modbus(bytes.data(), static_cast<int32_t>(bytes.size()));
    bytes.push_back(static_cast<uint8_t>(crc));
    bytes.push_back(static_cast<uint8_t>(crc >> 8));
    return bytes;
}

std::vector<uint8_t> block(uint32_t address, std::vector<uint8_t> data)
{
    std::vector<uint8_t> frame{0x04, 0x2B, 0xF5, static_cast<uint8_t>(address >> 24),
                               static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
                               static_cast<uint8_t>(address), static_cast<uint8_t>(data.size() >> 8),
                               static_cast<uint8_t>(data.size())};
    frame.insert(frame.end(), data.begin(), data.end());
    return sealed(frame);
}

std::vector<uint8_t> query(uint32_t address, uint32_t count)
{
    return sealed({0x04, 0x2B, 0xF6, static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
                   static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                   static_cast<uint8_t>(count >> 24), static_cast<uint8_t>(count >> 16),
                   static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)});
}

void feed(BootLoader &sim, const std::vector<uint8_t> &frame, uint32_t at_ms)
{
    sim_receive(sim, frame.data(), frame.size(), at_ms);
    sim_line_silent(sim);
}

bool reply_is_valid(const std::vector<uint8_t> &reply)
{
    return reply.size() >= 4 && sealed({reply.begin(), reply.end() - 2}) == reply;
}

TEST(BootLoader, StoresBlocksAndAnswersQueriesWithTheCrcHighByteFirst)
{
    BootLoader sim;
    sim_init(sim, SimConfig{});
    feed(sim, block(0x08004000, {0x12, 0x34, 0x56}), 0);
    ASSERT_EQ(sim.tx.size(), 1u);
    EXPECT_EQ(sim.tx[0].bytes.size(), 11u);
    EXPECT_TRUE(reply_is_valid(sim.tx[0].bytes));

    feed(sim, query(0x08004000, 3), 10);
    ASSERT_EQ(sim.tx.size(), 2u);
    const std::vector<uint8_t> &reply = sim.tx[1].bytes;
    ASSERT_EQ(reply.size(), 15u);
    EXPECT_TRUE(reply_is_valid(reply));
    const uint8_t stored[3] = {0x12, 0x34, 0x56};
    uint16_t crc = crc16_modbus(stored, 3);
    EXPECT_EQ(reply[11], crc >> 8);
    EXPECT_EQ(reply[12], crc & 0xFF);
    EXPECT_EQ(sim.tx[1].at_ms, 10u + sim.config.reply_delay_ms);
}

TEST(BootLoader, IgnoresDamagedForeignAndEarlyRequests)
{
    SimConfig config;
    config.power_up_ms = 500;
    BootLoader sim;
    sim_init(sim, config);
    feed(sim, query(0x08004000, 4), 499);  // not powered yet
    EXPECT_TRUE(sim.tx.empty());

    std::vector<uint8_t> damaged = query(0x08004000, 4);
    damaged[5] ^= 0x10;
    feed(sim, damaged, 600);
    std::vector<uint8_t> foreign = query(0x08004000, 4);
    foreign[0] = 0x05;
    feed(sim, sealed({foreign.begin(), foreign.end() - 2}), 610);
    EXPECT_TRUE(sim.tx.empty());
    EXPECT_EQ(sim.frames_rejected, 2u);

    feed(sim, query(0x08004000, 4), 620);
    EXPECT_EQ(sim.tx.size(), 1u);
}

TEST(BootLoader, QueryOutsideFlashGetsAnExceptionAndResetRestartsTheDevice)
{
    BootLoader sim;
    sim_init(sim, SimConfig{});
    feed(sim, query(0x08000000, 4), 0);
    ASSERT_EQ(sim.tx.size(), 1u);
    EXPECT_EQ(sim.tx[0].bytes[1], 0xAB);
    EXPECT_EQ(sim.tx[0].bytes.size(), 5u);

    feed(sim, sealed({0x04, 0x2B, 0xF7}), 100);
    EXPECT_EQ(sim.resets, 1u);
    feed(sim, query(0x08004000, 4), 150);  // still restarting
    EXPECT_EQ(sim.tx.size(), 2u);
    feed(sim, query(0x08004000, 4), 100 + sim.config.reply_delay_ms + sim.config.restart_ms);
    EXPECT_EQ(sim.tx.size(), 3u);
}

TEST(BootLoader, BadFlashByteTakesWrongOnlyAsOftenAsConfigured)
{
    SimConfig config;
    config.bad_flash_address = 0x08004001;
    config.bad_flash_writes = 1;
    BootLoader sim;
    sim_init(sim, config);
    const std::vector<uint8_t> data{0xA0, 0xB0, 0xC0};
    feed(sim, block(0x08004000, data), 0);
    EXPECT_FALSE(sim_flash_holds(sim, data.data(), data.size()));
    feed(sim, block(0x08004000, data), 10);
    EXPECT_FALSE(sim_flash_holds(sim, data.data(), data.size()));  // erased 0xFF beyond, not zero
    std::vector<uint8_t> whole(1024, 0);
    std::copy(data.begin(), data.end(), whole.begin());
    feed(sim, block(0x08004000, whole), 20);
    EXPECT_TRUE(sim_flash_holds(sim, data.data(), data.size()));
}

TEST(BootLoader, RequestsArrivingInPiecesAndBackToBackAreBothTaken)
{
    BootLoader sim;
    sim_init(sim, SimConfig{});
    std::vector<uint8_t> two = query(0x08004000, 4);
    std::vector<uint8_t> second = query(0x08004004, 4);
    two.insert(two.end(), second.begin(), second.end());
    sim_receive(sim, two.data(), 7, 0);
    sim_receive(sim, two.data() + 7, two.size() - 7, 1);
    EXPECT_EQ(sim.tx.size(), 2u);
    EXPECT_EQ(sim.requests[SIM_CONTACT], 2u);
}

TEST(BootLoader, PacedRepliesNeverOverlapOnTheLine)
{
    SimConfig config;
    config.pace = true;
    config.rules.push_back({SIM_CONTACT, 1, FAULT_LATE});
    BootLoader sim;
    sim_init(sim, config);
    feed(sim, query(0x08004000, 4), 0);
    feed(sim, query(0x08004000, 4), 1);
    ASSERT_EQ(sim.tx.size(), 2u);
    EXPECT_EQ(sim.tx[0].at_ms, config.reply_delay_ms + config.late_ms);
    EXPECT_GE(sim.tx[1].at_ms, sim.tx[0].at_ms + sim_wire_ms(15));
    EXPECT_EQ(sim_wire_ms(1035), 99u);
}

}  // namespace
