#include "sim/device_sim_args.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

const char DEVICE_SIM_USAGE[] =
    "usage: device-sim (--link PATH | --port DEVICE) [options]\n"
    "The simulated boot loader (node 4, function 0x2B) behind a serial line, 115200 8E1.\n"
    "  --link PATH           make a pseudo-terminal and link PATH to its device end\n"
    "  --port DEVICE         use an existing serial device instead\n"
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
    "  --trace               one line per read, write and request on standard error\n"
    "Prints 'device-sim: line ready at PATH' when the tool may open the line, and a report at the\n"
    "end. Exit 0 when a reset was acknowledged and the flash holds the image (if given), 1\n"
    "otherwise or on timeout, 2 on a bad command line.\n";

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

// Applies one option that takes a value; false when the value is not valid for it.
bool apply_option(const std::string &name, const std::string &value, DeviceSimArgs &args)
{
    SimConfig &config = args.config;
    uint32_t kib = 0;
    SimFaultRule rule{};
    if (name == "--link")
        args.link = value;
    else if (name == "--port")
        args.port = value;
    else if (name == "--image")
        args.image_path = value;
    else if (name == "--power-up-ms")
        return parse_number(value, 0, MAX_MS, config.power_up_ms);
    else if (name == "--reply-delay-ms")
        return parse_number(value, 0, MAX_MS, config.reply_delay_ms);
    else if (name == "--late-ms")
        return parse_number(value, 0, MAX_MS, config.late_ms);
    else if (name == "--split-pause-ms")
        return parse_number(value, 0, MAX_MS, config.split_pause_ms);
    else if (name == "--restart-ms")
        return parse_number(value, 0, MAX_MS, config.restart_ms);
    else if (name == "--linger-ms")
        return parse_number(value, 0, MAX_MS, args.linger_ms);
    else if (name == "--timeout-s")
        return parse_number(value, 1, 24 * 3600, args.timeout_s);
    else if (name == "--flash-kib") {
        if (!parse_number(value, 1, MAX_FLASH_KIB, kib))
            return false;
        config.flash_size = kib * 1024;
    } else if (name == "--fault") {
        if (!parse_fault_rule(value, rule))
            return false;
        config.rules.push_back(rule);
    } else if (name == "--bad-flash")
        return parse_bad_flash(value, config);
    else if (name == "--random-faults")
        return parse_random_faults(value, config);
    return !value.empty();
}

bool takes_value(const std::string &name)
{
    static const char *const names[] = {"--link", "--port", "--image", "--power-up-ms", "--reply-delay-ms",
                                        "--late-ms", "--split-pause-ms", "--restart-ms", "--linger-ms",
                                        "--timeout-s", "--flash-kib", "--fault", "--bad-flash",
                                        "--random-faults"};
    for (const char *known : names)
        if (name == known)
            return true;
    return false;
}

}  // namespace

bool parse_device_sim_args(int argc, char **argv, DeviceSimArgs &args, std::string &error)
{
    args = DeviceSimArgs{};
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            args.help = true;
            return true;
        }
        if (name == "--pace") {
            args.config.pace = true;
        } else if (name == "--trace") {
            args.trace = true;
        } else if (!takes_value(name)) {
            error = "unknown option '" + name + "' (see --help)";
            return false;
        } else if (i + 1 >= argc) {
            error = name + " needs a value (see --help)";
            return false;
        } else if (!apply_option(name, argv[++i], args)) {
            error = "bad value '" + std::string(argv[i]) + "' for " + name + " (see --help)";
            return false;
        }
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
