// What the serial line itself shows, apart from the protocol: the errors its
// driver counted, how long a character takes as the bytes of each block are
// read, and how soon the tool answers each reply. On a serial port these make
// a verdict on whether the tool's end is set as the device's is, 115200 8E1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/boot_loader.h"

// Errors the line's driver counted since the port was opened.
struct LineErrors {
    bool available = false;  // false: the line keeps no counts (a pseudo-terminal)
    uint64_t parity = 0;
    uint64_t framing = 0;
    uint64_t overrun = 0;
};

// One read from the line: when it returned, and how many bytes had been read by then in all.
struct LineRead {
    int64_t at_us;
    uint64_t end;
};

// The times the program read and wrote the line, as it did so.
struct LineLog {
    std::vector<LineRead> reads;
    std::vector<int64_t> writes_us;  // each write of reply bytes
    uint64_t bytes_read = 0;
};

void log_read(LineLog &log, int64_t at_us, size_t count);
void log_write(LineLog &log, int64_t at_us);

// The line at 115200 baud: 11 bits a character for 8E1.
constexpr double LINE_BAUD = 115200;
constexpr double RIGHT_BITS_PER_CHAR = 11;
// Half-way to the neighbouring formats (10 bits: no parity; 12: two stop
// bits), and well beyond an adapter's clock error (under 3%, a third of a bit).
constexpr double BITS_TOLERANCE = 0.5;

// Bits per character of the bytes [begin, end) from the reads that brought
// them; 0 when fewer than two reads ended inside them. The read that brought
// the last byte is left out: an adapter holds a short last packet back until
// its latency timer runs out. The rest lie on one line, bytes against time,
// whatever the packet size, each read coming as its last byte arrives plus a
// constant delay; a late read only lies above it. The slope is the median of
// the slopes between pairs of reads, so a few late ones do not move it.
double bits_per_char(const std::vector<LineRead> &reads, uint64_t begin, uint64_t end);

struct LineFigures {
    uint64_t bytes_read = 0;
    size_t requests = 0;          // well-formed requests heard
    size_t blocks_timed = 0;
    double bits_per_char = 0;     // median over the timed blocks
    size_t replies_answered = 0;  // replies followed by a request
    double answer_median_ms = 0;  // from a reply's write to the read of the next request's first byte
    double answer_max_ms = 0;
};

LineFigures line_figures(const LineLog &log, const std::vector<SimHeard> &heard);

struct LineVerdict {
    bool right;
    std::string text;
};

LineVerdict line_verdict(const LineFigures &figures, const LineErrors &errors);

// The report's section on the line; with no verdict (null) on a line of the simulator's own.
void print_line_section(FILE *out, const LineFigures &figures, const LineErrors &errors, const LineVerdict *verdict);
