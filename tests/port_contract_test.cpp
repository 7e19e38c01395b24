// What the update job relies on from the serial port, checked over a real
// line with a peer at the far end. Wall clock, with wide margins.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "protocol/frame.h"
#include "serial/port.h"
#include "tests/support/line_peer.h"
#include "tests/support/test_line.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point start)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class PortContract : public ::testing::Test {
protected:
    PortHandle port = INVALID_PORT;

    void SetUp() override
    {
        port = open_port(test_line_path());
        ASSERT_NE(port, INVALID_PORT) << test_line_path();
        ASSERT_EQ(configure_port(port, 115200, READ_INTERVAL_MS), 0);
        while (!read_once().empty()) {
            // whatever an earlier test left on the line
        }
    }

    void TearDown() override { close_port(port); }

    void send(const Bytes &bytes)
    {
        ASSERT_EQ(port_write(port, bytes.data(), static_cast<int32_t>(bytes.size())),
                  static_cast<int32_t>(bytes.size()));
    }

    Bytes read_once(int32_t count = FRAME_BUFFER_SIZE)
    {
        uint8_t buffer[FRAME_BUFFER_SIZE];
        int32_t n = port_read(port, buffer, count);
        return Bytes(buffer, buffer + (n > 0 ? n : 0));
    }
};

TEST_F(PortContract, ReadsEndOnSilenceAfterBytesOrAfter100msWithout)
{
    Clock::time_point start = Clock::now();
    EXPECT_TRUE(read_once().empty());
    EXPECT_GE(ms_since(start), 90);
    EXPECT_LT(ms_since(start), 1000);

    send({PEER_BURST});
    start = Clock::now();
    EXPECT_EQ(read_once(), peer_bytes(0x01, PEER_BURST_LEN));
    EXPECT_LT(ms_since(start), 95);  // the silence after the burst, not the 100 ms limit

    send({PEER_SPLIT});  // a pause over 20 ms inside a reply makes two reads
    EXPECT_EQ(read_once(), peer_bytes(0x01, PEER_BURST_LEN));
    EXPECT_EQ(read_once(), peer_bytes(0x10, PEER_BURST_LEN));
}

TEST_F(PortContract, ReadNeverReturnsMoreThanAskedFor)
{
    send({PEER_LONG});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Bytes all = peer_bytes(0, PEER_LONG_LEN);
    EXPECT_EQ(read_once(), Bytes(all.begin(), all.begin() + FRAME_BUFFER_SIZE));
    EXPECT_EQ(read_once(), Bytes(all.begin() + FRAME_BUFFER_SIZE, all.end()));
    EXPECT_TRUE(read_once(5).empty());
}

TEST_F(PortContract, BlockSizedWriteArrivesWhole)
{
    Bytes block = peer_bytes(7, PEER_CRC_LEN);
    uint16_t crc = crc16_modbus(block.data(), PEER_CRC_LEN);
    block.insert(block.begin(), PEER_CRC);
    send(block);
    port_flush(port);
    EXPECT_EQ(read_once(), (Bytes{static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)}));
}

TEST_F(PortContract, PurgeDiscardsWhatIsWaiting)
{
    send({PEER_BURST});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    port_purge(port);
    EXPECT_TRUE(read_once().empty());
    send({PEER_BURST});  // and the port still works afterwards
    EXPECT_EQ(read_once().size(), static_cast<size_t>(PEER_BURST_LEN));
}

TEST_F(PortContract, OpenIsExclusiveAndAnAbsentPortDoesNotOpen)
{
    const char *why_not = "";
    PortHandle second = open_port(test_line_path());
    if (second_open_fails(&why_not))
        EXPECT_EQ(second, INVALID_PORT);
    else if (second != INVALID_PORT)
        std::printf("note: %s\n", why_not);
    else
        ADD_FAILURE() << "the second open failed, no longer as noted: " << why_not;
    if (second != INVALID_PORT)
        close_port(second);
    close_port(port);  // once closed, the port can be had again
    port = open_port(test_line_path());
    EXPECT_NE(port, INVALID_PORT);
    EXPECT_EQ(open_port("/nonexistent/serial-port"), INVALID_PORT);
}

}  // namespace
