// Native port tests: a pseudo-terminal in this process, served by the line
// peer on a thread of its own.
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "sim/sim_line.h"
#include "tests/support/line_peer.h"
#include "tests/support/test_line.h"

static SimLine line;

const char *test_line_path()
{
    static bool started = [] {
        std::string error;
        if (!line_open_link(line, "/tmp/fwu-port-tests-" + std::to_string(getpid()), error))
            std::abort();
        unlink(line.link.c_str());  // the tests open the device end by its own name
        std::thread(line_peer_serve, std::ref(line)).detach();
        return true;
    }();
    (void)started;
    return line.device.c_str();
}

bool second_open_fails(const char **)
{
    return true;
}
