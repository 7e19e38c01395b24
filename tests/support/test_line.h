// The serial line the port tests run over, with the line peer at its far end
// (tests/support/line_peer.h). Each build of the port tests provides it.
#pragma once

const char *test_line_path();

// Whether a second exclusive open of an open port fails here, as on Windows;
// if not, `why_not` says where this platform differs.
bool second_open_fails(const char **why_not);
