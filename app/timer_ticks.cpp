#include "app/timer_ticks.h"

void timer_tick(UpdateJob &job)
{
    job_step(job);
    pause_ms(TIMER_PERIOD_MS);
}

void run_ticks(UpdateJob &job, uint32_t limit_ms, uint32_t stop_state, TickWatch watch)
{
    const uint32_t began = tick_count();
    while (job.state != STATE_DONE && job.state != STATE_FAILED && job.state != stop_state &&
           tick_count() - began < limit_ms) {
        uint32_t before = job.state;
        timer_tick(job);
        if (watch != nullptr && !watch(job, before))
            return;
    }
}
