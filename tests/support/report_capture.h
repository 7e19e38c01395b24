// Reporting for tests: the trace and the status texts are kept, not shown.
#pragma once

#include <string>
#include <vector>

extern std::string captured_trace;
extern std::vector<std::string> captured_status;

void clear_captured_reports();
