#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "protocol/frame.h"
#include "protocol/update_job.h"

namespace {

struct FrameFixture : ::testing::Test {
    uint8_t buffer[FRAME_BUFFER_SIZE] = {};
    UpdateJob job{};

    void SetUp() override
    {
        job.frame = buffer;
        job.node_address = NODE_ADDRESS;
    }

    std::vector<uint8_t> frame() const { return {buffer, buffer + job.frame_len}; }

    void load_reply(const std::vector<uint8_t> &bytes)
    {
        std::memcpy(buffer, bytes.data(), bytes.size());
        job.frame_len = static_cast<int32_t>(bytes.size());
    }
};

uint16_t crc_of(const std::vector<uint8_t> &bytes)
{
    return crc16_modbus(bytes.data(), static_cast<int32_t>(bytes.size()));
}

TEST(Crc16Modbus, MatchesTheStandardCheckValues)
{
    const char *check = "123456789";
    EXPECT_EQ(crc16_modbus(reinterpret_cast<const uint8_t *>(check), 9), 0x4B37);
    EXPECT_EQ(crc_of({0x04}), 0x83BE);
    EXPECT_EQ(crc16_modbus(nullptr, 0), 0xFFFF);
    EXPECT_EQ(crc16_modbus(nullptr, -5), 0xFFFF);
    // High bytes must not be taken as negative values.
    EXPECT_EQ(crc_of({0xFF, 0x80}), 0xE041);
}

TEST_F(FrameFixture, ContactQueryIsByteExact)
{
    build_query_frame(job, 0x08004000, 4);
    EXPECT_EQ(frame(), (std::vector<uint8_t>{0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x04,
                                             0x42, 0x5A}));
}

TEST_F(FrameFixture, VerificationQueryIsByteExact)
{
    build_query_frame(job, 0x08004000, 0x0001C800);
    EXPECT_EQ(frame(), (std::vector<uint8_t>{0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x01, 0xC8, 0x00,
                                             0x45, 0x99}));
}

TEST_F(FrameFixture, ResetIsByteExact)
{
    build_reset_frame(job);
    EXPECT_EQ(frame(), (std::vector<uint8_t>{0x04, 0x2B, 0xF7, 0x6F, 0x77}));
}

TEST_F(FrameFixture, FullBlockWriteCarriesHeaderDataAndTrailer)
{
    std::vector<uint8_t> data(1024);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7 + 3);
    build_block_frame(job, 0x08020400, data.data(), 1024);

    ASSERT_EQ(job.frame_len, 1035);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 9),
              (std::vector<uint8_t>{0x04, 0x2B, 0xF5, 0x08, 0x02, 0x04, 0x00, 0x04, 0x00}));
    EXPECT_EQ(std::vector<uint8_t>(buffer + 9, buffer + 1033), data);
    uint16_t crc = crc16_modbus(buffer, 1033);
    EXPECT_EQ(buffer[1033], crc & 0xFF);
    EXPECT_EQ(buffer[1034], crc >> 8);
}

TEST_F(FrameFixture, ShortBlockWriteHasItsLengthBigEndian)
{
    const uint8_t data[3] = {0xAA, 0xBB, 0xCC};
    build_block_frame(job, 0x08004400, data, 3);
    ASSERT_EQ(job.frame_len, 14);
    EXPECT_EQ(buffer[7], 0x00);
    EXPECT_EQ(buffer[8], 0x03);
    EXPECT_TRUE(frame_ok(job));
}

TEST_F(FrameFixture, AcceptsAnyFrameWhoseTrailerIsTheCrcOfWhatPrecedesIt)
{
    // Four bytes: two of content, CRC low byte first.
    uint16_t crc = crc_of({0x12, 0x34});
    load_reply({0x12, 0x34, static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)});
    EXPECT_TRUE(frame_ok(job));

    // A MODBUS exception reply, or a frame for another node, is still a reply.
    std::vector<uint8_t> exception{0x04, 0xAB, 0x04};
    uint16_t e = crc_of(exception);
    exception.push_back(static_cast<uint8_t>(e));
    exception.push_back(static_cast<uint8_t>(e >> 8));
    load_reply(exception);
    EXPECT_TRUE(frame_ok(job));
}

TEST_F(FrameFixture, RejectsShortFramesSwappedTrailersAndDamage)
{
    // Three bytes or fewer never pass, even when they end in a matching CRC.
    uint16_t crc = crc_of({0x04});
    load_reply({0x04, static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)});
    EXPECT_FALSE(frame_ok(job));
    load_reply({0xFF, 0xFF});
    EXPECT_FALSE(frame_ok(job));
    job.frame_len = 0;
    EXPECT_FALSE(frame_ok(job));

    build_reset_frame(job);  // 04 2B F7 6F 77
    EXPECT_TRUE(frame_ok(job));
    std::swap(buffer[3], buffer[4]);
    EXPECT_FALSE(frame_ok(job));
    std::swap(buffer[3], buffer[4]);
    buffer[1] ^= 0x01;
    EXPECT_FALSE(frame_ok(job));
}

}  // namespace
