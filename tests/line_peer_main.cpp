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

static int usage()
{
    std::fprintf(stderr, "usage: line-peer --link PATH [--timeout-s N]\n");
    return 2;
}

int main(int argc, char **argv)
{
    const char *link = nullptr;
    unsigned timeout_s = 120;
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 < argc && std::strcmp(argv[i], "--link") == 0)
            link = argv[i + 1];
        else if (i + 1 < argc && std::strcmp(argv[i], "--timeout-s") == 0)
            timeout_s = static_cast<unsigned>(std::atoi(argv[i + 1]));
        else
            return usage();
    }
    if (link == nullptr)
        return usage();
    SimLine line;
    std::string error;
    if (!line_open_link(line, link, error)) {
        std::fprintf(stderr, "line-peer: %s\n", error.c_str());
        return 1;
    }
    alarm(timeout_s);  // its default action ends the process
    std::printf("line-peer: line ready at %s\n", link);
    std::fflush(stdout);
    line_peer_serve(line);
}
