// fwu-driver: works the window of a running fwu.exe from another process of the same Wine
// prefix, for tests/wine/fwu_wine.py. One command a run; what it reads goes to standard output,
// one item a line, line breaks shown as \n. Exit codes: 0 done, 1 not reached (a timeout, no
// such row, a STOP text), 2 bad command line, 3 no window (or message box).
//
//   wait-window SECONDS, show, select ROW_TEXT, set-text TEXT, press, close, box-ok
//   press-and-wait TEXT SECONDS [STOP...]: presses, prints each new status led by the ms since
//       the press, until it reads TEXT or a STOP text
//   box SECONDS: waits for the message box, prints its caption and text
//   redraw: paints the windows now, for a screenshot
// "show" prints the caption, button, status, selected row (index and box text) and each row;
// "set-text" types into the port box and prints the selected row.
#include "tests/win32/fwu_window.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

enum Exit { DONE, NOT_REACHED, BAD_USAGE, NO_WINDOW };

// Long enough for a job step (a read waits at most 100 ms), short enough
// that a tool that no longer answers is reported rather than waited on.
const UINT SEND_LIMIT_MS = 5000;

bool send(HWND window, UINT message, WPARAM wparam, LPARAM lparam, LRESULT &result)
{
    DWORD_PTR answer = 0;
    if (SendMessageTimeoutW(window, message, wparam, lparam, SMTO_NORMAL, SEND_LIMIT_MS, &answer) == 0)
        return false;
    result = static_cast<LRESULT>(answer);
    return true;
}

// Wide messages, as the narrow CB_GETLBTEXT carries one character across
// processes under Wine. Into a buffer with room to spare: asking for the
// length first could cut a text that changed in between.
bool text_of(HWND window, std::string &text, UINT message = WM_GETTEXT, WPARAM row = 0)
{
    std::vector<wchar_t> wide(4096, L'\0');
    LRESULT copied = 0;
    WPARAM wparam = message == WM_GETTEXT ? wide.size() : row;
    if (!send(window, message, wparam, reinterpret_cast<LPARAM>(wide.data()), copied) || copied < 0)
        return false;
    std::vector<char> narrow(4 * wide.size());
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), -1, narrow.data(), static_cast<int>(narrow.size()), nullptr, nullptr);
    text.clear();
    for (const char *c = narrow.data(); *c != '\0'; ++c)
        text += *c == '\r' ? "\\r" : *c == '\n' ? "\\n" : std::string(1, *c);
    return true;
}

void print(const char *kind, const std::string &text)
{
    std::printf("%s %s\n", kind, text.c_str());
    std::fflush(stdout);
}

HWND message_box()
{
    HWND box = FindWindowExA(nullptr, nullptr, "#32770", nullptr);
    while (box != nullptr && !IsWindowVisible(box))
        box = FindWindowExA(nullptr, box, "#32770", nullptr);
    return box;
}

HWND wait_for(HWND (*find)(), double seconds)
{
    unsigned long long end = GetTickCount64() + static_cast<unsigned long long>(seconds * 1000);
    while (find() == nullptr && GetTickCount64() < end)
        Sleep(10);
    return find();
}

std::vector<std::string> rows_of(HWND combo, bool &ok)
{
    LRESULT count = 0;
    ok = send(combo, CB_GETCOUNT, 0, 0, count) && count != CB_ERR;
    std::vector<std::string> rows(ok ? count : 0);
    for (int row = 0; ok && row < count; ++row)
        ok = text_of(combo, rows[row], CB_GETLBTEXT, row);
    return rows;
}

bool print_selected(HWND combo)
{
    LRESULT row = CB_ERR;
    std::string shown;
    bool ok = send(combo, CB_GETCURSEL, 0, 0, row) && text_of(combo, shown);
    print("selected", std::to_string(row) + " " + shown);
    return ok;
}

int show(HWND window)
{
    std::string caption, button, status;
    bool ok = text_of(window, caption) && text_of(GetDlgItem(window, ID_UPDATE), button) &&
              text_of(GetDlgItem(window, ID_STATUS), status);
    print("caption", caption);
    print("button", button);
    print("status", status);
    ok = print_selected(GetDlgItem(window, ID_PORT_LIST)) && ok;
    for (const std::string &row : rows_of(GetDlgItem(window, ID_PORT_LIST), ok))
        print("row", row);
    return ok ? DONE : NOT_REACHED;
}

int select(HWND combo, const std::string &wanted)
{
    bool ok = false;
    std::vector<std::string> rows = rows_of(combo, ok);
    LRESULT row = std::find(rows.begin(), rows.end(), wanted) - rows.begin(), selected = CB_ERR;
    bool done = ok && row < LRESULT(rows.size()) && send(combo, CB_SETCURSEL, row, 0, selected) && selected == row;
    return done ? DONE : NOT_REACHED;
}

// Typed into the edit field key by key: the combo box drops its selection
// when its edit field changes by typing, but not on WM_SETTEXT.
int set_text(HWND combo, const char *text)
{
    HWND edit = FindWindowExA(combo, nullptr, "Edit", nullptr);
    LRESULT result = 0;
    if (edit == nullptr || !send(edit, EM_SETSEL, 0, -1, result))
        return NOT_REACHED;
    for (const char *key = text; *key != '\0'; ++key)
        if (!send(edit, WM_CHAR, static_cast<unsigned char>(*key), 1, result))
            return NOT_REACHED;
    return print_selected(combo) ? DONE : NOT_REACHED;
}

// Polled as finely as the system allows: the benchmark times from the press.
int press_and_wait(HWND window, int argc, char **argv)
{
    unsigned long long since = GetTickCount64();
    double seconds = std::atof(argv[3]);
    HWND status = GetDlgItem(window, ID_STATUS);
    std::string last = "\n";
    // Sent, not posted: once it returns, the press has been handled and the status is its own,
    // not the one an earlier update left.
    LRESULT result = 0;
    send(GetDlgItem(window, ID_UPDATE), BM_CLICK, 0, 0, result);
    for (;;) {
        std::string text;
        if (!IsWindow(window))
            return NO_WINDOW;
        if (text_of(status, text) && text != last) {
            print(std::to_string(GetTickCount64() - since).c_str(), text);
            last = text;
        }
        if (last == argv[2])
            return DONE;
        for (int i = 4; i < argc; ++i)
            if (last == argv[i])
                return NOT_REACHED;
        if (GetTickCount64() - since >= seconds * 1000)
            return NOT_REACHED;
        Sleep(1);
    }
}

int box(double seconds)
{
    const int ID_BOX_TEXT = 0xFFFF;  // the message's static control in a message box
    HWND box = wait_for(message_box, seconds);
    std::string caption, text;
    if (box == nullptr || !text_of(box, caption) || !text_of(GetDlgItem(box, ID_BOX_TEXT), text))
        return NO_WINDOW;
    print("caption", caption);
    print("text", text);
    return DONE;
}

// As a click on OK does: the box ends with IDOK.
int box_ok()
{
    HWND box = message_box();
    return box != nullptr && PostMessageA(box, WM_COMMAND, IDOK, LPARAM(GetDlgItem(box, IDOK))) ? DONE : NO_WINDOW;
}

// The window is shown before it is painted: painted now, for a screenshot.
int redraw()
{
    const UINT how = RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW;
    RedrawWindow(message_box(), nullptr, nullptr, how);
    return RedrawWindow(fwu_main_window(), nullptr, nullptr, how) ? DONE : NO_WINDOW;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return BAD_USAGE;
    std::string command = argv[1];
    double seconds = std::atof(argv[argc - 1]);
    if (command == "wait-window" && argc == 3)
        return wait_for(fwu_main_window, seconds) != nullptr ? DONE : NO_WINDOW;
    if (command == "box" && argc == 3)
        return box(seconds);
    if (command == "box-ok" && argc == 2)
        return box_ok();
    if (command == "redraw" && argc == 2)
        return redraw();
    HWND window = fwu_main_window();
    if (window == nullptr)
        return NO_WINDOW;
    HWND combo = GetDlgItem(window, ID_PORT_LIST);
    if (command == "show" && argc == 2)
        return show(window);
    if (command == "select" && argc == 3)
        return select(combo, argv[2]);
    if (command == "set-text" && argc == 3)
        return set_text(combo, argv[2]);
    // Posted, since the tool's handler may not return at once (a fatal box).
    if (command == "press" && argc == 2)
        return PostMessageA(GetDlgItem(window, ID_UPDATE), BM_CLICK, 0, 0) ? DONE : NOT_REACHED;
    if (command == "press-and-wait" && argc >= 4)
        return press_and_wait(window, argc, argv);
    if (command == "close" && argc == 2)
        return PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0) ? DONE : NOT_REACHED;
    std::fputs("fwu-driver: bad command line; the commands are listed at the top of fwu_driver.cpp\n", stderr);
    return BAD_USAGE;
}
