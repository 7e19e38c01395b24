// What configure_port leaves in the Windows driver, read back through the
// same calls the driver offers, and its failure on a handle that is no port.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "serial/port.h"
#include "serial/port_win32.h"
#include "tests/support/test_line.h"

namespace {

TEST(PortWin32, ConfigureSetsTimeoutsThatFrameReads)
{
    PortHandle port = open_port(test_line_path());
    ASSERT_NE(port, INVALID_PORT);
    HANDLE handle = reinterpret_cast<HANDLE>(port);
    COMMTIMEOUTS before{7, 7, 7, 7, 7};
    ASSERT_TRUE(SetCommTimeouts(handle, &before));

    ASSERT_EQ(configure_port(port, 115200, 35), 0);
    COMMTIMEOUTS after{};
    ASSERT_TRUE(GetCommTimeouts(handle, &after));
    EXPECT_EQ(after.ReadIntervalTimeout, 35u);
    EXPECT_EQ(after.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(after.ReadTotalTimeoutConstant, 100u);
    EXPECT_EQ(after.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(after.WriteTotalTimeoutConstant, 0u);
    close_port(port);
}

TEST(PortWin32, ConfigureSetsLineSettings)
{
    PortHandle port = open_port(test_line_path());
    ASSERT_NE(port, INVALID_PORT);
    HANDLE handle = reinterpret_cast<HANDLE>(port);
    // Start from settings unlike the wanted ones, so each must be changed.
    // Only what a pseudo-terminal under Wine reports back is checked: it
    // always shows 8 data bits and no parity, and Wine shows DTR and RTS as
    // enabled unless RTS is under handshake.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(handle, &dcb));
    dcb.BaudRate = 9600;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutX = 1;
    dcb.fInX = 1;
    dcb.fOutxCtsFlow = 1;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    ASSERT_TRUE(SetCommState(handle, &dcb));

    ASSERT_EQ(configure_port(port, 57600, READ_INTERVAL_MS), 0);
    DCB now{};
    now.DCBlength = sizeof now;
    ASSERT_TRUE(GetCommState(handle, &now));
    EXPECT_EQ(now.BaudRate, 57600u);
    EXPECT_EQ(now.StopBits, ONESTOPBIT);
    EXPECT_EQ(now.fOutX, 0u);
    EXPECT_EQ(now.fInX, 0u);
    EXPECT_EQ(now.fOutxCtsFlow, 0u);
    EXPECT_NE(now.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
    close_port(port);
}

// Every field the driver record holds, as a pseudo-terminal cannot show them
// all (it reads back no parity and 8 data bits whatever was set).
TEST(PortWin32, LineSettingsAre8E1WithoutFlowControlAndLeaveTheRestAlone)
{
    DCB dcb;
    std::memset(&dcb, 0xFF, sizeof dcb);
    apply_line_settings(dcb, 115200);
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fParity, 0u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(dcb.fDsrSensitivity, 0u);
    EXPECT_EQ(dcb.fTXContinueOnXoff, 1u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_EQ(dcb.fErrorChar, 0u);
    EXPECT_EQ(dcb.fNull, 0u);
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_EQ(dcb.fAbortOnError, 0u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    // Fields not named keep the driver's values.
    EXPECT_EQ(dcb.DCBlength, 0xFFFFFFFFu);
    EXPECT_EQ(dcb.XonLim, 0xFFFF);
    EXPECT_EQ(static_cast<unsigned char>(dcb.XonChar), 0xFFu);
    EXPECT_EQ(static_cast<unsigned char>(dcb.EvtChar), 0xFFu);

    COMMTIMEOUTS timeouts;
    std::memset(&timeouts, 0xFF, sizeof timeouts);
    apply_read_timeouts(timeouts, READ_INTERVAL_MS);
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 20u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 100u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);
}

TEST(PortWin32, ConfigureFailsOnAHandleThatIsNoPort)
{
    char directory[MAX_PATH];
    char path[MAX_PATH];
    ASSERT_NE(GetTempPathA(MAX_PATH, directory), 0u);
    ASSERT_NE(GetTempFileNameA(directory, "fwu", 0, path), 0u);
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);

    testing::internal::CaptureStderr();
    int32_t result = configure_port(reinterpret_cast<PortHandle>(file), 115200, READ_INTERVAL_MS);
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(said, "Could not get Port State\n");
    CloseHandle(file);
    DeleteFileA(path);
}

}  // namespace
