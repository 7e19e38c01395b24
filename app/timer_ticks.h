// The window timer's rhythm without a window: one step of the job, then the
// timer's period, for the builds that run a job on their own (fwu-linux, the
// in-process demo, the tests and the fuzz target).
#pragma once

#include <cstdint>

#include "app/update_control.h"  // TIMER_PERIOD_MS

// One tick: a step, then the timer's period.
void timer_tick(UpdateJob &job);

// Looks at the job after each tick; false ends the run there.
using TickWatch = bool (*)(const UpdateJob &job, uint32_t state_before);

// Ticks until the job is done or failed, reaches `stop_state`, `watch` says
// so, or `limit_ms` have passed on the tick count since the call.
void run_ticks(UpdateJob &job, uint32_t limit_ms, uint32_t stop_state = STATE_DONE, TickWatch watch = nullptr);
