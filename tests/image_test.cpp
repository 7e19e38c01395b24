#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "image/firmware_image.h"
#include "protocol/update_job.h"
#include "tests/support/report_capture.h"

namespace {

TEST(FirmwareImage, PaddedToWholeKilobytesAndNeverEmpty)
{
    EXPECT_EQ(padded_image_size(0), 1024);
    EXPECT_EQ(padded_image_size(1), 1024);
    EXPECT_EQ(padded_image_size(1024), 1024);
    EXPECT_EQ(padded_image_size(1025), 2048);
    EXPECT_EQ(padded_image_size(116500), 116736);
    EXPECT_EQ(padded_image_size(116736), 116736);
    EXPECT_EQ(padded_image_size(MAX_IMAGE_LEN - 1), MAX_IMAGE_LEN);
    EXPECT_EQ(padded_image_size(MAX_IMAGE_LEN), MAX_IMAGE_LEN);
}

TEST(FirmwareImage, LongerThanThePaddedSizeCanHoldIsRefused)
{
    const uint8_t byte = 0;  // never read: the length alone refuses it
    UpdateJob job{};
    EXPECT_FALSE(install_firmware_image(job, &byte, MAX_IMAGE_LEN + 1));
    EXPECT_EQ(job.image, nullptr);
}

TEST(FirmwareImage, FillIsZeroAndBaseAndSizeAreTraced)
{
    std::vector<uint8_t> image(1500, 0xFF);
    UpdateJob job{};
    clear_captured_reports();
    ASSERT_TRUE(install_firmware_image(job, image.data(), static_cast<int32_t>(image.size())));

    ASSERT_EQ(job.image_size, 2048);
    EXPECT_EQ(job.base_address, 0x08004000u);
    for (int32_t i = 0; i < job.image_size; ++i)
        ASSERT_EQ(job.image[i], i < 1500 ? 0xFF : 0x00) << "byte " << i;
    EXPECT_EQ(captured_trace, "\nFlash Image Base 0x8004000\nFlash Image Size 0x800 bytes\n");
    std::free(job.image);  // the tool keeps its one image for life; a test need not
}

}  // namespace
