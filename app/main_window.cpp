#include "app/main_window.h"

#include "app/update_control.h"
#include "report/report.h"
#include "resources/control_ids.h"
#include "serial/port_table.h"

UpdateJob update_job;

static void on_update_pressed(HWND window)
{
    LRESULT row = SendMessageA(GetDlgItem(window, IDC_PORT_LIST), CB_GETCURSEL, 0, 0);
    const char *path = port_path_of_row(static_cast<int>(row));
    if (path == nullptr) {
        // Nothing chosen (an empty list, or text typed into the box): no port to open.
        set_status("Choose a COM port first");
        return;
    }
    if (!start_update(update_job, path))
        fatal_error("Unable to open serial port. In use already, or not present");
    SetTimer(window, UPDATE_TIMER_ID, TIMER_PERIOD_MS, nullptr);
}

static void on_update_timer(HWND window)
{
    SetTimer(window, UPDATE_TIMER_ID, STEP_GUARD_MS, nullptr);
    job_step(update_job);
    // The period starts again once the step is over, however long it took.
    SetTimer(window, UPDATE_TIMER_ID, TIMER_PERIOD_MS, nullptr);
    if (update_job.state == STATE_DONE) {
        KillTimer(window, UPDATE_TIMER_ID);
        Beep(2000, 100);
        finish_update(update_job);
    }
}

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wparam) != IDC_UPDATE)
            break;
        on_update_pressed(window);
        return 0;
    case WM_TIMER:
        if (LOWORD(wparam) != UPDATE_TIMER_ID)
            break;
        on_update_timer(window);
        return 0;
    default:
        break;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}
