// line-peer --link PATH [--timeout-s N]: serves the port tests' commands on a
// pseudo-terminal whose device end is published as a symlink at PATH.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "tests/support/line_peer.h"

static std::atomic<bool> stop{false};

static void request_stop(int)
{
    stop = true;
}

int main(int argc, char **argv)
{
    std::string link;
    int timeout_s = 120;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--link") == 0 && i + 1 < argc)
            link = argv[++i];
        else if (std::strcmp(argv[i], "--timeout-s") == 0 && i + 1 < argc)
            timeout_s = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: line-peer --link PATH [--timeout-s N]\n");
            return 2;
        }
    }
    if (link.empty()) {
        std::fprintf(stderr, "line-peer: --link PATH is required\n");
        return 2;
    }
    char device[256];
    int master = open_test_pty(device, sizeof device);
    if (master < 0 || (unlink(link.c_str()), symlink(device, link.c_str())) != 0) {
        std::perror("line-peer");
        return 1;
    }
    std::signal(SIGTERM, request_stop);
    std::signal(SIGINT, request_stop);
    std::thread timer([timeout_s] {
        for (int i = 0; i < timeout_s * 10 && !stop; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stop = true;
    });
    std::printf("line-peer: line ready at %s\n", link.c_str());
    std::fflush(stdout);
    line_peer_serve(master, stop);
    timer.join();
    unlink(link.c_str());
    return 0;
}
