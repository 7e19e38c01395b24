// Sets up the one update job over the in-process channel and drives it as
// the window's timer would, in virtual time; keeps what it reports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/timer_ticks.h"
#include "protocol/update_job.h"
#include "sim/sim_channel.h"

using Bytes = std::vector<uint8_t>;

// The trace and the status texts reported since they were last cleared.
extern std::string captured_trace;
extern std::vector<std::string> captured_status;
void clear_captured_reports();

// The sample image the build generates (116,500 bytes).
const Bytes &sample_image();

// A fresh job in STATE_START with `image` installed (padded), over a fresh
// channel whose tick count starts at `first_tick`.
UpdateJob &start_job(const Bytes &image, const SimConfig &device, uint32_t first_tick = 0);

// Far more virtual time than any update here takes, faults and all.
constexpr uint32_t UPDATE_LIMIT_MS = 20 * 60 * 1000;

// The tool's writes of one kind of request, told apart as the device does.
std::vector<SimSent> sent_of_kind(SimRequestKind kind);

// `bytes` followed by their CRC, low byte first: a frame that passes the trailer test.
Bytes sealed(Bytes bytes);

// A sealed request to write `data` at `address`.
Bytes block_frame(uint32_t address, const Bytes &data);
