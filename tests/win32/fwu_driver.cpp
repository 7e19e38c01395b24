// fwu-driver: works the window of a running fwu.exe from another process of
// the same Wine prefix, for the end-to-end tests and the demo. One command
// per run; results on standard output, one item a line, and the driver's
// own messages there too, each starting with "fwu-driver: ".
//
// Exit codes: 0 done or reached, 1 not reached (timeout, no such row, a
// check failed), 2 bad command line, 3 the window (or box) is not there.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver_window.h"

namespace {

const int EXIT_DONE = 0;
const int EXIT_NOT_REACHED = 1;
const int EXIT_USAGE = 2;
const int EXIT_NO_WINDOW = 3;

// The ids the window's controls are known by, written out here rather than
// taken from the tool's own header, so that a changed id fails the tests.
const int ID_PORT_LIST = 3;
const int ID_UPDATE = 4;
const int ID_STATUS = 5;
const double BOX_WAIT_S = 10;
const double CLOSE_WAIT_S = 10;

const char USAGE[] =
    "usage: fwu-driver COMMAND [ARGS]\n"
    "  wait-window SECONDS       wait for the visible window of class FWU\n"
    "  caption                   the window's caption\n"
    "  rect                      the window's screen rectangle: LEFT TOP WIDTH HEIGHT\n"
    "  texts                     the dialog's static texts, one a line, line breaks as \\n\n"
    "  button                    the text of the button (id 4)\n"
    "  rows                      the port list's rows, in list order\n"
    "  selected                  the selected row's index (-1: none) and the box's text\n"
    "  select N                  select row N (from 0)\n"
    "  select-row TEXT           select the row reading TEXT\n"
    "  set-text TEXT             type TEXT into the port box over what it shows; 1 unless the box\n"
    "                            then reads TEXT with no row selected\n"
    "  press                     click \"Update Device\" (posted: returns at once)\n"
    "  press-and-time TEXT SECONDS [STOP_TEXT...]\n"
    "                            press, then as wait-status, each status line led by the ms\n"
    "                            since the press\n"
    "  status                    the status field's text\n"
    "  startup-time EXE SECONDS  start EXE, print the ms to its window and to its idle status,\n"
    "                            then close it\n"
    "  wait-status TEXT SECONDS [STOP_TEXT...]\n"
    "                            print each new status until it reads TEXT (exit 0), one of\n"
    "                            STOP_TEXT (exit 1) or SECONDS pass (exit 1)\n"
    "  box-caption [SECONDS]     the message box's caption, waiting for it (default 10 s)\n"
    "  box-text [SECONDS]        the message box's text\n"
    "  box-ok [SECONDS]          press the message box's OK\n"
    "  close [SECONDS]           close the window from its system menu, wait until it is gone\n"
    "  redraw                    paint the window (and any message box) now, for a screenshot\n";

int usage()
{
    std::fputs(USAGE, stderr);
    return EXIT_USAGE;
}

bool parse_seconds(const char *text, double &seconds)
{
    char *end = nullptr;
    seconds = std::strtod(text, &end);
    return end != text && *end == '\0' && seconds >= 0;
}

// Messages of the driver's own, told apart from the texts it reads.
void note(const char *format, ...) __attribute__((format(printf, 1, 2)));
void note(const char *format, ...)
{
    std::fputs("fwu-driver: ", stdout);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fputs("\n", stdout);
    std::fflush(stdout);
}

void print_line(const std::string &text)
{
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

// Line breaks shown as \r and \n, so that each text stays on one line.
std::string one_line(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

HWND main_window_or_report()
{
    HWND window = find_main_window();
    if (window == nullptr)
        note("no window of class FWU");
    return window;
}

int print_text_of(HWND window)
{
    std::string text;
    if (!window_text(window, text)) {
        note("the window did not answer");
        return EXIT_NOT_REACHED;
    }
    print_line(text);
    return EXIT_DONE;
}

std::vector<std::string> rows_of(HWND combo, bool &ok)
{
    std::vector<std::string> rows;
    LRESULT count = 0;
    ok = send_with_limit(combo, CB_GETCOUNT, 0, 0, count) && count != CB_ERR;
    for (int row = 0; ok && row < count; ++row) {
        std::string text;
        ok = combo_row_text(combo, row, text);
        rows.push_back(text);
    }
    return rows;
}

int select_row(HWND combo, int row)
{
    LRESULT selected = CB_ERR;
    if (!send_with_limit(combo, CB_SETCURSEL, row, 0, selected) || selected != row) {
        note("row %d cannot be selected", row);
        return EXIT_NOT_REACHED;
    }
    note("selected row %d", row);
    return EXIT_DONE;
}

int command_select_row(HWND combo, const std::string &wanted)
{
    bool ok = false;
    std::vector<std::string> rows = rows_of(combo, ok);
    for (size_t row = 0; ok && row < rows.size(); ++row)
        if (rows[row] == wanted)
            return select_row(combo, static_cast<int>(row));
    note("no row reads %s", wanted.c_str());
    return EXIT_NOT_REACHED;
}

int command_selected(HWND combo)
{
    LRESULT selected = CB_ERR;
    std::string text;
    if (!send_with_limit(combo, CB_GETCURSEL, 0, 0, selected) || !window_text(combo, text))
        return EXIT_NOT_REACHED;
    std::printf("%d %s\n", static_cast<int>(selected), text.c_str());
    return EXIT_DONE;
}

int command_set_text(HWND combo, const std::string &text)
{
    // Typed into the edit field over what it shows, key by key: the combo box
    // drops its selection when its edit field changes by typing, but not on
    // WM_SETTEXT, which would leave the row selected.
    HWND edit = find_child_of_class(combo, "Edit");
    LRESULT result = 0;
    if (edit == nullptr || !send_with_limit(edit, EM_SETSEL, 0, -1, result)) {
        note("the port box has no edit field that answers");
        return EXIT_NOT_REACHED;
    }
    std::wstring keys = text.empty() ? std::wstring(1, L'\b') : wide_of(text);
    for (wchar_t key : keys)
        if (!send_with_limit(edit, WM_CHAR, key, 1, result)) {
            note("the port box stopped answering");
            return EXIT_NOT_REACHED;
        }
    LRESULT selected = CB_ERR;
    std::string shown;
    if (!send_with_limit(combo, CB_GETCURSEL, 0, 0, selected) || !window_text(combo, shown))
        return EXIT_NOT_REACHED;
    note("the box reads \"%s\", selected row %d", shown.c_str(), static_cast<int>(selected));
    return selected == CB_ERR && shown == text ? EXIT_DONE : EXIT_NOT_REACHED;
}

int command_texts(HWND window)
{
    for (HWND child = FindWindowExA(window, nullptr, "Static", nullptr); child != nullptr;
         child = FindWindowExA(window, child, "Static", nullptr)) {
        std::string text;
        if (!window_text(child, text))
            return EXIT_NOT_REACHED;
        print_line(one_line(text));
    }
    return EXIT_DONE;
}

// With `since` (a now_ms() reading) each status line starts with the
// milliseconds since then, and the polling is as fine as the system allows.
int command_wait_status(HWND window, int argc, char **argv, unsigned long long since = 0)
{
    double seconds = 0;
    if (argc < 4 || !parse_seconds(argv[3], seconds))
        return usage();
    std::string wanted = argv[2];
    HWND status = GetDlgItem(window, ID_STATUS);
    unsigned long long end = now_ms() + static_cast<unsigned long long>(seconds * 1000);
    std::string last;
    bool first = true;
    for (;;) {
        std::string text;
        if (!IsWindow(window)) {
            note("the window has gone");
            return EXIT_NO_WINDOW;
        }
        if (window_text(status, text) && (first || text != last)) {
            if (since != 0)
                std::printf("%llu ", now_ms() - since);
            print_line(text);
            last = text;
            first = false;
        }
        if (!first && last == wanted)
            return EXIT_DONE;
        for (int i = 4; !first && i < argc; ++i)
            if (last == argv[i])
                return EXIT_NOT_REACHED;
        if (now_ms() >= end) {
            note("still not \"%s\" after %g s", wanted.c_str(), seconds);
            return EXIT_NOT_REACHED;
        }
        Sleep(since != 0 ? 1 : 10);
    }
}

int command_box(int argc, char **argv, const std::string &what)
{
    double seconds = BOX_WAIT_S;
    if (argc > 3 || (argc == 3 && !parse_seconds(argv[2], seconds)))
        return usage();
    HWND box = wait_for_window(find_message_box, seconds);
    if (box == nullptr) {
        note("no message box");
        return EXIT_NO_WINDOW;
    }
    if (what == "caption")
        return print_text_of(box);
    if (what == "ok") {
        // As a click on OK does: the box ends with IDOK.
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
        note("OK pressed");
        return EXIT_DONE;
    }
    // The message is the static control that has text; the icon's has none.
    for (HWND child = FindWindowExA(box, nullptr, "Static", nullptr); child != nullptr;
         child = FindWindowExA(box, child, "Static", nullptr)) {
        std::string text;
        if (window_text(child, text) && !text.empty()) {
            print_line(text);
            return EXIT_DONE;
        }
    }
    note("the message box shows no text");
    return EXIT_NOT_REACHED;
}

int command_close(HWND window, int argc, char **argv)
{
    double seconds = CLOSE_WAIT_S;
    if (argc > 3 || (argc == 3 && !parse_seconds(argv[2], seconds)))
        return usage();
    PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    unsigned long long end = now_ms() + static_cast<unsigned long long>(seconds * 1000);
    while (IsWindow(window)) {
        if (now_ms() >= end) {
            note("the window is still there");
            return EXIT_NOT_REACHED;
        }
        Sleep(10);
    }
    note("closed");
    return EXIT_DONE;
}

void redraw(HWND window)
{
    if (window != nullptr)
        RedrawWindow(window, nullptr, nullptr,
                     RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
}

int command_rect(HWND window)
{
    RECT rect{};
    if (!GetWindowRect(window, &rect))
        return EXIT_NOT_REACHED;
    std::printf("%ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
    return EXIT_DONE;
}

// Commands that need the main window.
int run_window_command(HWND window, const std::string &command, int argc, char **argv)
{
    HWND combo = GetDlgItem(window, ID_PORT_LIST);
    if (command == "caption" && argc == 2)
        return print_text_of(window);
    if (command == "rect" && argc == 2)
        return command_rect(window);
    if (command == "texts" && argc == 2)
        return command_texts(window);
    if (command == "button" && argc == 2)
        return print_text_of(GetDlgItem(window, ID_UPDATE));
    if (command == "status" && argc == 2)
        return print_text_of(GetDlgItem(window, ID_STATUS));
    if (command == "wait-status")
        return command_wait_status(window, argc, argv);
    if (command == "rows" && argc == 2) {
        bool ok = false;
        for (const std::string &row : rows_of(combo, ok))
            print_line(row);
        return ok ? EXIT_DONE : EXIT_NOT_REACHED;
    }
    if (command == "selected" && argc == 2)
        return command_selected(combo);
    if (command == "select" && argc == 3) {
        char *end = nullptr;
        long row = std::strtol(argv[2], &end, 10);
        if (end == argv[2] || *end != '\0')
            return usage();
        return select_row(combo, static_cast<int>(row));
    }
    if (command == "select-row" && argc == 3)
        return command_select_row(combo, argv[2]);
    if (command == "set-text" && argc == 3)
        return command_set_text(combo, argv[2]);
    if (command == "press" && argc == 2) {
        // Posted, since the tool's handler may not return at once (a fatal box).
        PostMessageA(GetDlgItem(window, ID_UPDATE), BM_CLICK, 0, 0);
        note("pressed");
        return EXIT_DONE;
    }
    if (command == "press-and-time") {
        unsigned long long pressed = now_ms();
        PostMessageA(GetDlgItem(window, ID_UPDATE), BM_CLICK, 0, 0);
        return command_wait_status(window, argc, argv, pressed);
    }
    if (command == "close")
        return command_close(window, argc, argv);
    return usage();
}

// Starts the tool and times it to its window, then to its idle status (the
// port scan done and the message loop reached); closes it again.
int command_startup_time(int argc, char **argv)
{
    double seconds = 0;
    if (argc != 4 || !parse_seconds(argv[3], seconds))
        return usage();
    if (find_main_window() != nullptr) {
        note("a window of class FWU is there already");
        return EXIT_USAGE;
    }
    std::string command_line = std::string("\"") + argv[2] + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    unsigned long long started = now_ms();
    if (!CreateProcessA(nullptr, &command_line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        note("cannot start %s (error %lu)", argv[2], GetLastError());
        return EXIT_NO_WINDOW;
    }
    unsigned long long end = started + static_cast<unsigned long long>(seconds * 1000);
    unsigned long long window_ms = 0;
    int result = EXIT_NOT_REACHED;
    while (now_ms() < end) {
        HWND window = find_main_window();
        if (window != nullptr && window_ms == 0)
            window_ms = now_ms() - started;
        std::string text;
        // Answered only once the tool pumps messages, that is after its scan.
        if (window != nullptr && window_text(GetDlgItem(window, ID_STATUS), text) && text == " - Idle - ") {
            std::printf("window %llu ms\nready %llu ms\n", window_ms, now_ms() - started);
            PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
            result = EXIT_DONE;
            break;
        }
        Sleep(1);
    }
    if (result != EXIT_DONE)
        note("no idle window after %g s", seconds);
    if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(CLOSE_WAIT_S * 1000)) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

}  // namespace

int main(int argc, char **argv)
{
    // Plain line feeds, as the callers are Linux scripts.
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc < 2)
        return usage();
    std::string command = argv[1];
    if (command == "wait-window") {
        double seconds = 0;
        if (argc != 3 || !parse_seconds(argv[2], seconds))
            return usage();
        if (wait_for_window(find_main_window, seconds) == nullptr) {
            note("no window of class FWU after %g s", seconds);
            return EXIT_NO_WINDOW;
        }
        note("window found");
        return EXIT_DONE;
    }
    if (command == "startup-time")
        return command_startup_time(argc, argv);
    if (command == "box-caption" || command == "box-text" || command == "box-ok")
        return command_box(argc, argv, command.substr(4));
    if (command == "redraw" && argc == 2) {
        redraw(find_main_window());
        redraw(find_message_box());
        return EXIT_DONE;
    }
    HWND window = main_window_or_report();
    if (window == nullptr)
        return EXIT_NO_WINDOW;
    return run_window_command(window, command, argc, argv);
}
