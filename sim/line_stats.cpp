#include "sim/line_stats.h"

#include <algorithm>

namespace {

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<long>(middle), values.end());
    double upper = values[middle];
    if (values.size() % 2 == 1)
        return upper;
    return (*std::max_element(values.begin(), values.begin() + static_cast<long>(middle)) + upper) / 2;
}

// The first read that brought the byte at `offset`, or reads.end().
std::vector<LineRead>::const_iterator read_bringing(const std::vector<LineRead> &reads, uint64_t offset)
{
    return std::upper_bound(reads.begin(), reads.end(), offset,
                            [](uint64_t at, const LineRead &read) { return at < read.end; });
}

std::string errors_text(const LineErrors &errors)
{
    return std::to_string(errors.parity) + " parity and " + std::to_string(errors.framing) + " framing errors";
}

// What a character time far from 11 bits suggests about the tool's end.
std::string bits_suggestion(double bits)
{
    if (bits >= 9.5 && bits < 10.5)
        return "the tool sends without parity";
    if (bits >= 11.5 && bits < 12.5)
        return "the tool sends two stop bits, or leaves gaps between its bytes";
    return "the baud rate is not 115200, or the line leaves gaps between bytes";
}

}  // namespace

void log_read(LineLog &log, int64_t at_us, size_t count)
{
    log.bytes_read += count;
    log.reads.push_back(LineRead{at_us, log.bytes_read});
}

void log_write(LineLog &log, int64_t at_us)
{
    log.writes_us.push_back(at_us);
}

double bits_per_char(const std::vector<LineRead> &reads, uint64_t begin, uint64_t end)
{
    std::vector<LineRead> inside;
    for (auto read = read_bringing(reads, begin); read != reads.end() && read->end < end; ++read)
        inside.push_back(*read);
    std::vector<double> slopes;
    for (size_t i = 0; i < inside.size(); ++i)
        for (size_t j = i + 1; j < inside.size(); ++j)
            slopes.push_back(static_cast<double>(inside[j].at_us - inside[i].at_us) /
                             static_cast<double>(inside[j].end - inside[i].end));
    return slopes.empty() ? 0 : median(slopes) * LINE_BAUD / 1e6;
}

LineFigures line_figures(const LineLog &log, const std::vector<SimHeard> &heard)
{
    LineFigures figures;
    figures.bytes_read = log.bytes_read;
    figures.requests = heard.size();
    std::vector<double> bits;
    std::vector<double> answers_ms;
    for (size_t i = 0; i < heard.size(); ++i) {
        if (heard[i].kind == SIM_BLOCK) {
            double block_bits = bits_per_char(log.reads, heard[i].begin, heard[i].end);
            if (block_bits > 0)
                bits.push_back(block_bits);
        }
        if (i == 0)
            continue;
        // A reply written after the previous request was read, before this one began to arrive.
        auto first = read_bringing(log.reads, heard[i].begin);
        auto previous_end = read_bringing(log.reads, heard[i - 1].end - 1);
        if (first == log.reads.end() || previous_end == log.reads.end())
            continue;
        auto reply = std::lower_bound(log.writes_us.begin(), log.writes_us.end(), first->at_us);
        if (reply == log.writes_us.begin() || *(reply - 1) < previous_end->at_us)
            continue;
        answers_ms.push_back(static_cast<double>(first->at_us - *(reply - 1)) / 1000.0);
    }
    figures.blocks_timed = bits.size();
    figures.bits_per_char = median(bits);
    figures.replies_answered = answers_ms.size();
    figures.answer_median_ms = median(answers_ms);
    figures.answer_max_ms = answers_ms.empty() ? 0 : *std::max_element(answers_ms.begin(), answers_ms.end());
    return figures;
}

LineVerdict line_verdict(const LineFigures &figures, const LineErrors &errors)
{
    char bits[32];
    std::snprintf(bits, sizeof bits, "%.1f bits per character", figures.bits_per_char);
    if (figures.bytes_read == 0)
        return {false, "nothing arrived: check the wiring (TX to RX both ways, and ground) and the tool's port"};
    if (figures.requests == 0)
        return {false, std::to_string(figures.bytes_read) +
                           " bytes arrived but no request was recognised: the line's settings are likely wrong"
                           " (baud rate, parity); " +
                           (errors.available ? "the driver counted " + errors_text(errors) : "this line counts no errors")};
    if (errors.available && errors.parity > 0)
        return {false, errors_text(errors) + ": the tool's parity is not even"};
    if (errors.available && errors.framing > 0)
        return {false, errors_text(errors) + ": the tool's baud rate or character format differs"};
    if (figures.blocks_timed == 0)
        return {false, "no block arrived in pieces that could be timed: the character format is not known"};
    if (figures.bits_per_char < RIGHT_BITS_PER_CHAR - BITS_TOLERANCE ||
        figures.bits_per_char >= RIGHT_BITS_PER_CHAR + BITS_TOLERANCE)
        return {false, std::string(bits) + ": " + bits_suggestion(figures.bits_per_char)};
    if (!errors.available)
        return {true, std::string(bits) + ", judged on that alone: this line counts no errors"};
    return {true, std::string(bits) + " and no parity or framing error: 115200 8E1"};
}

void print_line_section(FILE *out, const LineFigures &figures, const LineErrors &errors, const LineVerdict *verdict)
{
    std::fprintf(out, "  serial line:\n");
    if (errors.available)
        std::fprintf(out, "    errors: %llu parity, %llu framing, %llu overrun\n",
                     static_cast<unsigned long long>(errors.parity), static_cast<unsigned long long>(errors.framing),
                     static_cast<unsigned long long>(errors.overrun));
    else
        std::fprintf(out, "    errors: not available on this line\n");
    if (figures.blocks_timed > 0)
        std::fprintf(out, "    bits per character: %.1f (median of %zu blocks, from the times their bytes were read)\n",
                     figures.bits_per_char, figures.blocks_timed);
    else
        std::fprintf(out, "    bits per character: not measured (no block arrived over more than two reads)\n");
    if (figures.replies_answered > 0)
        std::fprintf(out, "    reply to next request: median %.1f ms, longest %.1f ms (%zu replies)\n",
                     figures.answer_median_ms, figures.answer_max_ms, figures.replies_answered);
    else
        std::fprintf(out, "    reply to next request: none seen\n");
    if (verdict == nullptr)
        std::fprintf(out, "    verdict: none (a pseudo-terminal of the simulator's own)\n");
    else
        std::fprintf(out, "    verdict: %s: %s\n", verdict->right ? "right" : "WRONG", verdict->text.c_str());
}
