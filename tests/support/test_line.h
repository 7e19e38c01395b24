// The serial line the port tests run over, with the line peer at its far end
// (tests/support/line_peer.h). Each build of the port tests provides it.
#pragma once

// Path to open with open_port.
const char *test_line_path();

// Whether a second exclusive open of an open port fails on this platform.
bool second_open_fails();

// One line saying where this platform's port differs from the Windows driver, or "".
const char *platform_difference_note();
