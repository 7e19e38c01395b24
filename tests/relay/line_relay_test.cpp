// The relay's line timing in virtual time; a whole block through it is in line_stats_test.cpp.
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

// Packet sizes and times (µs) of a few bursts (time, byte count) at 8E1.
void expect_packets(const std::vector<std::pair<double, int>> &bursts, const std::vector<std::pair<size_t, double>> &want)
{
    std::vector<Packet> packets = run(RelayTiming{}, bursts);
    ASSERT_EQ(packets.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(packets[i].bytes.size(), want[i].first) << "packet " << i;
        EXPECT_NEAR(packets[i].at_us, want[i].second, 0.01) << "packet " << i;
    }
}

TEST(LineRelay, ShortBurstsWaitForTheLatencyAndMergeOnlyWhileTheyWait)
{
    const double c = 11e6 / 115200;  // one character's time
    expect_packets({{0, 62}}, {{62, 62 * c}});                       // a full packet goes with its last byte
    expect_packets({{1000, 15}}, {{15, 1000 + c + 16000}});          // a reply alone waits the latency
    expect_packets({{0, 10}, {30000, 10}}, {{10, c + 16000}, {10, 30000 + c + 16000}});
    expect_packets({{0, 10}, {10000, 10}}, {{20, c + 16000}});       // the second came while the first waited
    expect_packets({{0, 10}, {15000, 60}}, {{21, c + 16000}, {49, 15000 + 12 * c + 16000}});  // cut by the timer
    // The second burst waits for the wire still busy with the first.
    expect_packets({{0, 100}, {5000, 100}}, {{62, 62 * c}, {62, 124 * c}, {62, 186 * c}, {14, 187 * c + 16000}});
}

}  // namespace
