// fault-campaign [RUNS [FIRST_SEED [--show]]]
//
// Whole updates of the sample image over the in-process line, each against a
// device with its own seeded line faults (dropped, corrupted, split, late,
// refused and noisy replies, a power-up at a random moment, in some runs a
// flash byte that does not take). Each must end, in bounded virtual time,
// completed with the device's flash equal to the padded image or FAILED where
// it really differs. Prints the tally; exits 1 otherwise. `fault-campaign 1 S
// --show` replays run S with its trace.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "tests/support/job_harness.h"

namespace {

constexpr uint32_t VIRTUAL_LIMIT_MS = 60ull * 60 * 1000;

// The device of run `seed`: its faults and its moment of power-up.
SimConfig device_for(uint32_t seed)
{
    std::mt19937 random(seed);
    auto pick = [&random](uint32_t below) { return static_cast<uint32_t>(random() % below); };
    SimConfig device;
    device.power_up_ms = pick(4000);
    device.random_seed = static_cast<uint32_t>(random()) | 1;
    device.random_fault_percent = 1 + pick(15);
    device.late_ms = 120 + pick(400);
    if (pick(10) == 0)
        device.late_ms = 4000 + pick(3000);  // at times later than the job waits for a block
    device.split_pause_ms = 21 + pick(60);
    device.reply_delay_ms = 1 + pick(15);
    device.pace = pick(2) == 0;
    // A refused block is taken for acknowledged (any valid reply is), so a
    // run with refusals nearly always ends in a rightful "FAILED"; keep them
    // to one run in five so the other faults get whole runs too.
    device.random_fault_mask = pick(5) != 0 ? ~(1u << FAULT_EXCEPTION) : ~0u;
    if (pick(5) == 0) {
        device.bad_flash_address = SIM_FLASH_BASE + pick(116736);
        device.bad_flash_writes = pick(3);  // 0: every write of it
    }
    return device;
}

enum Outcome { COMPLETED, FAILED_RIGHTLY, FALSE_SUCCESS, FALSE_FAILURE, UNENDED, OUTCOME_COUNT };
const char *const OUTCOME_NAMES[OUTCOME_COUNT] = {
    "completed, and the flash holds the image",
    "failed, and the flash really differs",
    "FALSE SUCCESS (completed while the flash differs)",
    "FALSE FAILURE (failed while the flash holds the image)",
    "DID NOT END within the virtual time limit",
};

Outcome run_once(uint32_t seed)
{
    UpdateJob &job = start_job(sample_image(), device_for(seed));
    run_ticks(job, VIRTUAL_LIMIT_MS);
    bool flash_ok = sim_flash_holds(sim_channel.device, sample_image().data(), sample_image().size());
    if (job.state == STATE_DONE)
        return flash_ok ? COMPLETED : FALSE_SUCCESS;
    if (job.state == STATE_FAILED)
        return flash_ok ? FALSE_FAILURE : FAILED_RIGHTLY;
    return UNENDED;
}

}  // namespace

int main(int argc, char **argv)
{
    long runs = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 2000;
    uint32_t first_seed = argc > 2 ? static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)) : 1;
    bool show = argc > 3 && std::strcmp(argv[3], "--show") == 0;
    if (runs <= 0 || argc > 4 || (argc == 4 && !show)) {
        std::fprintf(stderr, "usage: fault-campaign [RUNS [FIRST_SEED [--show]]]\n");
        return 2;
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
    return tally[FALSE_SUCCESS] + tally[FALSE_FAILURE] + tally[UNENDED] == 0 ? 0 : 1;
}
