// device-sim's line, clock and stop on Windows: a COM port through the comm
// API, QueryPerformanceCounter, and a console control handler for Ctrl-C.
#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "sim/sim_line.h"

namespace {

volatile LONG stop_requested = 0;

// The longest one read waits. A read ends as its first byte arrives on
// Windows, but Wine lets it run to its whole timeout (and has no
// WaitCommEvent on a pseudo-terminal), so it is kept short: the loop then
// sees bytes within this of their arrival, well inside the pump's silence.
constexpr int64_t MAX_WAIT_MS = 2;
// After a closed console window the system ends the program when the
// handler returns: time enough for the loop to stop and report.
constexpr DWORD CLOSE_GRACE_MS = 2000;
constexpr DWORD WRITE_TIMEOUT_MS = 1000;
constexpr UINT TIMER_PERIOD_MS = 1;  // so that a reply due in 2 ms is not held to the next 15.6 ms tick

BOOL WINAPI on_console_event(DWORD event)
{
    InterlockedExchange(&stop_requested, 1);
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        Sleep(CLOSE_GRACE_MS);
    return TRUE;
}

HANDLE handle_of(const SimLine &line)
{
    return reinterpret_cast<HANDLE>(line.handle);
}

std::string system_text(DWORD code)
{
    char text[256] = "";
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                  sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == '.'))
        text[--length] = '\0';
    return std::string(length ? text : "error") + " (" + std::to_string(code) + ")";
}

// "COM7" and "\\.\COM7" both name the port; only the second form reaches COM10 and above.
std::string device_path(const std::string &port)
{
    return port.rfind("\\\\.\\", 0) == 0 ? port : "\\\\.\\" + port;
}

// The device's own settings, written out rather than taken from the tool's
// serial/port_win32.cpp: they are what the tool's end is judged against.
void apply_8e1(DCB &dcb)
{
    dcb.BaudRate = CBR_115200;
    dcb.fBinary = 1;
    dcb.fParity = 1;  // parity errors are detected and counted
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
    dcb.fAbortOnError = 0;  // reads go on after an error; ClearCommError tells of it
    dcb.ByteSize = 8;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = ONESTOPBIT;
}

// A read returns at once with whatever is buffered; with nothing there it
// returns as soon as a byte arrives, or after `wait_ms`.
bool set_read_wait(SimLine &line, uint32_t wait_ms)
{
    if (line.read_wait_ms == wait_ms)
        return true;
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = wait_ms;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = WRITE_TIMEOUT_MS;
    if (!SetCommTimeouts(handle_of(line), &timeouts))
        return false;
    line.read_wait_ms = wait_ms;
    return true;
}

// Counts each error the driver reports since the last call.
void take_errors(SimLine &line)
{
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handle_of(line), &errors, &status))
        return;
    line.counted[0] += (errors & CE_RXPARITY) ? 1 : 0;
    line.counted[1] += (errors & CE_FRAME) ? 1 : 0;
    line.counted[2] += (errors & (CE_OVERRUN | CE_RXOVER)) ? 1 : 0;
}

}  // namespace

bool line_open_link(SimLine &line, const std::string &, std::string &error)
{
    line = SimLine{};
    error = "--link (a pseudo-terminal of its own) is not available on Windows: use --port COMn";
    return false;
}

bool line_open_port(SimLine &line, const std::string &port, std::string &error)
{
    line = SimLine{};
    std::string path = device_path(port);
    // Share mode 0: the port is ours alone while it is open.
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
            error = "cannot open " + port + ": there is no such port";
        else if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION)
            error = port + " is in use: another program has it open";
        else
            error = "cannot open " + port + ": " + system_text(code);
        return false;
    }
    line.handle = reinterpret_cast<intptr_t>(handle);
    line.device = port;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) {
        error = port + " is not a serial port (" + system_text(GetLastError()) + ")";
        line_close(line);
        return false;
    }
    apply_8e1(dcb);
    const char *step = !SetCommState(handle, &dcb)          ? "SetCommState"
                       : !SetCommMask(handle, 0)             ? "SetCommMask"
                       : !set_read_wait(line, MAX_WAIT_MS)   ? "SetCommTimeouts"
                                                             : nullptr;
    if (step) {
        error = "cannot configure " + port + " (" + step + "): " + system_text(GetLastError());
        line_close(line);
        return false;
    }
    PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR);  // nothing from before the run
    take_errors(line);
    line.counted[0] = line.counted[1] = line.counted[2] = 0;
    line.counts_errors = true;
    timeBeginPeriod(TIMER_PERIOD_MS);
    return true;
}

void line_close(SimLine &line)
{
    if (line.handle != -1) {
        if (line.counts_errors)
            timeEndPeriod(TIMER_PERIOD_MS);
        CloseHandle(handle_of(line));
    }
    line = SimLine{};
}

int64_t line_clock_us()
{
    static LARGE_INTEGER frequency{};
    if (frequency.QuadPart == 0)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    // In two parts, so that a fast counter cannot overflow the product.
    int64_t seconds = now.QuadPart / frequency.QuadPart;
    int64_t rest = now.QuadPart % frequency.QuadPart;
    return seconds * 1000000 + rest * 1000000 / frequency.QuadPart;
}

void line_catch_stops()
{
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool line_stop_requested()
{
    return InterlockedCompareExchange(&stop_requested, 0, 0) != 0;
}

long line_wait_read(SimLine &line, int64_t deadline_us, uint8_t *buffer, size_t size, std::string &error)
{
    // Whole milliseconds, rounded up so that the wait never ends early; at
    // least one, since a zero would make the read wait for a byte forever.
    int64_t wait_ms = (deadline_us - line_clock_us() + 999) / 1000;
    if (!set_read_wait(line, static_cast<uint32_t>(std::clamp<int64_t>(wait_ms, 1, MAX_WAIT_MS)))) {
        error = "setting the read timeout: " + system_text(GetLastError());
        return -1;
    }
    DWORD received = 0;
    BOOL read = ReadFile(handle_of(line), buffer, static_cast<DWORD>(size), &received, nullptr);
    DWORD code = GetLastError();
    take_errors(line);
    if (!read) {
        error = "reading the line: " + system_text(code);
        return -1;
    }
    return static_cast<long>(received);
}

size_t line_write(SimLine &line, const uint8_t *bytes, size_t count)
{
    DWORD written = 0;
    WriteFile(handle_of(line), bytes, static_cast<DWORD>(count), &written, nullptr);
    take_errors(line);
    return written;
}

LineErrors line_errors(SimLine &line)
{
    LineErrors errors;
    if (line.handle == -1)
        return errors;
    take_errors(line);
    errors.available = line.counts_errors;
    errors.parity = line.counted[0];
    errors.framing = line.counted[1];
    errors.overrun = line.counted[2];
    return errors;
}
