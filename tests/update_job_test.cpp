// The update job against the simulated device, in virtual time: a whole
// update by its trace, its waits, and how it rides out what the line does.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/support/job_harness.h"

namespace {

const uint32_t BASE = 0x08004000;
const uint32_t PADDED_SIZE = 116736;  // the sample image in whole kilobytes

std::string hex(const char *format, uint32_t value)
{
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

bool flash_holds_sample()
{
    return sim_flash_holds(sim_channel.device, sample_image().data(), sample_image().size());
}

TEST(UpdateJob, WholeUpdateOfTheSampleImageAfterALatePowerUp)
{
    SimConfig device;
    device.power_up_ms = 1000;  // plugged in after the press
    UpdateJob &job = start_job(sample_image(), device);
    run_ticks(job, UPDATE_LIMIT_MS);
    ASSERT_EQ(job.state, STATE_DONE);

    // Contact on the second tick, the next 110 ms later (pause and timer), then
    // every 210 ms (resend, pause, silent read, timer); the first request that
    // reaches the powered device makes the link.
    std::vector<uint64_t> contact_times;
    for (const SimSent &sent : sent_of_kind(SIM_CONTACT))
        contact_times.push_back(sent.at_ms);
    EXPECT_EQ(contact_times, (std::vector<uint64_t>{10, 120, 330, 540, 750, 960, 1170}));

    // The flash shows what the device got; the trace below, in which order.
    EXPECT_TRUE(flash_holds_sample());
    EXPECT_EQ(sim_channel.purges, 1u);  // once, when the link is made
    EXPECT_EQ(sim_channel.flushes, 1u);

    // The trace, character for character; the contact reply carries 0xb001,
    // the CRC of four erased bytes, high byte first.
    std::string expected;
    for (size_t i = 0; i < contact_times.size(); ++i)
        expected += "CONTACTING...\n";
    expected += "RX: 04 2b f6 08 00 40 00 00 00 00 04 b0 01 04 9b\n"
                "REMOTE DEVICE LINK ESTABLISHED\n";
    std::vector<std::string> statuses{"Establishing Link..."};
    for (uint32_t offset = 0; offset < PADDED_SIZE; offset += 1024) {
        expected += hex("PROG ADDR %#x, ", BASE + offset) + "LEN 0x400, " + hex("FROM %#x...", offset) +
                    " - SENT - - OK\n";
        statuses.push_back(hex("programming %#x", BASE + offset));
    }
    std::string crc = hex("%#x\n", sim_flash_crc(sim_channel.device, BASE, PADDED_SIZE));
    expected += "Verifying address 0x8004000, image size 0x1c800 bytes\n"
                "frame length   13 bytes sent\n"
                "Remote CRC " + crc + "Local  CRC " + crc +
                "CRCs match\n"
                "Resetting target\n"
                "frame length    5 bytes sent\n"
                "frame length    5 bytes received & OK\n";
    EXPECT_EQ(captured_trace, expected);
    statuses.insert(statuses.end(),
                    {"Verifying...", "Program Verified OK", "Resetting target...", "Programming Completed OK"});
    EXPECT_EQ(captured_status, statuses);
}

TEST(UpdateJob, UnansweredBlockIsResentOnlyOnceMoreThan5000msHavePassedEvenAcrossTheTickWrap)
{
    SimConfig device;
    device.rules.push_back({SIM_BLOCK, 1, FAULT_DROP});
    UpdateJob &job = start_job(sample_image(), device, 0xFFFFFFFFu - 1000);
    run_ticks(job, 60000, STATE_PROGRAM);  // the first block has just gone out
    ASSERT_EQ(job.state, STATE_PROGRAM);
    ASSERT_LT(job.start_tick + 5000u, job.start_tick) << "the wait must cross the wrap of the tick count";
    const size_t writes = sim_channel.sent.size();
    const uint64_t sent_at_ms = sim_channel.sent.back().at_ms;

    job_step(job);  // 10 ms after the send, before the tick count wraps: no resend
    sim_channel.now_ms = sent_at_ms + 5000;  // exactly the limit: not yet overdue
    job_step(job);
    EXPECT_EQ(sim_channel.sent.size(), writes);

    sim_channel.now_ms = sent_at_ms + 5001;
    job_step(job);  // resends, and its read takes the answer: the next block follows at once
    EXPECT_EQ(sim_channel.sent.size(), writes + 2);
    EXPECT_NE(captured_trace.find("PROG ADDR 0x8004000, LEN 0x400, FROM 0... - SENT - TIMEOUT\n"
                                  "PROG ADDR 0x8004000, LEN 0x400, FROM 0... - SENT - - OK\n"),
              std::string::npos);
}

TEST(UpdateJob, RidesOutReplyFaultsAndNeverClaimsAFlashItHasNotVerified)
{
    const struct {
        const char *name;
        std::vector<SimFaultRule> rules;
        JobState end;
        size_t writes;  // requests of the first rule's kind that the tool sent
        size_t resets;  // reset requests sent
    } cases[] = {
        {"block reply dropped", {{SIM_BLOCK, 40, FAULT_DROP}}, STATE_DONE, 115, 1},
        {"block reply corrupted", {{SIM_BLOCK, 40, FAULT_CORRUPT}}, STATE_DONE, 115, 1},
        {"block reply split: neither half is a frame", {{SIM_BLOCK, 40, FAULT_SPLIT}}, STATE_DONE, 115, 1},
        {"noise before a block reply", {{SIM_BLOCK, 40, FAULT_GARBAGE}}, STATE_DONE, 115, 1},
        {"block reply late, within the wait", {{SIM_BLOCK, 40, FAULT_LATE}}, STATE_DONE, 114, 1},
        // Any valid reply acknowledges a block, a refusal too: verification catches it.
        {"block refused", {{SIM_BLOCK, 7, FAULT_EXCEPTION}}, STATE_FAILED, 114, 0},
        {"verification reply corrupted", {{SIM_VERIFY, 1, FAULT_CORRUPT}}, STATE_DONE, 2, 1},
        // Five bytes: where the CRC belongs lies the request's own trailer.
        {"verification refused", {{SIM_VERIFY, 1, FAULT_EXCEPTION}}, STATE_DONE, 2, 1},
        // The wait for the verification counts from its own request.
        {"verification reply dropped after a late last block",
         {{SIM_VERIFY, 1, FAULT_DROP}, {SIM_BLOCK, 114, FAULT_LATE}}, STATE_DONE, 2, 1},
        // The wait for the reset counts from its own request, not from the
        // verification's, which went out 4 s before.
        {"verification reply late", {{SIM_VERIFY, 1, FAULT_LATE}}, STATE_DONE, 1, 1},
        // The restarting device ignores the next reset; the one after reaches it.
        {"reset acknowledgement dropped", {{SIM_RESET, 1, FAULT_DROP}}, STATE_DONE, 3, 3},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.name);
        SimConfig device;
        device.late_ms = 4000;  // within the 5 s a block or the verification is waited for
        device.rules = test.rules;
        UpdateJob &job = start_job(sample_image(), device);
        run_ticks(job, UPDATE_LIMIT_MS);

        EXPECT_EQ(job.state, test.end);
        EXPECT_EQ(flash_holds_sample(), test.end == STATE_DONE);
        EXPECT_EQ(captured_status.back(), test.end == STATE_DONE ? "Programming Completed OK" : "FAILED");
        const std::string last = test.end == STATE_DONE ? "bytes received & OK\n" : "CRC FAIL\n";
        EXPECT_EQ(captured_trace.substr(captured_trace.size() - last.size()), last);
        size_t decision = captured_trace.find("Remote CRC");  // one verification decides
        EXPECT_TRUE(decision != std::string::npos && decision == captured_trace.rfind("Remote CRC"));
        // A request goes out again once its wait is over: at the first step
        // after it, which is a read of 100 ms and the timer's 10 ms later at most.
        SimRequestKind kind = test.rules[0].kind;
        uint64_t wait_ms = kind == SIM_BLOCK || kind == SIM_VERIFY ? 5000 : 100;
        std::vector<SimSent> sent = sent_of_kind(kind);
        EXPECT_EQ(sent.size(), test.writes);
        EXPECT_EQ(sent_of_kind(SIM_RESET).size(), test.resets);
        for (size_t i = 1; i < sent.size(); ++i) {
            if (sent[i].bytes == sent[i - 1].bytes) {
                uint64_t gap = sent[i].at_ms - sent[i - 1].at_ms;
                EXPECT_TRUE(gap > wait_ms && gap <= wait_ms + 110) << "request " << i << " after " << gap << " ms";
            }
        }
        // Once ended, the job sends nothing more until a press starts it over.
        const size_t writes = sim_channel.sent.size();
        for (int i = 0; i < 1000; ++i)
            timer_tick(job);
        EXPECT_EQ(sim_channel.sent.size(), writes);
        if (test.end == STATE_FAILED) {
            const size_t contacts = sent_of_kind(SIM_CONTACT).size();
            sim_channel.device.deaf_until = static_cast<uint32_t>(sim_channel.now_ms) + 1000;  // replugged
            job.state = STATE_START;  // what the press does, port aside
            run_ticks(job, UPDATE_LIMIT_MS);
            EXPECT_EQ(job.state, STATE_DONE);
            std::vector<SimSent> again = sent_of_kind(SIM_CONTACT);  // timed as at the first press
            EXPECT_EQ(again.at(contacts + 1).at_ms - again.at(contacts).at_ms, 110u);
            EXPECT_EQ(sent_of_kind(SIM_BLOCK).at(114).bytes, sent_of_kind(SIM_BLOCK).at(0).bytes);
            EXPECT_TRUE(flash_holds_sample());
        }
    }
}

TEST(UpdateJob, TicksEndAtTheirLimitOrWhenTheWatchSaysSoAndEveryByteBeforeTheLinkIsTraced)
{
    SimConfig device;
    device.power_up_ms = 1000;
    UpdateJob &job = start_job(sample_image(), device);
    sim_channel.line.push_back(SimArrival{0, 0x55});  // a lone byte of noise
    run_ticks(job, TIMER_PERIOD_MS);  // one step, then the limit
    EXPECT_EQ(job.state, STATE_CONTACT);
    run_ticks(job, UPDATE_LIMIT_MS, STATE_DONE, [](const UpdateJob &, uint32_t) { return false; });
    EXPECT_EQ(job.state, STATE_AWAIT_LINK);  // one more step, then the watch
    run_ticks(job, 1000, STATE_PROGRAM);
    EXPECT_EQ(captured_trace.find("CONTACTING...\nCONTACTING...\nRX: 55\nCONTACTING...\n"), 0u);
}

TEST(UpdateJob, AnImageOfNoWholeNumberOfKilobytesEndsWithAShortBlock)
{
    // The tool pads what it carries, but the job itself takes any length.
    UpdateJob &job = start_job(Bytes(1500, 0x5A), SimConfig{});
    job.image_size = 1500;
    run_ticks(job, UPDATE_LIMIT_MS);

    EXPECT_EQ(job.state, STATE_DONE);
    std::vector<SimSent> blocks = sent_of_kind(SIM_BLOCK);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[1].bytes, block_frame(0x08004400, Bytes(476, 0x5A)));
    EXPECT_NE(captured_trace.find("PROG ADDR 0x8004400, LEN 0x1dc, FROM 0x400... - SENT - - OK\n"
                                  "Verifying address 0x8004000, image size 0x5dc bytes\n"),
              std::string::npos);
}

TEST(UpdateJob, VerificationReplyTooShortForACrcAndATrailerIsNotTaken)
{
    // 13 bytes with a good trailer: bytes 11 and 12, where the CRC would be,
    // are that trailer. The job waits and asks again; the real answer decides.
    SimConfig device;
    device.rules.push_back({SIM_VERIFY, 1, FAULT_DROP});
    UpdateJob &job = start_job(sample_image(), device);
    run_ticks(job, 60000, STATE_VERIFY);
    for (uint8_t byte : sealed({0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x01, 0xC8, 0x00}))
        sim_channel.line.push_back(SimArrival{sim_channel.now_ms, byte});
    run_ticks(job, UPDATE_LIMIT_MS);

    EXPECT_EQ(job.state, STATE_DONE);
    EXPECT_EQ(sent_of_kind(SIM_VERIFY).size(), 2u);
}

}  // namespace
