#include "app/linux_args.h"

#include <cstdlib>

#include "app/command_line.h"

const char FWU_LINUX_USAGE[] =
    "usage: fwu-linux --port PATH --image FILE [--limit-s N]\n"
    "Writes FILE into the device on the serial port PATH, as fwu.exe does, and\n"
    "ends after N seconds at the most (default 600). The trace goes to standard\n"
    "output, the status texts to standard error. Exit status: 0 completed,\n"
    "1 FAILED or the port could not be opened, 3 out of time, 2 bad use.\n";

namespace {

enum OptionId { OPT_PORT = 256, OPT_IMAGE, OPT_LIMIT };

const option OPTIONS[] = {
    {"help", no_argument, nullptr, 'h'},
    {"port", required_argument, nullptr, OPT_PORT},
    {"image", required_argument, nullptr, OPT_IMAGE},
    {"limit-s", required_argument, nullptr, OPT_LIMIT},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

bool parse_fwu_linux_args(int argc, char **argv, FwuLinuxArgs &args, std::string &error)
{
    args = FwuLinuxArgs{};
    parse_options_from_start();
    // In order, operands included ("-"); a missing value is not taken for an unknown option (':').
    for (int id; (id = getopt_long(argc, argv, "-:", OPTIONS, nullptr)) != -1;) {
        if (id == 'h') {
            args.help = true;
            return true;
        }
        if (id == OPT_PORT) {
            args.port_path = optarg;
        } else if (id == OPT_IMAGE) {
            args.image_path = optarg;
        } else if (id == OPT_LIMIT) {
            args.limit_s = std::strtol(optarg, nullptr, 10);
        } else {
            error = "unknown argument";
            return false;
        }
    }
    if (optind < argc) {  // operands after "--"
        error = "unknown argument";
        return false;
    }
    if (args.port_path == nullptr || args.image_path == nullptr || args.limit_s <= 0) {
        error = "--port and --image are required";
        return false;
    }
    return true;
}
