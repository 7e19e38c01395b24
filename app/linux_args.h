// The command line of fwu-linux.
#pragma once

#include <string>

struct FwuLinuxArgs {
    const char *port_path = nullptr;
    const char *image_path = nullptr;
    long limit_s = 600;
    bool help = false;
};

// False with a one-line reason in `error` when the command line is not usable.
bool parse_fwu_linux_args(int argc, char **argv, FwuLinuxArgs &args, std::string &error);

extern const char FWU_LINUX_USAGE[];
