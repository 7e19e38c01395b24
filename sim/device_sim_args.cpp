#include "sim/device_sim_args.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/command_line.h"

const char DEVICE_SIM_USAGE[] =
    "usage: device-sim (--link PATH | --port DEVICE) [options]\n"
    "The simulated boot loader (node 4, function 0x2B) behind a serial line, 115200 8E1.\n"
    "  --link PATH           make a pseudo-terminal and link PATH to its device end (Linux)\n"
    "  --port DEVICE         use a serial port instead: /dev/ttyUSB0, or COM7 on Windows\n"
    "  --image FILE          expect the flash to end up holding FILE, zero-padded to whole KiB\n"
    "  --pace                bytes take their wire time (11 bits at 115200 baud) both ways\n"
    "  --power-up-ms N       deaf until N ms after the tool's first byte (default 0)\n"
    "  --reply-delay-ms N    from a request's end to its reply (default 2)\n"
    "  --late-ms N           extra delay of a 'late' reply (default 300)\n"
    "  --split-pause-ms N    pause inside a 'split' reply (default 40)\n"
    "  --restart-ms N        deaf after acknowledging a reset (default 200)\n"
    "  --flash-kib N         flash size from 0x08004000 (default 512)\n"
    "  --fault KIND:N:FAULT  fault the reply to the Nth request of KIND (any, contact, verify,\n"
    "                        block, reset); FAULT: drop, corrupt, split, late, exception, garbage\n"
    "  --bad-flash ADDR[:TIMES]  the lowest bit of the flash byte at ADDR (hex 0x.. or decimal)\n"
    "                        does not take, for the first TIMES writes (all if omitted)\n"
    "  --random-faults PERCENT[:SEED]  each reply meets a random fault with this chance\n"
    "  --linger-ms N         keep answering N ms after acknowledging a reset (default 1000)\n"
    "  --timeout-s N         give up after N s (default 120)\n"
    "  --stop-after-blocks N end once N blocks are written and acknowledged: a line check alone\n"
    "  --trace               one line per read, write and request on standard error\n"
    "Options may be abbreviated and take their value as --opt=VALUE too.\n"
    "Prints 'device-sim: line ready at PATH' when the tool may open the line, and a report at the\n"
    "end. Its section 'serial line' gives the errors the port's driver counted (or 'not\n"
    "available'), the bits per character measured from when each block's bytes were read, and\n"
    "the time from each reply to the tool's next request; with --port, a verdict: right is 11\n"
    "bits per character (8E1) and no parity or framing error. The bench rigs (two USB-serial\n"
    "adapters and a null-modem cable) are in docs/bench.md.\n"
    "Ends by itself after the reset and its linger, at --timeout-s, or on Ctrl-C or a signal.\n"
    "Exit status: 0 when a reset was acknowledged and the flash holds the image (if given), or,\n"
    "with --stop-after-blocks, once those blocks are in; with --port only if the verdict is\n"
    "right as well. 1 otherwise or on timeout. 2 on a bad command line or a port that cannot be\n"
    "used (absent, not a serial device, in use by another program).\n";

namespace {

const uint32_t MAX_MS = 3600 * 1000;
const uint32_t MAX_FLASH_KIB = 16 * 1024;

// Decimal, or hexadecimal after 0x; the whole text must be a number within limits.
bool parse_number(const std::string &text, uint32_t low, uint32_t high, uint32_t &value)
{
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char *digits = text.c_str() + (hex ? 2 : 0);
    if (*digits == '\0' || *digits == '-' || *digits == '+' || *digits == ' ')
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long parsed = std::strtoull(digits, &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high)
        return false;
    value = static_cast<uint32_t>(parsed);
    return true;
}

// Splits "A:B:C" at its colons.
std::vector<std::string> fields_of(const std::string &text)
{
    std::vector<std::string> fields(1);
    for (char c : text) {
        if (c == ':')
            fields.emplace_back();
        else
            fields.back() += c;
    }
    return fields;
}

bool parse_fault_rule(const std::string &text, SimFaultRule &rule)
{
    std::vector<std::string> fields = fields_of(text);
    if (fields.size() != 3 || !parse_number(fields[1], 1, UINT32_MAX, rule.nth))
        return false;
    bool kind_found = false;
    for (int kind = SIM_ANY; kind < SIM_KIND_COUNT; ++kind)
        if (fields[0] == sim_kind_name(static_cast<SimRequestKind>(kind))) {
            rule.kind = static_cast<SimRequestKind>(kind);
            kind_found = true;
        }
    for (int fault = FAULT_DROP; fault < FAULT_COUNT; ++fault)
        if (fields[2] == sim_fault_name(static_cast<SimFault>(fault))) {
            rule.fault = static_cast<SimFault>(fault);
            return kind_found;
        }
    return false;
}

bool parse_bad_flash(const std::string &text, SimConfig &config)
{
    std::vector<std::string> fields = fields_of(text);
    config.bad_flash_writes = 0;
    return (fields.size() == 1 || fields.size() == 2) &&
           parse_number(fields[0], 1, UINT32_MAX, config.bad_flash_address) &&
           (fields.size() == 1 || parse_number(fields[1], 1, UINT32_MAX, config.bad_flash_writes));
}

bool parse_random_faults(const std::string &text, SimConfig &config)
{
    std::vector<std::string> fields = fields_of(text);
    return (fields.size() == 1 || fields.size() == 2) &&
           parse_number(fields[0], 0, 100, config.random_fault_percent) &&
           (fields.size() == 1 || parse_number(fields[1], 0, UINT32_MAX, config.random_seed));
}

enum OptionId {
    OPT_LINK = 256, OPT_PORT, OPT_IMAGE, OPT_PACE, OPT_POWER_UP, OPT_REPLY_DELAY, OPT_LATE, OPT_SPLIT_PAUSE,
    OPT_RESTART, OPT_FLASH_KIB, OPT_FAULT, OPT_BAD_FLASH, OPT_RANDOM_FAULTS, OPT_LINGER, OPT_TIMEOUT, OPT_TRACE,
    OPT_STOP_AFTER_BLOCKS,
};

const option OPTIONS[] = {
    {"help", no_argument, nullptr, 'h'},
    {"link", required_argument, nullptr, OPT_LINK},
    {"port", required_argument, nullptr, OPT_PORT},
    {"image", required_argument, nullptr, OPT_IMAGE},
    {"pace", no_argument, nullptr, OPT_PACE},
    {"power-up-ms", required_argument, nullptr, OPT_POWER_UP},
    {"reply-delay-ms", required_argument, nullptr, OPT_REPLY_DELAY},
    {"late-ms", required_argument, nullptr, OPT_LATE},
    {"split-pause-ms", required_argument, nullptr, OPT_SPLIT_PAUSE},
    {"restart-ms", required_argument, nullptr, OPT_RESTART},
    {"flash-kib", required_argument, nullptr, OPT_FLASH_KIB},
    {"fault", required_argument, nullptr, OPT_FAULT},
    {"bad-flash", required_argument, nullptr, OPT_BAD_FLASH},
    {"random-faults", required_argument, nullptr, OPT_RANDOM_FAULTS},
    {"linger-ms", required_argument, nullptr, OPT_LINGER},
    {"timeout-s", required_argument, nullptr, OPT_TIMEOUT},
    {"trace", no_argument, nullptr, OPT_TRACE},
    {"stop-after-blocks", required_argument, nullptr, OPT_STOP_AFTER_BLOCKS},
    {nullptr, 0, nullptr, 0},
};

// Applies one option that takes a value; false when the value is not valid for it.
bool apply_option(int id, const std::string &value, DeviceSimArgs &args)
{
    SimConfig &config = args.config;
    uint32_t kib = 0;
    SimFaultRule rule{};
    switch (id) {
    case OPT_LINK:
        args.link = value;
        return !value.empty();
    case OPT_PORT:
        args.port = value;
        return !value.empty();
    case OPT_IMAGE:
        args.image_path = value;
        return !value.empty();
    case OPT_POWER_UP:
        return parse_number(value, 0, MAX_MS, config.power_up_ms);
    case OPT_REPLY_DELAY:
        return parse_number(value, 0, MAX_MS, config.reply_delay_ms);
    case OPT_LATE:
        return parse_number(value, 0, MAX_MS, config.late_ms);
    case OPT_SPLIT_PAUSE:
        return parse_number(value, 0, MAX_MS, config.split_pause_ms);
    case OPT_RESTART:
        return parse_number(value, 0, MAX_MS, config.restart_ms);
    case OPT_LINGER:
        return parse_number(value, 0, MAX_MS, args.linger_ms);
    case OPT_TIMEOUT:
        return parse_number(value, 1, 24 * 3600, args.timeout_s);
    case OPT_STOP_AFTER_BLOCKS:
        return parse_number(value, 1, UINT32_MAX, args.stop_after_blocks);
    case OPT_FLASH_KIB:
        if (!parse_number(value, 1, MAX_FLASH_KIB, kib))
            return false;
        config.flash_size = kib * 1024;
        return true;
    case OPT_FAULT:
        if (!parse_fault_rule(value, rule))
            return false;
        config.rules.push_back(rule);
        return true;
    case OPT_BAD_FLASH:
        return parse_bad_flash(value, config);
    case OPT_RANDOM_FAULTS:
        return parse_random_faults(value, config);
    default:
        return false;
    }
}

}  // namespace

bool parse_device_sim_args(int argc, char **argv, DeviceSimArgs &args, std::string &error)
{
    args = DeviceSimArgs{};
    parse_options_from_start();
    // In order ('-'), operands included, so that the first fault found is the one reported;
    // ':' reports a missing value apart from an unknown option.
    for (int id; (id = getopt_long(argc, argv, "-:h", OPTIONS, nullptr)) != -1;) {
        if (id == 'h') {
            args.help = true;
            return true;
        }
        if (id == OPT_PACE) {
            args.config.pace = true;
        } else if (id == OPT_TRACE) {
            args.trace = true;
        } else if (id == ':') {
            error = long_name_of(OPTIONS, optopt) + " needs a value (see --help)";
            return false;
        } else if (id == 1 || id == '?') {
            error = "unknown option '" + offending_word(argv, id) + "' (see --help)";
            return false;
        } else if (!apply_option(id, optarg, args)) {
            error = "bad value '" + std::string(optarg) + "' for " + long_name_of(OPTIONS, id) + " (see --help)";
            return false;
        }
    }
    if (optind < argc) {  // operands after "--"
        error = "unknown option '" + std::string(argv[optind]) + "' (see --help)";
        return false;
    }
    if (args.link.empty() == args.port.empty()) {
        error = "give exactly one of --link PATH and --port DEVICE (see --help)";
        return false;
    }
    uint32_t address = args.config.bad_flash_address;
    if (address != 0 && (address < SIM_FLASH_BASE || address - SIM_FLASH_BASE >= args.config.flash_size)) {
        error = "--bad-flash address is outside the flash (0x08004000 plus --flash-kib)";
        return false;
    }
    return true;
}
