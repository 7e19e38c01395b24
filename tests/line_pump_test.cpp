// The line timing of device-sim, in virtual time: when bytes reach the
// simulated device, when the line counts as silent, when replies go out, and
// when a reset device is done lingering.
#include <gtest/gtest.h>

#include <vector>

#include "protocol/frame.h"
#include "sim/boot_loader.h"
#include "sim/line_pump.h"

namespace {

const int64_t T0 = 7000000;  // an arbitrary clock reading for the tool's first byte

std::vector<uint8_t> sealed(std::vector<uint8_t> bytes)
{
    uint16_t crc = crc16_modbus(bytes.data(), static_cast<int32_t>(bytes.size()));
    bytes.push_back(static_cast<uint8_t>(crc));
    bytes.push_back(static_cast<uint8_t>(crc >> 8));
    return bytes;
}

std::vector<uint8_t> contact()
{
    return sealed({0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x04});
}

std::vector<uint8_t> reset()
{
    return sealed({0x04, 0x2B, 0xF7});
}

std::vector<uint8_t> block(uint32_t address)
{
    std::vector<uint8_t> frame{0x04, 0x2B, 0xF5, static_cast<uint8_t>(address >> 24),
                               static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
                               static_cast<uint8_t>(address), 0x04, 0x00};
    for (int i = 0; i < 1024; ++i)
        frame.push_back(static_cast<uint8_t>(i * 13 + 1));
    return sealed(frame);
}

struct Line {
    BootLoader device;
    LinePump pump;
};

void start(Line &line, SimConfig config, uint32_t linger_ms = 1000)
{
    sim_init(line.device, config);
    pump_init(line.pump, config.pace, linger_ms);
}

void receive(Line &line, const std::vector<uint8_t> &bytes, int64_t at_us)
{
    pump_received(line.pump, line.device, bytes.data(), bytes.size(), at_us);
}

std::vector<uint8_t> advance(Line &line, int64_t at_us)
{
    std::vector<uint8_t> out;
    pump_advance(line.pump, line.device, at_us, out);
    return out;
}

TEST(LinePump, NothingHappensBeforeTheToolsFirstByte)
{
    Line line;
    start(line, SimConfig{});
    EXPECT_EQ(pump_next_event_us(line.pump, line.device), PUMP_NEVER);
    EXPECT_TRUE(advance(line, T0).empty());
    EXPECT_FALSE(line.pump.started);
}

TEST(LinePump, AnswersAfterTheReplyDelayCountedFromTheFirstByte)
{
    Line line;
    start(line, SimConfig{});
    receive(line, contact(), T0);
    EXPECT_EQ(line.device.requests[SIM_CONTACT], 1u);
    EXPECT_EQ(pump_next_event_us(line.pump, line.device), T0 + 2000);
    EXPECT_TRUE(advance(line, T0 + 1999).empty());
    std::vector<uint8_t> reply = advance(line, T0 + 2000);
    ASSERT_EQ(reply.size(), 15u);
    EXPECT_EQ(sealed({reply.begin(), reply.end() - 2}), reply);
    EXPECT_EQ(line.pump.bytes_sent, 15u);
}

TEST(LinePump, ARequestEndingInsideAMillisecondIsAnsweredNoSoonerThanTheDelay)
{
    Line line;
    start(line, SimConfig{});
    receive(line, {0x00}, T0);  // sets the origin; rejected, then the line falls silent
    advance(line, T0 + 6000);
    receive(line, contact(), T0 + 10400);
    EXPECT_TRUE(advance(line, T0 + 12399).empty());
    EXPECT_TRUE(advance(line, T0 + 12999).empty());
    EXPECT_EQ(advance(line, T0 + 13000).size(), 15u);
}

TEST(LinePump, SilenceOfMoreThanFiveMillisecondsDropsAPartialRequest)
{
    std::vector<uint8_t> request = contact();
    std::vector<uint8_t> head(request.begin(), request.begin() + 6);
    std::vector<uint8_t> tail(request.begin() + 6, request.end());

    Line quick;
    start(quick, SimConfig{});
    receive(quick, head, T0);
    advance(quick, T0 + 5000);
    receive(quick, tail, T0 + 5000);
    EXPECT_EQ(quick.device.requests[SIM_CONTACT], 1u);
    EXPECT_EQ(quick.device.frames_rejected, 0u);

    Line slow;
    start(slow, SimConfig{});
    receive(slow, head, T0);
    EXPECT_EQ(pump_next_event_us(slow.pump, slow.device), T0 + 5001);
    advance(slow, T0 + 5001);
    receive(slow, tail, T0 + 5001);
    EXPECT_EQ(slow.device.requests[SIM_CONTACT], 0u);
    EXPECT_EQ(slow.device.frames_rejected, 2u);  // the lone head, then the headless tail
}

TEST(LinePump, SilenceIsNoticedEvenWhenTheNextBytesWakeTheLoopFirst)
{
    std::vector<uint8_t> request = contact();
    Line line;
    start(line, SimConfig{});
    receive(line, {request.begin(), request.begin() + 6}, T0);
    receive(line, request, T0 + 8000);  // no advance in between
    EXPECT_EQ(line.device.requests[SIM_CONTACT], 1u);
    EXPECT_EQ(line.device.frames_rejected, 1u);
}

TEST(LinePump, PacedBlockArrivesOneByteTimeAfterAnotherAndIsAnsweredOnlyThen)
{
    SimConfig config;
    config.pace = true;
    Line line;
    start(line, config);
    receive(line, block(SIM_FLASH_BASE), T0);
    // 1034 byte times after the first byte: 98.7 ms, by 99 ms; the reply 2 ms later.
    EXPECT_EQ(pump_wire_us(1034), 98732);
    EXPECT_EQ(line.pump.last_arrival_us, 98732);
    EXPECT_EQ(pump_next_event_us(line.pump, line.device), T0 + 101000);
    EXPECT_TRUE(advance(line, T0 + 100999).empty());
    EXPECT_EQ(advance(line, T0 + 101000).size(), 11u);
    EXPECT_EQ(line.device.blocks_written, 1u);
}

TEST(LinePump, PacedBytesStillOnTheWireAreNoSilence)
{
    std::vector<uint8_t> request = block(SIM_FLASH_BASE);
    std::vector<uint8_t> head(request.begin(), request.begin() + 600);
    std::vector<uint8_t> tail(request.begin() + 600, request.end());
    for (bool pace : {false, true}) {
        SimConfig config;
        config.pace = pace;
        Line line;
        start(line, config);
        receive(line, head, T0);
        advance(line, T0 + 10000);  // 600 paced bytes take 57 ms: still arriving
        receive(line, tail, T0 + 10000);
        EXPECT_EQ(line.device.blocks_written, pace ? 1u : 0u) << (pace ? "paced" : "unpaced");
    }
}

// A paced line on which two contact requests arrived back to back at T0.
void receive_two_contacts(Line &line)
{
    SimConfig config;
    config.pace = true;
    config.reply_delay_ms = 0;
    start(line, config);
    std::vector<uint8_t> two = contact();
    std::vector<uint8_t> second = contact();
    two.insert(two.end(), second.begin(), second.end());
    receive(line, two, T0);
}

TEST(LinePump, PacedRepliesKeepTheLineBusyForTheirWireTime)
{
    Line line;
    receive_two_contacts(line);
    ASSERT_EQ(line.device.requests[SIM_CONTACT], 2u);
    int64_t first_at = pump_next_event_us(line.pump, line.device);
    EXPECT_EQ(advance(line, first_at).size(), 15u);
    int64_t second_at = pump_next_event_us(line.pump, line.device);
    EXPECT_GE(second_at - first_at, pump_wire_us(15));
    EXPECT_TRUE(advance(line, second_at - 1).empty());
    EXPECT_EQ(advance(line, second_at).size(), 15u);
}

TEST(LinePump, AReplyWrittenLateStillKeepsTheNextOneBack)
{
    Line line;
    receive_two_contacts(line);
    int64_t late = pump_next_event_us(line.pump, line.device) + 1500;  // the loop woke up late
    EXPECT_EQ(advance(line, late).size(), 15u);
    EXPECT_EQ(pump_next_event_us(line.pump, line.device), late + pump_wire_us(15));
    EXPECT_TRUE(advance(line, late + pump_wire_us(15) - 1).empty());
}

TEST(LinePump, PowersUpCountingFromTheFirstByte)
{
    SimConfig config;
    config.power_up_ms = 1000;
    Line line;
    start(line, config);
    receive(line, contact(), T0);
    advance(line, T0 + 999000);
    receive(line, contact(), T0 + 999000);
    EXPECT_EQ(line.device.bytes_ignored, 26u);
    advance(line, T0 + 1000000);
    receive(line, contact(), T0 + 1000000);
    EXPECT_EQ(line.device.requests[SIM_CONTACT], 1u);
}

TEST(LinePump, LingersAfterTheResetAcknowledgementThenIsDone)
{
    Line line;
    start(line, SimConfig{}, 500);
    receive(line, reset(), T0);
    EXPECT_EQ(advance(line, T0 + 2000), reset());
    EXPECT_TRUE(line.pump.reset_acknowledged);
    advance(line, T0 + 6000);  // past the silence after the request
    EXPECT_EQ(pump_next_event_us(line.pump, line.device), T0 + 502000);
    EXPECT_FALSE(pump_done(line.pump, T0 + 501999));
    EXPECT_TRUE(pump_done(line.pump, T0 + 502000));
}

TEST(LinePump, OnlyAnIntactResetReplyCountsAsAcknowledged)
{
    const struct {
        const char *fault;
        SimFault kind;
        bool acknowledged;
    } cases[] = {{"drop", FAULT_DROP, false},
                 {"corrupt", FAULT_CORRUPT, false},
                 {"exception", FAULT_EXCEPTION, false},
                 {"split", FAULT_SPLIT, true},
                 {"garbage", FAULT_GARBAGE, true}};
    for (const auto &test : cases) {
        SimConfig config;
        config.rules.push_back(SimFaultRule{SIM_RESET, 1, test.kind});
        Line line;
        start(line, config);
        receive(line, reset(), T0);
        advance(line, T0 + 100000);
        advance(line, T0 + 200000);
        EXPECT_EQ(line.pump.reset_acknowledged, test.acknowledged) << test.fault;
        EXPECT_EQ(pump_done(line.pump, T0 + 60000000), test.acknowledged) << test.fault;
    }
}

}  // namespace
