#include "app/linux_args.h"

#include <cstdlib>
#include <cstring>

const char FWU_LINUX_USAGE[] =
    "usage: fwu-linux --port PATH --image FILE [--limit-s N]\n"
    "Writes FILE into the device on the serial port PATH, as fwu.exe does, and\n"
    "ends after N seconds at the most (default 600). The trace goes to standard\n"
    "output, the status texts to standard error. Exit status: 0 completed,\n"
    "1 FAILED or the port could not be opened, 3 out of time, 2 bad use.\n";

bool parse_fwu_linux_args(int argc, char **argv, FwuLinuxArgs &args, std::string &error)
{
    args = FwuLinuxArgs{};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            args.help = true;
            return true;
        }
        if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc)
            args.port_path = argv[++i];
        else if (std::strcmp(argv[i], "--image") == 0 && i + 1 < argc)
            args.image_path = argv[++i];
        else if (std::strcmp(argv[i], "--limit-s") == 0 && i + 1 < argc)
            args.limit_s = std::strtol(argv[++i], nullptr, 10);
        else {
            error = "unknown argument";
            return false;
        }
    }
    if (args.port_path == nullptr || args.image_path == nullptr || args.limit_s <= 0) {
        error = "--port and --image are required";
        return false;
    }
    return true;
}
