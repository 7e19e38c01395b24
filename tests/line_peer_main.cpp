// line-peer --link PATH [--timeout-s N]: serves the port tests' commands on a
// pseudo-terminal whose device end is published as a symlink at PATH. Ends
// when signalled, or after N seconds (120) should whoever started it be gone.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/sim_line.h"
#include "tests/support/line_peer.h"

int main(int argc, char **argv)
{
    const bool timed = argc == 5 && std::strcmp(argv[3], "--timeout-s") == 0;
    if ((argc != 3 && !timed) || std::strcmp(argv[1], "--link") != 0) {
        std::fprintf(stderr, "usage: line-peer --link PATH [--timeout-s N]\n");
        return 2;
    }
    SimLine line;
    std::string error;
    if (!line_open_link(line, argv[2], error)) {
        std::fprintf(stderr, "line-peer: %s\n", error.c_str());
        return 1;
    }
    alarm(timed ? static_cast<unsigned>(std::atoi(argv[4])) : 120);  // its default action ends the process
    std::printf("line-peer: line ready at %s\n", argv[2]);
    std::fflush(stdout);
    line_peer_serve(line);
}
