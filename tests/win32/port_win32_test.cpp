// What configure_port leaves in the Windows driver, and its failure on a
// handle that is no port.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "serial/port.h"
#include "serial/port_win32.h"
#include "tests/support/test_line.h"

namespace {

// Read back through the driver, from settings unlike the wanted ones so that
// each must change. A pseudo-terminal under Wine always reads back 8 data
// bits and no parity, and DTR and RTS enabled unless RTS is under handshake,
// so only the rest is checked here; the next test checks every field.
TEST(PortWin32, ConfigureSetsTheDriver)
{
    PortHandle port = open_port(test_line_path());
    ASSERT_NE(port, INVALID_PORT);
    HANDLE handle = reinterpret_cast<HANDLE>(port);
    COMMTIMEOUTS timeouts{7, 7, 7, 7, 7};
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(SetCommTimeouts(handle, &timeouts) && GetCommState(handle, &dcb));
    dcb.BaudRate = 9600;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutX = dcb.fInX = dcb.fOutxCtsFlow = 1;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    ASSERT_TRUE(SetCommState(handle, &dcb));

    ASSERT_EQ(configure_port(port, 57600, 35), 0);
    ASSERT_TRUE(GetCommTimeouts(handle, &timeouts) && GetCommState(handle, &dcb));
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 35u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier + timeouts.WriteTotalTimeoutMultiplier +
                  timeouts.WriteTotalTimeoutConstant, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 100u);
    EXPECT_EQ(dcb.BaudRate, 57600u);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fOutX + dcb.fInX + dcb.fOutxCtsFlow, 0u);
    EXPECT_NE(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
    close_port(port);
}

TEST(PortWin32, SettingsAre8E1WithoutFlowControlAndLeaveTheRestAlone)
{
    DCB dcb;
    std::memset(&dcb, 0xFF, sizeof dcb);
    apply_line_settings(dcb, 115200);
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fBinary + dcb.fTXContinueOnXoff, 2u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_EQ(dcb.fParity + dcb.fOutxCtsFlow + dcb.fOutxDsrFlow + dcb.fDsrSensitivity + dcb.fOutX +
                  dcb.fInX + dcb.fErrorChar + dcb.fNull + dcb.fAbortOnError, 0u);
    // Fields not named keep the driver's values.
    EXPECT_EQ(dcb.DCBlength, 0xFFFFFFFFu);
    EXPECT_EQ(dcb.XonLim, 0xFFFF);
    EXPECT_EQ(static_cast<unsigned char>(dcb.XonChar), 0xFFu);
    EXPECT_EQ(static_cast<unsigned char>(dcb.EvtChar), 0xFFu);

    COMMTIMEOUTS timeouts;
    std::memset(&timeouts, 0xFF, sizeof timeouts);
    apply_read_timeouts(timeouts, READ_INTERVAL_MS);
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 20u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 100u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier + timeouts.WriteTotalTimeoutMultiplier +
                  timeouts.WriteTotalTimeoutConstant, 0u);
}

TEST(PortWin32, ConfigureFailsOnAHandleThatIsNoPort)
{
    char directory[MAX_PATH];
    char path[MAX_PATH];
    ASSERT_TRUE(GetTempPathA(MAX_PATH, directory) && GetTempFileNameA(directory, "fwu", 0, path));
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    testing::internal::CaptureStderr();
    EXPECT_EQ(configure_port(reinterpret_cast<PortHandle>(file), 115200, READ_INTERVAL_MS), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Could not get Port State\n");
    CloseHandle(file);
    DeleteFileA(path);
}

}  // namespace
