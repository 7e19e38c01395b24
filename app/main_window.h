// The operator's window: the dialog "FWU" of the private window class "FWU".
#pragma once

#include <windows.h>

#include "app/update_control.h"
#include "protocol/update_job.h"

constexpr UINT_PTR UPDATE_TIMER_ID = 6;
constexpr UINT STEP_GUARD_MS = 10000;  // keeps the timer quiet while a step runs

// The one update of this process.
extern UpdateJob update_job;

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
