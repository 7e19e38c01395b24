// The CRC, the requests byte for byte, and which replies pass the trailer test.
#include <gtest/gtest.h>

#include <algorithm>

#include "protocol/frame.h"
#include "tests/support/job_harness.h"

namespace {

uint8_t buffer[FRAME_BUFFER_SIZE];
UpdateJob job;

TEST(Frame, CrcMatchesTheStandardCheckValues)
{
    const uint8_t digits[] = "123456789", high[] = {0xFF, 0x80};
    EXPECT_EQ(crc16_modbus(digits, 9), 0x4B37);
    EXPECT_EQ(crc16_modbus(high, 2), 0xE041);  // high bytes are not taken as negative
    EXPECT_EQ(crc16_modbus(nullptr, 0), 0xFFFF);
}

TEST(Frame, RequestsAreByteExact)
{
    auto built = [] { return Bytes(buffer, buffer + job.frame_len); };
    prepare_job(job, buffer);
    build_query_frame(job, 0x08004000, 4);
    EXPECT_EQ(built(), (Bytes{0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x04, 0x42, 0x5A}));
    build_query_frame(job, 0x08004000, 0x0001C800);
    EXPECT_EQ(built(), (Bytes{0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x01, 0xC8, 0x00, 0x45, 0x99}));
    build_reset_frame(job);
    EXPECT_EQ(built(), (Bytes{0x04, 0x2B, 0xF7, 0x6F, 0x77}));
    // A length with both bytes set, so that neither can stand in for the other.
    Bytes data(0x103);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7 + 3);
    build_block_frame(job, 0x08020400, data.data(), 0x103);
    Bytes block{0x04, 0x2B, 0xF5, 0x08, 0x02, 0x04, 0x00, 0x01, 0x03};
    block.insert(block.end(), data.begin(), data.end());
    EXPECT_EQ(built(), sealed(block));
}

TEST(Frame, AReplyPassesWithFourBytesOrMoreEndingInTheCrcOfTheRest)
{
    const struct {
        Bytes reply;
        bool accepted;
    } cases[] = {
        {sealed({0x12, 0x34}), true},
        {sealed({0x04, 0xAB, 0x04}), true},  // an exception reply is still a reply
        {sealed({0x04}), false},             // three bytes never pass
        {{}, false},
        {{0x04, 0x2B, 0xF7, 0x77, 0x6F}, false},  // trailer high byte first
        {{0x04, 0x2A, 0xF7, 0x6F, 0x77}, false},  // one bit damaged
    };
    prepare_job(job, buffer);
    for (const auto &test : cases) {
        std::copy(test.reply.begin(), test.reply.end(), buffer);
        job.frame_len = static_cast<int32_t>(test.reply.size());
        EXPECT_EQ(frame_ok(job), test.accepted) << ::testing::PrintToString(test.reply);
    }
}

}  // namespace
