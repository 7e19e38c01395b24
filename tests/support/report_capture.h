// Reporting for tests: the trace and the status texts are kept, not shown.
#pragma once

#include <string>
#include <vector>

extern std::string captured_trace;
extern std::vector<std::string> captured_status;
extern int captured_trace_flushes;

void clear_captured_reports();
