// Native port tests: a pseudo-terminal in this process, its master served by
// the line peer on a thread of its own.
#include <atomic>
#include <cstdlib>
#include <thread>

#include "tests/support/line_peer.h"
#include "tests/support/test_line.h"

namespace {

char device_path[256];
std::atomic<bool> stop_peer{false};

void start_peer()
{
    int master = open_test_pty(device_path, sizeof device_path);
    if (master < 0)
        std::abort();
    std::thread(line_peer_serve, master, std::cref(stop_peer)).detach();
}

}  // namespace

const char *test_line_path()
{
    static bool started = (start_peer(), true);
    (void)started;
    return device_path;
}

bool second_open_fails()
{
    return true;
}

const char *platform_difference_note()
{
    return "";
}
