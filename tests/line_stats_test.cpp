// The report's figures on the serial line, from made-up read times: blocks
// as a USB-serial adapter hands them over, and the verdict each case gets.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "sim/line_stats.h"
#include "tests/relay/line_relay.h"

namespace {

// Reads of `count` bytes sent back to back from `start_us` at `bits` a character, as the line
// relay's adapter hands them over (62-byte packets, 16 ms latency); each read 0.3 ms after a
// packet is due, or up to 1.8 ms if `jitter`.
void read_as_adapter(LineLog &log, int64_t start_us, uint64_t count, int bits, bool jitter = true)
{
    RelayTiming timing;
    timing.bits_per_char = bits;
    RelayDirection line;
    std::vector<uint8_t> sent(count), packet;
    relay_send(line, timing, static_cast<double>(start_us), sent.data(), count);
    const int64_t reader_delay_us[] = {300, 1800, 1000};
    for (double due = 0; !line.pending.empty() && relay_take(line, timing, INFINITY, packet, due);)
        log_read(log, static_cast<int64_t>(due) + reader_delay_us[jitter ? (line.packets - 1) % 3 : 0], packet.size());
}

TEST(LineStats, BitsPerCharacterOfBlocksArrivingInAdapterPackets)
{
    for (int bits : {11, 10}) {
        LineLog exact;  // the relay's schedule: 16 full packets as their last bytes arrive, then the tail
        read_as_adapter(exact, 1000, 1035, bits, false);
        const double char_us = bits * 1e6 / LINE_BAUD;
        ASSERT_EQ(exact.reads.size(), 17u);
        EXPECT_EQ(exact.reads[15].end, 992u);
        EXPECT_NEAR(exact.reads[15].at_us, 1000 + 992 * char_us + 300, 1);
        EXPECT_NEAR(exact.reads[16].at_us, 1000 + 993 * char_us + 16000 + 300, 1);
        LineLog log;
        read_as_adapter(log, 1000, 1035, bits);
        EXPECT_NEAR(bits_per_char(log.reads, 0, 1035), bits, 0.05);
        // From the first read to the last, the first packet's wait and the tail's latency would count.
        double naive = static_cast<double>(log.reads.back().at_us - log.reads.front().at_us) / (1035 - 62) * 0.1152;
        EXPECT_GT(std::fabs(naive - bits), 1.0);
    }
    LineLog short_block;  // few packets: the late tail would weigh as much as they do
    read_as_adapter(short_block, 0, 200, 11, false);
    EXPECT_NEAR(bits_per_char(short_block.reads, 0, 200), 11.0, 0.05);
    short_block.reads[1].at_us += 3000;  // one of its three timed reads late
    EXPECT_NEAR(bits_per_char(short_block.reads, 0, 200), 11.0, 0.05);
    LineLog late;  // a read 4 ms late takes two packets at once
    read_as_adapter(late, 0, 1035, 11);
    late.reads[5].at_us += 4000;
    late.reads.erase(late.reads.begin() + 4);
    EXPECT_NEAR(bits_per_char(late.reads, 0, 1035), 11.0, 0.05);
    LineLog blocks;  // no contact first; a block in packets, then one in one piece (a pseudo-terminal's): untimed
    read_as_adapter(blocks, 0, 1035, 11);
    log_read(blocks, 200000, 1035);
    EXPECT_EQ(line_figures(blocks, {{SIM_BLOCK, 0, 1035}, {SIM_BLOCK, 1035, 2070}}).blocks_timed, 1u);
}

// A contact request, its reply 2 ms later, then blocks 1035 bytes each, each answered 2 ms
// after it has been read and followed by the next one `answer_ms` after that (10 ms more
// each time); the reply to the second block is lost, and the tool sends it again 5 s later.
LineFigures update_figures(double bits, int64_t answer_ms)
{
    LineLog log;
    std::vector<SimHeard> heard{{SIM_CONTACT, 0, 13}};
    log_read(log, 0, 13);
    int64_t now = 2000;
    log_write(log, now);
    for (uint64_t block = 0; block < 4; ++block) {
        uint64_t begin = log.bytes_read;
        read_as_adapter(log, now + answer_ms * 1000, 1035, bits);
        heard.push_back({SIM_BLOCK, begin, begin + 1035});
        now = log.reads.back().at_us + 2000;
        if (block == 1)
            now += 5000000;
        else
            log_write(log, now);
        answer_ms += 10;
    }
    return line_figures(log, heard);
}

TEST(LineStats, FiguresAndVerdicts)
{
    LineFigures good = update_figures(11, 30);
    EXPECT_EQ(good.blocks_timed, 4u);
    EXPECT_NEAR(good.bits_per_char, 11.0, 0.05);
    EXPECT_EQ(good.replies_answered, 3u);  // none for the lost one, nor for the last
    EXPECT_NEAR(good.answer_median_ms, 40 + 62 * 11 / 115.2 + 0.3, 0.01);  // to the read of the first packet
    EXPECT_NEAR(good.answer_max_ms, 60 + 62 * 11 / 115.2 + 0.3, 0.01);

    LineErrors counted{true, 0, 0, 2};  // overruns are the reader's doing, not the tool's
    LineErrors uncounted;
    EXPECT_EQ(line_verdict(good, counted).text, "11.0 bits per character and no parity or framing error: 115200 8E1");
    EXPECT_TRUE(line_verdict(good, counted).right);
    EXPECT_EQ(line_verdict(good, uncounted).text, "11.0 bits per character, judged on that alone: this line counts no errors");
    EXPECT_TRUE(line_verdict(good, uncounted).right);

    const struct {
        LineFigures figures;
        LineErrors errors;
        const char *text;
    } wrong[] = {
        {good, {true, 1, 0, 0}, "1 parity and 0 framing errors: the tool's parity is not even"},
        {good, {true, 0, 1, 0}, "0 parity and 1 framing errors: the tool's baud rate or character format differs"},
        {LineFigures{2070, 0}, {true, 35, 80, 0}, "2070 bytes arrived but no request was recognised: the line's settings "
                                                  "are likely wrong (baud rate, parity); the driver counted 35 parity and 80 framing errors"},
        {LineFigures{}, uncounted, "nothing arrived: check the wiring (TX to RX both ways, and ground) and the tool's port"},
        {LineFigures{13, 1}, counted, "no block arrived in pieces that could be timed: the character format is not known"},
    };
    for (const auto &test : wrong) {
        EXPECT_FALSE(line_verdict(test.figures, test.errors).right) << test.text;
        EXPECT_EQ(line_verdict(test.figures, test.errors).text, test.text);
    }

    // Each range at its edges: right from 10.5 to below 11.5; no parity from 9.5, two stop bits from 11.5,
    // each up to below a bit more.
    const std::string right = ": 115200 8E1", parity = ": the tool sends without parity", stop = ": the tool sends"
        " two stop bits, or leaves gaps between its bytes", baud = ": the baud rate is not 115200, or the line leaves gaps"
        " between bytes";
    const std::pair<double, std::string> edges[] = {{10.5, right}, {11.49, right}, {10.49, parity}, {9.5, parity},
                                                    {9.49, baud}, {11.5, stop}, {12.49, stop}, {12.5, baud}};
    for (const auto &[bits, ending] : edges) {
        LineFigures figures = good;
        figures.bits_per_char = bits;
        LineVerdict verdict = line_verdict(figures, counted);
        EXPECT_EQ(verdict.right, ending == right) << bits;
        EXPECT_EQ(verdict.text.substr(verdict.text.find(':')), ending) << bits;
    }
}

TEST(LineStats, SectionSaysWhatTheLineShowedOrCouldNotTell)
{
    const LineFigures measured{2070, 3, 1, 11.0, 1, 40.0, 40.0};
    const LineErrors counted{true, 0, 0, 2};
    const LineVerdict verdict = line_verdict(measured, counted);
    const struct {
        LineFigures figures;
        LineErrors errors;
        const LineVerdict *verdict;
        const char *text;
    } sections[] = {
        {measured, counted, &verdict, "  serial line:\n"
                                      "    errors: 0 parity, 0 framing, 2 overrun\n"
                                      "    bits per character: 11.0 (median of 1 blocks, from the times their bytes were read)\n"
                                      "    reply to next request: median 40.0 ms, longest 40.0 ms (1 replies)\n"
                                      "    verdict: right: 11.0 bits per character and no parity or framing error: 115200 8E1\n"},
        {LineFigures{13, 1}, LineErrors{}, nullptr, "  serial line:\n"
                                                    "    errors: not available on this line\n"
                                                    "    bits per character: not measured (no block arrived over more than two reads)\n"
                                                    "    reply to next request: none seen\n"
                                                    "    verdict: none (a pseudo-terminal of the simulator's own)\n"},
    };
    for (const auto &section : sections) {
        char text[1024] = "";
        FILE *out = fmemopen(text, sizeof text, "w");
        print_line_section(out, section.figures, section.errors, section.verdict);
        std::fclose(out);
        EXPECT_STREQ(text, section.text);
    }
}

}  // namespace
