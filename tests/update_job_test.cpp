// The update job over the simulated device, in virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "protocol/frame.h"
#include "protocol/update_job.h"
#include "tests/support/job_harness.h"
#include "tests/support/report_capture.h"

namespace {

std::string hex(const char *format, uint32_t value)
{
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

uint32_t be32(const std::vector<uint8_t> &bytes, size_t at)
{
    return static_cast<uint32_t>(bytes[at]) << 24 | static_cast<uint32_t>(bytes[at + 1]) << 16 |
           static_cast<uint32_t>(bytes[at + 2]) << 8 | bytes[at + 3];
}

std::vector<uint64_t> contact_times()
{
    std::vector<uint64_t> times;
    for (const SimSent &sent : sent_of_kind(MEI_QUERY_CRC))
        if (be32(sent.bytes, 7) == 4)
            times.push_back(sent.at_ms);
    return times;
}

TEST(UpdateJob, WholeUpdateOfTheSampleImage)
{
    SimConfig device;
    device.power_up_ms = 1000;  // plugged in after the press
    const std::vector<uint8_t> image = padded(sample_image());
    ASSERT_EQ(image.size(), 116736u);
    UpdateJob &job = start_job(sample_image(), device);

    run_job(job);

    ASSERT_EQ(job.state, STATE_DONE);
    // 114 blocks of 1024 bytes at consecutive addresses, each carrying its slice.
    std::vector<SimSent> blocks = sent_of_kind(MEI_WRITE_BLOCK);
    ASSERT_EQ(blocks.size(), 114u);
    for (size_t i = 0; i < blocks.size(); ++i) {
        const std::vector<uint8_t> &frame = blocks[i].bytes;
        ASSERT_EQ(frame.size(), 1035u);
        EXPECT_EQ(be32(frame, 3), 0x08004000u + 1024u * i) << "block " << i;
        EXPECT_EQ(frame[7] << 8 | frame[8], 1024);
        EXPECT_TRUE(std::equal(frame.begin() + 9, frame.begin() + 1033, image.begin() + 1024 * i)) << "block " << i;
    }
    EXPECT_EQ(be32(blocks.back().bytes, 3), 0x08020400u);

    // Verification over the whole padded image, then the reset.
    std::vector<SimSent> queries = sent_of_kind(MEI_QUERY_CRC);
    EXPECT_EQ(queries.back().bytes, (std::vector<uint8_t>{0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x01,
                                                           0xC8, 0x00, 0x45, 0x99}));
    EXPECT_EQ(sent_of_kind(MEI_RESET).size(), 1u);
    EXPECT_EQ(sim_channel.sent.back().bytes, (std::vector<uint8_t>{0x04, 0x2B, 0xF7, 0x6F, 0x77}));

    const BootLoader &sim = sim_channel.device;
    EXPECT_TRUE(sim_flash_holds(sim, sample_image().data(), sample_image().size()));
    EXPECT_EQ(sim.resets, 1u);
    EXPECT_EQ(sim_channel.purges, 1u);
    EXPECT_EQ(sim_channel.flushes, 1u);

    // The trace, character for character.
    const uint8_t erased[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    uint16_t erased_crc = crc16_modbus(erased, 4);
    std::vector<uint8_t> contact_reply{0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x04,
                                       static_cast<uint8_t>(erased_crc >> 8), static_cast<uint8_t>(erased_crc)};
    uint16_t trailer = crc16_modbus(contact_reply.data(), 13);
    contact_reply.push_back(static_cast<uint8_t>(trailer));
    contact_reply.push_back(static_cast<uint8_t>(trailer >> 8));

    std::string expected;
    for (size_t i = 0; i < contact_times().size(); ++i)
        expected += "CONTACTING...\n";
    expected += "RX:";
    for (uint8_t byte : contact_reply)
        expected += hex(" %02x", byte);
    expected += "\nREMOTE DEVICE LINK ESTABLISHED\n";
    for (uint32_t offset = 0; offset < 116736; offset += 1024)
        expected += hex("PROG ADDR %#x, ", 0x08004000 + offset) + "LEN 0x400, " + hex("FROM %#x...", offset) +
                    " - SENT - - OK\n";
    std::string crc = hex("%#x\n", crc16_modbus(image.data(), 116736));
    expected += "Verifying address 0x8004000, image size 0x1c800 bytes\n"
                "frame length   13 bytes sent\n"
                "Remote CRC " + crc + "Local  CRC " + crc +
                "CRCs match\n"
                "Resetting target\n"
                "frame length    5 bytes sent\n"
                "frame length    5 bytes received & OK\n";
    EXPECT_EQ(captured_trace, expected);
    EXPECT_EQ(captured_trace.substr(captured_trace.find("PROG"), 60),
              "PROG ADDR 0x8004000, LEN 0x400, FROM 0... - SENT - - OK\nPROG");

    // The status texts, in order.
    std::vector<std::string> statuses{"Establishing Link..."};
    for (uint32_t offset = 0; offset < 116736; offset += 1024)
        statuses.push_back(hex("programming %#x", 0x08004000 + offset));
    statuses.insert(statuses.end(), {"Verifying...", "Program Verified OK", "Resetting target...",
                                     "Programming Completed OK"});
    EXPECT_EQ(captured_status, statuses);
}

TEST(UpdateJob, FirstStepsInitialiseThenContactThenRead)
{
    SimConfig device;
    device.power_up_ms = 60000;
    UpdateJob &job = start_job(sample_image(), device);

    job_step(job);
    EXPECT_EQ(job.state, STATE_CONTACT);
    EXPECT_EQ(job.chunk_len, 1024);
    EXPECT_EQ(job.offset, 0);
    EXPECT_EQ(job.timeout_ms, 100u);
    EXPECT_TRUE(sim_channel.sent.empty());
    EXPECT_TRUE(captured_status.empty());

    pause_ms(TIMER_PERIOD_MS);
    job_step(job);  // sends the first contact request and pauses, without reading
    EXPECT_EQ(job.state, STATE_AWAIT_LINK);
    EXPECT_EQ(sim_channel.sent.size(), 1u);
    EXPECT_EQ(sim_channel.reads, 0u);
    EXPECT_EQ(sim_channel.now_ms, 10u + 100u);
    EXPECT_EQ(captured_status, std::vector<std::string>{"Establishing Link..."});

    pause_ms(TIMER_PERIOD_MS);
    job_step(job);  // 110 ms since the send: overdue, so it sends again before its read
    EXPECT_EQ(sim_channel.sent.size(), 2u);
    EXPECT_EQ(sim_channel.reads, 1u);
}

TEST(UpdateJob, ContactRhythmCatchesALatePowerUp)
{
    SimConfig device;
    device.power_up_ms = 1000;
    UpdateJob &job = start_job(sample_image(), device);

    run_job(job);

    // Press at 0; first contact on the second tick, the next 110 ms later (pause
    // and timer), then every 210 ms (resend, pause, silent read, timer). The
    // first request that reaches the powered device makes the link.
    EXPECT_EQ(contact_times(), (std::vector<uint64_t>{10, 120, 330, 540, 750, 960, 1170}));
    EXPECT_EQ(sim_channel.device.requests[SIM_CONTACT], 1u);
    EXPECT_EQ(job.state, STATE_DONE);
}

TEST(UpdateJob, AlreadyPoweredDeviceAnswersTwiceBeforeTheLink)
{
    // With the device on at the press, the first reply waits in the driver while
    // the second contact goes out; one read takes both, which is not one frame.
    UpdateJob &job = start_job(sample_image(), SimConfig{});
    run_job(job);
    EXPECT_EQ(contact_times().size(), 3u);
    std::vector<size_t> received;  // bytes shown on each RX line
    for (size_t at = captured_trace.find("RX:"); at != std::string::npos; at = captured_trace.find("RX:", at + 1))
        received.push_back((captured_trace.find('\n', at) - at - 3) / 3);
    EXPECT_EQ(received, (std::vector<size_t>{30, 15}));
    EXPECT_EQ(job.state, STATE_DONE);
}

TEST(UpdateJob, BlockIsResentOnlyOnceMoreThan5000msHavePassedAcrossTheTickWrap)
{
    SimConfig device;
    device.rules.push_back({SIM_BLOCK, 3, FAULT_DROP});
    UpdateJob &job = start_job(sample_image(), device, 0xFFFFFFFFu - 1000);

    while (!(job.state == STATE_PROGRAM && job.offset == 2048))
        job_step(job), pause_ms(TIMER_PERIOD_MS);
    const uint32_t sent_at = job.start_tick;
    ASSERT_LT(sent_at + 5000u, sent_at) << "the wait must cross the wrap of the tick count";
    const size_t writes = sim_channel.sent.size();
    const uint64_t sent_at_ms = sim_channel.now_ms - (tick_count() - sent_at);

    sim_channel.now_ms = sent_at_ms + 5000;  // exactly the limit: not yet overdue
    job_step(job);
    EXPECT_EQ(sim_channel.sent.size(), writes);
    EXPECT_EQ(captured_trace.find("TIMEOUT"), std::string::npos);

    sim_channel.now_ms = sent_at_ms + 5001;
    job_step(job);  // resends, and its read takes the answer: the next block follows at once
    ASSERT_EQ(sim_channel.sent.size(), writes + 2);
    EXPECT_EQ(be32(sim_channel.sent[writes].bytes, 3), 0x08004800u);
    EXPECT_EQ(be32(sim_channel.sent[writes + 1].bytes, 3), 0x08004C00u);
    EXPECT_NE(captured_trace.find("PROG ADDR 0x8004800, LEN 0x400, FROM 0x800... - SENT - TIMEOUT\n"
                                  "PROG ADDR 0x8004800, LEN 0x400, FROM 0x800... - SENT - - OK\n"),
              std::string::npos);

    run_job(job);
    EXPECT_EQ(job.state, STATE_DONE);
    EXPECT_EQ(sent_of_kind(MEI_WRITE_BLOCK).size(), 115u);
}

TEST(UpdateJob, UnansweredBlockIsResentEveryLittleOver5000ms)
{
    SimConfig device;
    for (uint32_t nth = 2; nth <= 4; ++nth)
        device.rules.push_back({SIM_BLOCK, nth, FAULT_DROP});
    UpdateJob &job = start_job(sample_image(), device);
    run_job(job);

    std::vector<SimSent> blocks = sent_of_kind(MEI_WRITE_BLOCK);
    ASSERT_EQ(blocks.size(), 117u);
    for (size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(be32(blocks[i].bytes, 3), 0x08004400u);
        uint64_t gap = blocks[i + 1].at_ms - blocks[i].at_ms;
        EXPECT_GT(gap, 5000u);
        EXPECT_LE(gap, 5000u + 100u + 2 * TIMER_PERIOD_MS);  // at the first step past the limit
    }
    EXPECT_EQ(job.state, STATE_DONE);
}

TEST(UpdateJob, CrcMismatchEndsInFailedAndNothingMoreIsSent)
{
    SimConfig device;
    device.bad_flash_address = 0x08004000 + 70000;  // one byte that does not take
    UpdateJob &job = start_job(sample_image(), device);
    run_job(job);

    ASSERT_EQ(job.state, STATE_FAILED);
    EXPECT_EQ(captured_status.back(), "FAILED");
    EXPECT_NE(captured_trace.find("Remote CRC"), std::string::npos);
    EXPECT_TRUE(captured_trace.size() > 9 &&
                captured_trace.compare(captured_trace.size() - 9, 9, "CRC FAIL\n") == 0);
    EXPECT_TRUE(sent_of_kind(MEI_RESET).empty());

    const size_t writes = sim_channel.sent.size();
    const std::string trace_before = captured_trace;
    const size_t statuses = captured_status.size();
    const uint32_t reads = sim_channel.reads;
    for (int i = 0; i < 1000; ++i)
        job_step(job), pause_ms(TIMER_PERIOD_MS);
    EXPECT_EQ(job.state, STATE_FAILED);
    EXPECT_EQ(sim_channel.sent.size(), writes);
    EXPECT_EQ(sim_channel.reads, reads);
    EXPECT_EQ(captured_trace, trace_before);
    EXPECT_EQ(captured_status.size(), statuses);
}

TEST(UpdateJob, DoneAndUnknownStatesDoNothing)
{
    UpdateJob &job = start_job(sample_image(), SimConfig{});
    run_job(job);
    ASSERT_EQ(job.state, STATE_DONE);
    for (uint32_t state : {uint32_t{STATE_DONE}, 8u, 0xFFFFFFFFu}) {
        job.state = state;
        const size_t writes = sim_channel.sent.size();
        const size_t trace_length = captured_trace.size();
        for (int i = 0; i < 100; ++i)
            job_step(job), pause_ms(TIMER_PERIOD_MS);
        EXPECT_EQ(job.state, state);
        EXPECT_EQ(sim_channel.sent.size(), writes);
        EXPECT_EQ(captured_trace.size(), trace_length);
    }
}

TEST(UpdateJob, ShortVerificationReplyIsNotTakenForTheDevicesCrc)
{
    // A 5-byte exception reply passes the trailer test but carries no CRC: bytes
    // 11 and 12 would still hold the request's own trailer. The query is asked
    // again when overdue, and the real answer decides.
    SimConfig device;
    device.rules.push_back({SIM_VERIFY, 1, FAULT_EXCEPTION});
    UpdateJob &job = start_job(sample_image(), device);
    run_job(job);

    EXPECT_EQ(job.state, STATE_DONE);
    EXPECT_EQ(sim_channel.device.requests[SIM_VERIFY], 2u);
    EXPECT_EQ(captured_trace.find("Remote CRC 0x4599"), std::string::npos);
    EXPECT_EQ(captured_trace.find("CRC FAIL"), std::string::npos);
    EXPECT_EQ(std::count(captured_status.begin(), captured_status.end(), "Verifying..."), 2);
}

TEST(UpdateJob, VerificationReplyTooShortForCrcAndTrailerIsNotTaken)
{
    // A 13-byte frame with a good trailer has that trailer at bytes 11 and 12,
    // where a CRC would have to be: it must not decide the verification.
    SimConfig device;
    device.rules.push_back({SIM_VERIFY, 1, FAULT_DROP});
    UpdateJob &job = start_job(sample_image(), device);
    while (job.state != STATE_VERIFY)
        job_step(job), pause_ms(TIMER_PERIOD_MS);
    std::vector<uint8_t> reply{0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x01, 0xC8, 0x00};
    uint16_t trailer = crc16_modbus(reply.data(), 11);
    reply.push_back(static_cast<uint8_t>(trailer));
    reply.push_back(static_cast<uint8_t>(trailer >> 8));
    for (uint8_t byte : reply)
        sim_channel.line.push_back(SimArrival{sim_channel.now_ms, byte});
    run_job(job);

    EXPECT_EQ(job.state, STATE_DONE);
    EXPECT_EQ(sim_channel.device.requests[SIM_VERIFY], 2u);
    EXPECT_EQ(captured_trace.find("CRC FAIL"), std::string::npos);
}

TEST(UpdateJob, SizeNotAWholeNumberOfBlocksEndsWithTheRemainder)
{
    UpdateJob &job = start_job(sample_image(), SimConfig{});
    job.image_size = 3 * 1024 + 100;
    run_job(job);

    std::vector<SimSent> blocks = sent_of_kind(MEI_WRITE_BLOCK);
    ASSERT_EQ(blocks.size(), 4u);
    EXPECT_EQ(blocks[0].bytes.size(), 1035u);
    EXPECT_EQ(blocks[3].bytes.size(), 111u);
    EXPECT_EQ(be32(blocks[3].bytes, 3), 0x08004C00u);
    EXPECT_EQ(be32(sent_of_kind(MEI_QUERY_CRC).back().bytes, 7), 3172u);
    EXPECT_NE(captured_trace.find("PROG ADDR 0x8004c00, LEN 0x64, FROM 0xc00..."), std::string::npos);
    EXPECT_EQ(job.state, STATE_DONE);
}

}  // namespace
