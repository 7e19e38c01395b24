// Sets up the one update job over the in-process channel and drives it as
// the window's timer would, in virtual time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/update_control.h"  // TIMER_PERIOD_MS
#include "protocol/update_job.h"
#include "sim/sim_channel.h"


// The sample image the build generates (116,500 bytes).
const std::vector<uint8_t> &sample_image();

// A fresh job in STATE_START with `image` installed (padded), over a fresh
// channel whose tick count starts at `first_tick`.
UpdateJob &start_job(const std::vector<uint8_t> &image, const SimConfig &device, uint32_t first_tick = 0);

// Steps the job as the timer does until it is DONE or FAILED or `limit_ms`
// of virtual time have passed; returns the number of steps.
int run_job(UpdateJob &job, uint64_t limit_ms = 20 * 60 * 1000);

// The tool's writes whose sub-code (byte 2) is `sub_code`.
std::vector<SimSent> sent_of_kind(uint8_t sub_code);

std::vector<uint8_t> padded(const std::vector<uint8_t> &image);
