// The relay's line timing in virtual time.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "tests/relay/line_relay.h"

namespace {

struct Packet {
    double at_us;
    std::vector<uint8_t> bytes;
};

// Sends each burst at its time and collects every packet at the moment it is due.
std::vector<Packet> run(const RelayTiming &timing, const std::vector<std::pair<double, int>> &bursts)
{
    RelayDirection line;
    std::vector<Packet> packets;
    uint8_t next = 0;
    for (size_t b = 0; b <= bursts.size(); ++b) {
        double until = b < bursts.size() ? bursts[b].first : INFINITY;
        Packet packet;
        while (relay_next_due(line, timing) < until) {
            double due = relay_next_due(line, timing);
            EXPECT_FALSE(relay_take(line, timing, due - 0.5, packet.bytes, packet.at_us));
            EXPECT_TRUE(relay_take(line, timing, due, packet.bytes, packet.at_us));
            packets.push_back(packet);
        }
        if (b == bursts.size())
            break;
        std::vector<uint8_t> burst;
        for (int i = 0; i < bursts[b].second; ++i)
            burst.push_back(next++);
        relay_send(line, timing, bursts[b].first, burst.data(), burst.size());
    }
    uint8_t expected = 0;  // every byte once, in order
    for (const Packet &packet : packets)
        for (uint8_t value : packet.bytes)
            EXPECT_EQ(value, expected++);
    EXPECT_EQ(line.bytes, std::accumulate(bursts.begin(), bursts.end(), 0u,
                                          [](unsigned sum, const auto &burst) { return sum + burst.second; }));
    EXPECT_EQ(line.packets, packets.size());
    return packets;
}

void expect_block_timing(int bits)
{
    RelayTiming timing;
    timing.bits_per_char = bits;
    const double start = 5000, char_us = bits * 1e6 / 115200;
    std::vector<Packet> packets = run(timing, {{start, 1035}});
    ASSERT_EQ(packets.size(), 17u);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(packets[i].bytes.size(), 62u);
        EXPECT_NEAR(packets[i].at_us, start + 62 * (i + 1) * char_us, 0.01) << "packet " << i;
    }
    EXPECT_EQ(packets[16].bytes.size(), 43u);
    EXPECT_NEAR(packets[16].at_us, start + 993 * char_us + 16000, 0.01);
}

TEST(LineRelay, BlockArrivesInFullPacketsAndATailAfterTheLatency)
{
    expect_block_timing(11);  // 8E1
    expect_block_timing(10);  // 8N1
}

TEST(LineRelay, ExactlyFullPacketArrivesWithItsLastByte)
{
    std::vector<Packet> packets = run(RelayTiming{}, {{0, 62}});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_NEAR(packets[0].at_us, 62 * 11e6 / 115200, 0.01);
}

TEST(LineRelay, ShortReplyArrivesOnceTheLatencyRunsOut)
{
    std::vector<Packet> packets = run(RelayTiming{}, {{1000, 15}});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].bytes.size(), 15u);
    EXPECT_NEAR(packets[0].at_us, 1000 + 11e6 / 115200 + 16000, 0.01);
}

TEST(LineRelay, BurstsMergeOnlyWhileTheAdapterWaits)
{
    const double char_us = 11e6 / 115200;
    std::vector<Packet> apart = run(RelayTiming{}, {{0, 10}, {30000, 10}});
    ASSERT_EQ(apart.size(), 2u);
    EXPECT_NEAR(apart[1].at_us, 30000 + char_us + 16000, 0.01);

    std::vector<Packet> close = run(RelayTiming{}, {{0, 10}, {10000, 10}});
    ASSERT_EQ(close.size(), 1u);
    EXPECT_EQ(close[0].bytes.size(), 20u);

    // The timer cuts a packet out of a burst still on the wire.
    std::vector<Packet> cut = run(RelayTiming{}, {{0, 10}, {15000, 60}});
    ASSERT_EQ(cut.size(), 2u);
    EXPECT_EQ(cut[0].bytes.size(), 21u);
    EXPECT_NEAR(cut[0].at_us, char_us + 16000, 0.01);

    // The second burst waits for the wire still busy with the first.
    std::vector<Packet> queued = run(RelayTiming{}, {{0, 100}, {5000, 100}});
    ASSERT_EQ(queued.size(), 4u);
    EXPECT_NEAR(queued[2].at_us, 186 * char_us, 0.01);
    EXPECT_EQ(queued[3].bytes.size(), 14u);
    EXPECT_NEAR(queued[3].at_us, 187 * char_us + 16000, 0.01);
}

}  // namespace
