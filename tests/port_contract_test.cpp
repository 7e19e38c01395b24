// What the update job relies on from the serial port, checked over a real
// line with a peer at the far end. Wall clock, with wide margins.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "protocol/frame.h"
#include "serial/port.h"
#include "tests/support/line_peer.h"
#include "tests/support/test_line.h"

namespace {

using Clock = std::chrono::steady_clock;

long elapsed_ms(Clock::time_point since)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

class PortContract : public ::testing::Test {
protected:
    PortHandle port = INVALID_PORT;
    uint8_t buffer[FRAME_BUFFER_SIZE] = {};

    void SetUp() override
    {
        port = open_port(test_line_path());
        ASSERT_NE(port, INVALID_PORT) << test_line_path();
        ASSERT_EQ(configure_port(port, 115200, READ_INTERVAL_MS), 0);
        while (port_read(port, buffer, FRAME_BUFFER_SIZE) > 0) {
            // whatever an earlier test left on the line
        }
    }

    void TearDown() override { close_port(port); }

    void command(char what)
    {
        uint8_t byte = static_cast<uint8_t>(what);
        ASSERT_EQ(port_write(port, &byte, 1), 1);
    }

    std::vector<uint8_t> read_once(int32_t count = FRAME_BUFFER_SIZE)
    {
        int32_t n = port_read(port, buffer, count);
        return std::vector<uint8_t>(buffer, buffer + (n > 0 ? n : 0));
    }
};

std::vector<uint8_t> counting(uint8_t first, int length)
{
    std::vector<uint8_t> bytes;
    for (int i = 0; i < length; ++i)
        bytes.push_back(static_cast<uint8_t>(first + i));
    return bytes;
}

TEST_F(PortContract, SilentLineReadReturnsNothingAfterAbout100ms)
{
    Clock::time_point start = Clock::now();
    EXPECT_EQ(port_read(port, buffer, FRAME_BUFFER_SIZE), 0);
    long took = elapsed_ms(start);
    EXPECT_GE(took, 90);
    EXPECT_LT(took, 1000);
}

TEST_F(PortContract, BurstComesBackFromOneRead)
{
    command(PEER_BURST);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(read_once(), counting(0x01, PEER_BURST_LEN));
    // It ends on the silence after the burst, not on the 100 ms limit.
    EXPECT_LT(elapsed_ms(start), 95);
}

TEST_F(PortContract, PauseOver20msInAReplyMakesTwoReads)
{
    command(PEER_SPLIT);
    EXPECT_EQ(read_once(), counting(0x11, PEER_SPLIT_FIRST));
    EXPECT_EQ(read_once(), counting(0x18, PEER_SPLIT_SECOND));
}

TEST_F(PortContract, ReadNeverReturnsMoreThanAskedFor)
{
    command(PEER_LONG);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::vector<uint8_t> first = read_once(FRAME_BUFFER_SIZE);
    ASSERT_EQ(first.size(), static_cast<size_t>(FRAME_BUFFER_SIZE));
    for (size_t i = 0; i < first.size(); ++i)
        ASSERT_EQ(first[i], static_cast<uint8_t>(i)) << "byte " << i;
    std::vector<uint8_t> rest = read_once(FRAME_BUFFER_SIZE);
    ASSERT_EQ(rest.size(), static_cast<size_t>(PEER_LONG_LEN - FRAME_BUFFER_SIZE));
    EXPECT_EQ(rest[0], static_cast<uint8_t>(FRAME_BUFFER_SIZE));
    EXPECT_EQ(read_once(5).size(), 0u);
}

TEST_F(PortContract, BlockSizedWriteArrivesWhole)
{
    std::vector<uint8_t> request{static_cast<uint8_t>(PEER_COUNT), 0x04, 0x0B};  // 1035 bytes follow
    for (int i = 0; i < 1035; ++i)
        request.push_back(static_cast<uint8_t>(i * 31 + 7));
    ASSERT_EQ(port_write(port, request.data(), static_cast<int32_t>(request.size())),
              static_cast<int32_t>(request.size()));
    port_flush(port);
    uint16_t crc = crc16_modbus(request.data() + 3, 1035);
    EXPECT_EQ(read_once(), (std::vector<uint8_t>{0x04, 0x0B, static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)}));
}

TEST_F(PortContract, PurgeDiscardsWhatIsWaiting)
{
    command(PEER_NOISE);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    port_purge(port);
    EXPECT_EQ(read_once().size(), 0u);
    command(PEER_BURST);  // and the port still works afterwards
    EXPECT_EQ(read_once().size(), static_cast<size_t>(PEER_BURST_LEN));
}

TEST_F(PortContract, SecondExclusiveOpen)
{
    PortHandle second = open_port(test_line_path());
    if (second_open_fails()) {
        EXPECT_EQ(second, INVALID_PORT);
    } else {
        std::printf("note: %s\n", platform_difference_note());
        EXPECT_NE(second, INVALID_PORT);
    }
    if (second != INVALID_PORT)
        close_port(second);
    // Once the first is closed, the port can be had again.
    close_port(port);
    port = open_port(test_line_path());
    EXPECT_NE(port, INVALID_PORT);
}

TEST(Port, AbsentPortDoesNotOpen)
{
    EXPECT_EQ(open_port("/nonexistent/serial-port"), INVALID_PORT);
}

}  // namespace
