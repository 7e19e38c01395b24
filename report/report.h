// The tool's three reporting channels: the one-line status field for the
// operator, the trace on standard output for whoever captures it, and the
// fatal box that ends the process.
#pragma once

#include <cstddef>

constexpr size_t STATUS_TEXT_SIZE = 100;
constexpr size_t FATAL_TEXT_SIZE = 1000;

void set_status(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Puts a formatted status text where the operator sees it; each build has its own.
void show_status(const char *text);
void trace(const char *format, ...) __attribute__((format(printf, 1, 2)));
void trace_error(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Makes the trace so far appear at once (standard output is buffered when redirected).
void trace_flush();

[[noreturn]] void fatal_error(const char *message);

// Builds the fatal box text into `out` (FATAL_TEXT_SIZE bytes). The system's
// text for `error_code` is shortened as needed so that the closing lines
// always fit; with error_code 0 neither the number line nor the system text
// appears. Returns the length of the text.
size_t build_fatal_text(char *out, const char *message, unsigned long error_code,
                        const char *system_text);
