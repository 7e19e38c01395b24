// What surrounds the job in the tool: the image it carries, its port list,
// what a press of "Update Device" and the end of an update do to the port,
// and the text of its fatal box.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "app/update_control.h"
#include "image/firmware_image.h"
#include "protocol/frame.h"
#include "report/report.h"
#include "serial/port.h"
#include "serial/port_table.h"
#include "tests/support/job_harness.h"

// A port that only records what is done to it; /dev/absent cannot be opened.
static std::string port_log;

PortHandle open_port(const char *path)
{
    port_log += std::string("open ") + path + "; ";
    return std::strcmp(path, "/dev/absent") == 0 ? INVALID_PORT : 7;
}

int32_t configure_port(PortHandle port, uint32_t baud, uint32_t interval_ms)
{
    port_log += "configure " + std::to_string(port) + " at " + std::to_string(baud) + ", " +
                std::to_string(interval_ms) + " ms; ";
    return 0;
}

void close_port(PortHandle port)
{
    port_log += "close " + std::to_string(port) + "; ";
}

namespace {

TEST(FirmwareImage, PaddedToWholeKilobytesWithZerosUnlessTooLong)
{
    const int32_t sizes[][2] = {{0, 1024}, {1, 1024}, {1024, 1024}, {1025, 2048},
                                {MAX_IMAGE_LEN - 1, MAX_IMAGE_LEN}, {MAX_IMAGE_LEN, MAX_IMAGE_LEN}};
    for (const auto &size : sizes)
        EXPECT_EQ(padded_image_size(size[0]), size[1]) << size[0];

    std::vector<uint8_t> image(1500, 0xFF);
    UpdateJob job{};
    clear_captured_reports();
    ASSERT_TRUE(install_firmware_image(job, image.data(), static_cast<int32_t>(image.size())));
    EXPECT_EQ(job.image[2047], 0x00);  // the fill is written and verified like the image
    EXPECT_EQ(captured_trace, "\nFlash Image Base 0x8004000\nFlash Image Size 0x800 bytes\n");
    std::free(job.image);  // the tool keeps its one image for life; a test need not
    ASSERT_TRUE(install_firmware_image(job, image.data(), 1));
    EXPECT_EQ(job.image[0], 0xFF);  // a one-byte image is copied too
    std::free(job.image);

    UpdateJob refused{};
    EXPECT_FALSE(install_firmware_image(refused, image.data(), MAX_IMAGE_LEN + 1));  // the length alone refuses it
    EXPECT_EQ(refused.image, nullptr);
}

std::set<std::string> ports_present;
std::vector<std::string> listed;

int scan(std::set<std::string> ports)
{
    ports_present = std::move(ports);
    listed.clear();
    return fill_port_table([](const char *path) { return ports_present.count(path) != 0; },
                           [](const char *path) { listed.push_back(path); });
}

TEST(PortTable, RowsFollowAscendingPortNumbersWithoutGaps)
{
    EXPECT_EQ(port_path_of_row(0), nullptr);  // no rows before the scan
    ASSERT_EQ(scan({"\\\\.\\com12", "\\\\.\\com3"}), 2);
    EXPECT_EQ(PortTable[1].number, 12);
    EXPECT_EQ(listed, (std::vector<std::string>{"\\\\.\\com3", "\\\\.\\com12"}));
    EXPECT_STREQ(port_path_of_row(0), "\\\\.\\com3");
    EXPECT_STREQ(port_path_of_row(1), "\\\\.\\com12");
    EXPECT_EQ(port_path_of_row(2), nullptr);
    EXPECT_EQ(port_path_of_row(-1), nullptr);  // no selection

    EXPECT_EQ(scan({}), 0);
    EXPECT_EQ(port_path_of_row(0), nullptr);  // the earlier scan's rows are gone

    std::set<std::string> all;
    for (int n = 1; n <= 1000; ++n)
        all.insert("\\\\.\\com" + std::to_string(n));
    EXPECT_EQ(scan(all), 998);  // com1 to com998, no more
    EXPECT_STREQ(port_path_of_row(997), "\\\\.\\com998");
    EXPECT_EQ(port_path_of_row(998), nullptr);
}

TEST(UpdateControl, EachPressOpensThePortAfreshAndTheEndClosesIt)
{
    UpdateJob job{};
    uint8_t frame[FRAME_BUFFER_SIZE];
    prepare_job(job, frame);  // no port yet: the first press closes none
    job.state = STATE_FAILED;  // an earlier update failed
    clear_captured_reports();
    ASSERT_TRUE(start_update(job, "/dev/ttyS1"));
    EXPECT_EQ(job.state, STATE_START);
    EXPECT_EQ(captured_trace, " . Opening serial port /dev/ttyS1 at 115200 baud\n");
    EXPECT_EQ(captured_status, std::vector<std::string>{"Contacting Device..."});

    job.state = STATE_PROGRAM;  // pressed again mid-transfer
    ASSERT_TRUE(start_update(job, "/dev/ttyS1"));
    EXPECT_FALSE(finish_update(job));  // not done yet: the port stays open
    job.state = STATE_DONE;
    EXPECT_TRUE(finish_update(job));
    EXPECT_EQ(job.port, INVALID_PORT);
    EXPECT_EQ(captured_status.back(), "Programming Completed");

    EXPECT_FALSE(start_update(job, "/dev/absent"));
    EXPECT_EQ(job.port, INVALID_PORT);
    EXPECT_EQ(port_log, "open /dev/ttyS1; configure 7 at 115200, 20 ms; close 7; "
                        "open /dev/ttyS1; configure 7 at 115200, 20 ms; close 7; open /dev/absent; ");
}

std::string fatal_text(const char *message, unsigned long code, const char *system_text)
{
    char out[FATAL_TEXT_SIZE];
    std::memset(out, 'X', sizeof out);
    size_t length = build_fatal_text(out, message, code, system_text);
    EXPECT_EQ(length, std::strlen(out));
    return out;
}

TEST(FatalText, MessageThenTheErrorNumberAndTheSystemsTextIfAny)
{
    const std::string opening = "\n\nAn Error has occurred as follows:\n          ";
    const std::string closing = "\n\n The program will now abort\n\n\n";
    EXPECT_EQ(fatal_text("Could not create dialog", 0, "ignored"), opening + "Could not create dialog\n" + closing);
    EXPECT_EQ(fatal_text("Unable to open serial port", 5, "Access denied.\r\n"),
              opening + "Unable to open serial port\nError number 5 reported\nAccess denied.\r\n" + closing);

    // Too long a text is shortened so that the closing lines still fit.
    const std::string system_text(3000, 's');
    const std::string message(2000, 'm');
    for (const std::string &text : {fatal_text("Could not create dialog", 2, system_text.c_str()),
                                    fatal_text(message.c_str(), 0, ""), fatal_text(message.c_str(), 2, "")}) {
        EXPECT_EQ(text.size(), FATAL_TEXT_SIZE - 1);
        EXPECT_EQ(text.substr(text.size() - closing.size()), closing);
    }
    EXPECT_NE(fatal_text("Could not create dialog", 2, system_text.c_str()).find("Error number 2 reported\nsss"),
              std::string::npos);
}

}  // namespace
