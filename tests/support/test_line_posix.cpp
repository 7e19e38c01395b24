// Native port tests: a pseudo-terminal in this process, its master served by
// the line peer on a thread of its own.
#include <cstdlib>
#include <thread>

#include "tests/support/line_peer.h"
#include "tests/support/test_line.h"

static char device_path[256];
static std::atomic<bool> never{false};

const char *test_line_path()
{
    static bool started = [] {
        int master = open_test_pty(device_path, sizeof device_path);
        if (master < 0)
            std::abort();
        std::thread(line_peer_serve, master, std::cref(never)).detach();
        return true;
    }();
    (void)started;
    return device_path;
}

bool second_open_fails(const char **)
{
    return true;
}
