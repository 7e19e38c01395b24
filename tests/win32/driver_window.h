// Finding the tool's windows and reading their texts from another process,
// for the test driver.
#pragma once

#include <windows.h>

#include <string>

// The tool's main window (class "FWU"), or nullptr.
HWND find_main_window();

// The first visible top-level message box (class "#32770"), or nullptr.
HWND find_message_box();

// Polls `find` every few milliseconds for up to `seconds`; nullptr on timeout.
HWND wait_for_window(HWND (*find)(), double seconds);

// The window's text, asked of its own thread (WM_GETTEXT), as UTF-8.
// False when the window did not answer in time.
bool window_text(HWND window, std::string &text);

// The row of the combo box at `row` (CB_GETLBTEXT, in its wide form, as the
// narrow form carries one character across processes under Wine).
bool combo_row_text(HWND combo, int row, std::string &text);

// The first child of `parent` of the class `class_name`, or nullptr.
HWND find_child_of_class(HWND parent, const char *class_name);

// Sends a message with a time limit, so that a stuck tool cannot hang the driver.
bool send_with_limit(HWND window, UINT message, WPARAM wparam, LPARAM lparam, LRESULT &result);

std::wstring wide_of(const std::string &text);
std::string utf8_of(const std::wstring &text);

// Milliseconds on a monotonic clock.
unsigned long long now_ms();
