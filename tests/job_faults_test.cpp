// What the line does to replies, and how the job rides it out.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "protocol/frame.h"
#include "tests/support/job_harness.h"
#include "tests/support/report_capture.h"

namespace {

size_t count_of(const std::string &text, const std::string &what)
{
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

struct BlockReplyFault {
    SimFault fault;
    size_t timeouts;  // a reply that cannot be taken costs one 5-second resend
};

void PrintTo(const BlockReplyFault &param, std::ostream *out)
{
    *out << sim_fault_name(param.fault);
}

class BlockReplyFaults : public ::testing::TestWithParam<BlockReplyFault> {};

TEST_P(BlockReplyFaults, UpdateStillCompletesWithTheFlashVerified)
{
    SimConfig device;
    device.rules.push_back({SIM_BLOCK, 40, GetParam().fault});
    UpdateJob &job = start_job(sample_image(), device);
    run_job(job);

    EXPECT_EQ(job.state, STATE_DONE);
    EXPECT_EQ(count_of(captured_trace, "TIMEOUT\n"), GetParam().timeouts);
    EXPECT_EQ(sent_of_kind(MEI_WRITE_BLOCK).size(), 114 + GetParam().timeouts);
    EXPECT_TRUE(sim_flash_holds(sim_channel.device, sample_image().data(), sample_image().size()));
}

INSTANTIATE_TEST_SUITE_P(Line, BlockReplyFaults,
                         ::testing::Values(BlockReplyFault{FAULT_DROP, 1}, BlockReplyFault{FAULT_CORRUPT, 1},
                                           BlockReplyFault{FAULT_SPLIT, 1}, BlockReplyFault{FAULT_GARBAGE, 1},
                                           BlockReplyFault{FAULT_LATE, 0}),
                         [](const auto &info) { return std::string(sim_fault_name(info.param.fault)); });

TEST(JobFaults, SplitReplyPiecesAreReadAndJudgedSeparately)
{
    SimConfig device;
    device.rules.push_back({SIM_BLOCK, 1, FAULT_SPLIT});
    UpdateJob &job = start_job(sample_image(), device);
    while (job.state != STATE_PROGRAM)
        job_step(job), pause_ms(TIMER_PERIOD_MS);
    const uint32_t reads = sim_channel.reads;
    for (int i = 0; i < 3; ++i)
        job_step(job), pause_ms(TIMER_PERIOD_MS);
    // Neither 5-byte half of the 11-byte acknowledgement is a frame of its own.
    EXPECT_EQ(sim_channel.reads, reads + 3);
    EXPECT_EQ(job.offset, 0);
    EXPECT_EQ(job.frame_len, 0);
}

TEST(JobFaults, ExceptionReplyToABlockIsTakenAsItsAcknowledgementAndVerificationCatchesIt)
{
    // Any valid reply acknowledges a block, so a refused block is not sent
    // again; the device's CRC then differs and the job must not claim success.
    SimConfig device;
    device.rules.push_back({SIM_BLOCK, 7, FAULT_EXCEPTION});
    UpdateJob &job = start_job(sample_image(), device);
    run_job(job);

    EXPECT_EQ(job.state, STATE_FAILED);
    EXPECT_EQ(captured_status.back(), "FAILED");
    EXPECT_FALSE(sim_flash_holds(sim_channel.device, sample_image().data(), sample_image().size()));
}

TEST(JobFaults, LostResetAcknowledgementIsAskedForAgain)
{
    SimConfig device;
    device.rules.push_back({SIM_RESET, 1, FAULT_DROP});
    UpdateJob &job = start_job(sample_image(), device);
    run_job(job);

    EXPECT_EQ(job.state, STATE_DONE);
    std::vector<SimSent> resets = sent_of_kind(MEI_RESET);
    ASSERT_GE(resets.size(), 2u);
    for (size_t i = 1; i < resets.size(); ++i)
        EXPECT_GT(resets[i].at_ms - resets[i - 1].at_ms, 100u);
    // The restarting device ignores resets until it is back; one more reaches it.
    EXPECT_EQ(sim_channel.device.resets, 2u);
    EXPECT_EQ(count_of(captured_trace, "Resetting target\n"), resets.size());
}

TEST(JobFaults, BadTrailerOnTheVerificationReplyIsIgnoredUntilTheQueryIsRepeated)
{
    SimConfig device;
    device.rules.push_back({SIM_VERIFY, 1, FAULT_CORRUPT});
    UpdateJob &job = start_job(sample_image(), device);
    run_job(job);

    EXPECT_EQ(job.state, STATE_DONE);
    EXPECT_EQ(sim_channel.device.requests[SIM_VERIFY], 2u);
    EXPECT_EQ(count_of(captured_trace, "Remote CRC"), 1u);
}

}  // namespace
