// What a press of "Update Device" and the end of an update do to the job and
// its port, apart from the window's own timer and beep.
#pragma once

#include "protocol/update_job.h"

// The window's timer calls one step of the job, then this long after the step
// has finished the next.
constexpr uint32_t TIMER_PERIOD_MS = 10;

// Opens and configures the port at `path` and sets the job to start over.
// A port left open by an earlier press is closed first, so the same port can
// be chosen again after a failure or mid-transfer. False when the port cannot
// be opened; the job's port is then INVALID_PORT.
bool start_update(UpdateJob &job, const char *path);

// After a step: once the job is done, closes the port and shows
// "Programming Completed". True when that happened.
bool finish_update(UpdateJob &job);
