// fault-campaign [--runs N] [--seed S] [--show]
//
// Runs N whole updates of the sample image over the in-process line, each
// against a device with its own seeded schedule of line faults (dropped,
// corrupted, split, late, refused and noisy replies, a power-up at a random
// moment, and in some runs a flash byte that does not take). Every run must
// end, within a bounded virtual time, either in "Programming Completed OK"
// with the device's flash equal to the padded image, or in "FAILED" where the
// flash really differs. Prints the tally; exits 1 on any false success,
// false failure or run that did not end. `--seed S --runs 1 --show` replays
// one run with its trace.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/support/job_harness.h"
#include "tests/support/report_capture.h"

namespace {

constexpr uint64_t VIRTUAL_LIMIT_MS = 60ull * 60 * 1000;

uint32_t mix(uint32_t &state)
{
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

uint32_t pick(uint32_t &state, uint32_t below)
{
    return mix(state) % below;
}

// The device of run `seed`: its faults and its moment of power-up.
SimConfig device_for(uint32_t seed)
{
    uint32_t state = seed * 2654435761u + 1;
    SimConfig device;
    device.power_up_ms = pick(state, 4000);
    device.random_seed = mix(state) | 1;
    device.random_fault_percent = 1 + pick(state, 15);
    device.late_ms = 120 + pick(state, 400);
    if (pick(state, 10) == 0)
        device.late_ms = 4000 + pick(state, 3000);  // at times later than the job waits for a block
    device.split_pause_ms = 21 + pick(state, 60);
    device.reply_delay_ms = 1 + pick(state, 15);
    device.pace = pick(state, 2) == 0;
    // A refused block is taken for acknowledged (any valid reply is), so a
    // run with refusals nearly always ends in a rightful "FAILED"; keep them
    // to one run in five so the other faults get whole runs too.
    device.random_fault_mask = ~0u;
    if (pick(state, 5) != 0)
        device.random_fault_mask &= ~(1u << FAULT_EXCEPTION);
    if (pick(state, 5) == 0) {
        device.bad_flash_address = SIM_FLASH_BASE + pick(state, 116736);
        device.bad_flash_writes = pick(state, 3);  // 0: every write of it
    }
    return device;
}

enum Outcome { COMPLETED, FAILED_RIGHTLY, FALSE_SUCCESS, FALSE_FAILURE, NO_RESET, UNENDED, OUTCOME_COUNT };
const char *const OUTCOME_NAMES[OUTCOME_COUNT] = {
    "completed, flash verified and device reset",
    "failed, and the flash really differs",
    "FALSE SUCCESS (completed while the flash differs)",
    "false failure (failed while the flash holds the image)",
    "completed, flash verified, but the device refused the reset",
    "DID NOT END within the virtual time limit",
};

Outcome run_once(uint32_t seed)
{
    UpdateJob &job = start_job(sample_image(), device_for(seed));
    run_job(job, VIRTUAL_LIMIT_MS);
    const BootLoader &device = sim_channel.device;
    bool flash_ok = sim_flash_holds(device, sample_image().data(), sample_image().size());
    if (job.state == STATE_DONE && !flash_ok)
        return FALSE_SUCCESS;
    if (job.state == STATE_DONE)
        return device.resets > 0 ? COMPLETED : NO_RESET;
    if (job.state == STATE_FAILED)
        return flash_ok ? FALSE_FAILURE : FAILED_RIGHTLY;
    return UNENDED;
}

}  // namespace

int main(int argc, char **argv)
{
    long runs = 2000;
    uint32_t first_seed = 1;
    bool show = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::strtol(argv[++i], nullptr, 10);
        else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc)
            first_seed = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        else if (std::strcmp(argv[i], "--show") == 0)
            show = true;
        else {
            std::fprintf(stderr, "usage: fault-campaign [--runs N] [--seed S] [--show]\n");
            return 2;
        }
    }

    long tally[OUTCOME_COUNT] = {};
    uint32_t example[OUTCOME_COUNT] = {};  // the first seed of each outcome
    for (long i = 0; i < runs; ++i) {
        uint32_t seed = first_seed + static_cast<uint32_t>(i);
        Outcome outcome = run_once(seed);
        if (tally[outcome]++ == 0)
            example[outcome] = seed;
        if (show)
            std::printf("%s\nseed %u: %s\n", captured_trace.c_str(), seed, OUTCOME_NAMES[outcome]);
    }

    std::printf("fault campaign: %ld runs from seed %u\n", runs, first_seed);
    for (int outcome = 0; outcome < OUTCOME_COUNT; ++outcome) {
        std::printf("  %6ld  %s", tally[outcome], OUTCOME_NAMES[outcome]);
        if (outcome != COMPLETED && tally[outcome] > 0)
            std::printf("  (first: seed %u)", example[outcome]);
        std::printf("\n");
    }
    std::printf("  false successes: %ld\n", tally[FALSE_SUCCESS]);
    return tally[FALSE_SUCCESS] + tally[FALSE_FAILURE] + tally[UNENDED] == 0 ? 0 : 1;
}
