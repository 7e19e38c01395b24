#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "report/report.h"

namespace {

std::string fatal_text(const char *message, unsigned long code, const char *system_text)
{
    char out[FATAL_TEXT_SIZE];
    std::memset(out, 'X', sizeof out);
    size_t length = build_fatal_text(out, message, code, system_text);
    EXPECT_EQ(length, std::strlen(out));
    return out;
}

const std::string closing = "\n\n The program will now abort\n\n\n";

TEST(FatalText, WithoutAnErrorCodeTheMessageIsFollowedByTheClosingLines)
{
    EXPECT_EQ(fatal_text("Could not create dialog", 0, "ignored"),
              "\n\nAn Error has occurred as follows:\n          Could not create dialog\n" + closing);
}

TEST(FatalText, ErrorCodeAndTheSystemsTextFollowTheMessage)
{
    EXPECT_EQ(fatal_text("Unable to open serial port. In use already, or not present", 5, "Access denied.\r\n"),
              "\n\nAn Error has occurred as follows:\n"
              "          Unable to open serial port. In use already, or not present\n"
              "Error number 5 reported\n"
              "Access denied.\r\n" + closing);
    // No system text for the code: the number line runs straight into the closing lines.
    EXPECT_EQ(fatal_text("Unabled to register window class", 1410, ""),
              "\n\nAn Error has occurred as follows:\n          Unabled to register window class\n"
              "Error number 1410 reported\n" + closing);
}

TEST(FatalText, LongSystemTextIsShortenedSoTheClosingLinesStillFit)
{
    std::string system_text(3000, 's');
    std::string text = fatal_text("Could not create dialog", 2, system_text.c_str());
    EXPECT_EQ(text.size(), FATAL_TEXT_SIZE - 1);
    EXPECT_EQ(text.substr(text.size() - closing.size()), closing);
    EXPECT_NE(text.find("Error number 2 reported\nsss"), std::string::npos);

    // A message too long for the box still leaves room for the end.
    std::string message(2000, 'm');
    text = fatal_text(message.c_str(), 0, "");
    EXPECT_EQ(text.size(), FATAL_TEXT_SIZE - 1);
    EXPECT_EQ(text.substr(text.size() - closing.size()), closing);
}

}  // namespace
