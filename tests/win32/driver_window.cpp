#include "driver_window.h"

#include <vector>

// Long enough for a job step (a read waits at most 100 ms), short enough
// that a tool that no longer answers is reported rather than waited on.
static const UINT SEND_LIMIT_MS = 5000;
static const DWORD POLL_MS = 10;

unsigned long long now_ms()
{
    return GetTickCount64();
}

std::wstring wide_of(const std::string &text)
{
    int count = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::vector<wchar_t> wide(count > 0 ? count : 1, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), count);
    return std::wstring(wide.data());
}

std::string utf8_of(const std::wstring &text)
{
    int count = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::vector<char> narrow(count > 0 ? count : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, narrow.data(), count, nullptr, nullptr);
    return std::string(narrow.data());
}

bool send_with_limit(HWND window, UINT message, WPARAM wparam, LPARAM lparam, LRESULT &result)
{
    DWORD_PTR answer = 0;
    if (SendMessageTimeoutW(window, message, wparam, lparam, SMTO_NORMAL, SEND_LIMIT_MS, &answer) == 0)
        return false;
    result = static_cast<LRESULT>(answer);
    return true;
}

HWND find_main_window()
{
    HWND window = FindWindowA("FWU", nullptr);
    return window != nullptr && IsWindowVisible(window) ? window : nullptr;
}

static BOOL CALLBACK match_message_box(HWND window, LPARAM found)
{
    char class_name[32] = "";
    GetClassNameA(window, class_name, sizeof class_name);
    if (lstrcmpA(class_name, "#32770") != 0 || !IsWindowVisible(window))
        return TRUE;
    *reinterpret_cast<HWND *>(found) = window;
    return FALSE;
}

HWND find_message_box()
{
    HWND found = nullptr;
    EnumWindows(match_message_box, reinterpret_cast<LPARAM>(&found));
    return found;
}

HWND wait_for_window(HWND (*find)(), double seconds)
{
    unsigned long long end = now_ms() + static_cast<unsigned long long>(seconds * 1000);
    for (;;) {
        HWND window = find();
        if (window != nullptr || now_ms() >= end)
            return window;
        Sleep(POLL_MS);
    }
}

bool window_text(HWND window, std::string &text)
{
    // One WM_GETTEXT into a buffer with room to spare: asking for the length
    // first could cut a text that changed in between. A full buffer may have
    // cut the text, so it is asked again with more room.
    for (size_t size = 256; size <= 65536; size *= 4) {
        std::vector<wchar_t> buffer(size, L'\0');
        LRESULT copied = 0;
        if (!send_with_limit(window, WM_GETTEXT, size, reinterpret_cast<LPARAM>(buffer.data()), copied))
            return false;
        if (static_cast<size_t>(copied) + 1 < size) {
            text = utf8_of(buffer.data());
            return true;
        }
    }
    return false;
}

bool combo_row_text(HWND combo, int row, std::string &text)
{
    LRESULT length = 0;
    if (!send_with_limit(combo, CB_GETLBTEXTLEN, row, 0, length) || length == CB_ERR)
        return false;
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1, L'\0');
    LRESULT copied = 0;
    if (!send_with_limit(combo, CB_GETLBTEXT, row, reinterpret_cast<LPARAM>(buffer.data()), copied) ||
        copied == CB_ERR)
        return false;
    text = utf8_of(buffer.data());
    return true;
}

HWND find_child_of_class(HWND parent, const char *class_name)
{
    return FindWindowExA(parent, nullptr, class_name, nullptr);
}
