// startup-time EXE SECONDS: starts EXE (fwu.exe), prints the ms to its window
// and to its idle status, then closes it. The idle status is answered only
// once the tool pumps messages, after its port scan. For scripts/benchmark.
#include "tests/win32/fwu_window.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static bool shows_idle(HWND window)
{
    char text[64] = "";
    DWORD_PTR copied = 0;
    return SendMessageTimeoutA(GetDlgItem(window, ID_STATUS), WM_GETTEXT, sizeof text,
                               reinterpret_cast<LPARAM>(text), SMTO_NORMAL, 5000, &copied) != 0 &&
           std::strcmp(text, " - Idle - ") == 0;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fputs("usage: startup-time EXE SECONDS\n", stderr);
        return 2;
    }
    std::string command_line = std::string("\"") + argv[1] + "\"";
    // The tool's trace goes nowhere: in our output it could split a line of the figures.
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE nowhere = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherited, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = nowhere;
    PROCESS_INFORMATION process{};
    ULONGLONG started = GetTickCount64(), window_ms = 0, limit_ms = std::atoi(argv[2]) * 1000ull;
    if (fwu_main_window() != nullptr || !CreateProcessA(nullptr, &command_line[0], nullptr, nullptr, TRUE, 0,
                                                    nullptr, nullptr, &startup, &process))
        return 2;
    int result = 1;
    for (; result != 0 && GetTickCount64() - started < limit_ms; Sleep(1)) {
        HWND window = fwu_main_window();
        if (window != nullptr && window_ms == 0)
            window_ms = GetTickCount64() - started;
        if (window != nullptr && shows_idle(window)) {
            std::printf("window %llu ms\nready %llu ms\n", window_ms, GetTickCount64() - started);
            PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
            result = 0;
        }
    }
    if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}
