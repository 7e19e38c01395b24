// The serial port on Windows: the driver itself cuts the byte stream into
// frames through the comm timeouts, so each job operation is one system call.
#include <windows.h>

#include "report/report.h"
#include "serial/port.h"
#include "serial/port_win32.h"

static HANDLE handle_of(PortHandle port)
{
    return reinterpret_cast<HANDLE>(port);
}

PortHandle open_port(const char *path)
{
    // Share mode 0: the port is ours alone while it is open.
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    return reinterpret_cast<PortHandle>(handle);
}

void apply_line_settings(DCB &dcb, uint32_t baud)
{
    dcb.BaudRate = baud;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = 0;
    dcb.ByteSize = 8;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = ONESTOPBIT;
}

void apply_read_timeouts(COMMTIMEOUTS &timeouts, uint32_t interval_ms)
{
    timeouts.ReadIntervalTimeout = interval_ms;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = READ_TOTAL_MS;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
}

int32_t configure_port(PortHandle port, uint32_t baud, uint32_t interval_ms)
{
    HANDLE handle = handle_of(port);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) {
        trace_error("Could not get Port State\n");
        return -1;
    }
    COMMTIMEOUTS timeouts{};
    if (!GetCommTimeouts(handle, &timeouts)) {
        trace_error("Could not read comm timeouts\n");
        return -1;
    }
    apply_line_settings(dcb, baud);
    apply_read_timeouts(timeouts, interval_ms);

    // The results are not looked at: whether the line carries the frames
    // shows in the device's replies, which the job checks.
    SetCommState(handle, &dcb);
    SetCommTimeouts(handle, &timeouts);
    SetCommMask(handle, 0);
    return 0;
}

void close_port(PortHandle port)
{
    CloseHandle(handle_of(port));
}

int32_t port_write(PortHandle port, const uint8_t *buffer, int32_t count)
{
    DWORD written = 0;
    WriteFile(handle_of(port), buffer, static_cast<DWORD>(count), &written, nullptr);
    return static_cast<int32_t>(written);
}

int32_t port_read(PortHandle port, uint8_t *buffer, int32_t count)
{
    // On a timeout ReadFile succeeds with what came; on a failure it reports 0.
    DWORD received = 0;
    ReadFile(handle_of(port), buffer, static_cast<DWORD>(count), &received, nullptr);
    return static_cast<int32_t>(received);
}

void port_purge(PortHandle port)
{
    PurgeComm(handle_of(port), PURGE_TXCLEAR | PURGE_RXCLEAR);
}

void port_flush(PortHandle port)
{
    FlushFileBuffers(handle_of(port));
}
