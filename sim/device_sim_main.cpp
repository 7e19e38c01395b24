// device-sim: the simulated boot loader behind a real serial line, for
// end-to-end runs of the update tool. Runs until the tool has reset the
// device (plus a linger), then reports what the device saw, whether its
// flash holds the expected image and what the line itself showed.
#include <cstdio>
#include <string>
#include <vector>

#include "image/firmware_image.h"  // read_image_file, padded_image_size
#include "protocol/frame.h"         // crc16_modbus
#include "sim/boot_loader.h"
#include "sim/device_sim_args.h"
#include "sim/line_loop.h"
#include "sim/line_pump.h"
#include "sim/line_stats.h"
#include "sim/sim_line.h"

namespace {

const int EXIT_PASS = 0;
const int EXIT_FAIL = 1;
const int EXIT_USAGE = 2;

bool load_image(const DeviceSimArgs &args, std::vector<uint8_t> &image, std::string &error)
{
    if (!read_image_file(args.image_path.c_str(), image)) {
        error = "cannot read the image " + args.image_path;
        return false;
    }
    if (image.empty())
        error = "the image " + args.image_path + " is empty";
    else if (image.size() > args.config.flash_size ||
             static_cast<uint32_t>(padded_image_size(static_cast<int32_t>(image.size()))) > args.config.flash_size)
        error = "the image " + args.image_path + " does not fit in the flash";
    return error.empty();
}

const char *end_text(const LineRun &run)
{
    switch (run.end) {
    case LINE_RESET_DONE:
        return "the device was reset and has lingered";
    case LINE_BLOCKS_DONE:
        return "the blocks asked for were written and acknowledged";
    case LINE_TIMED_OUT:
        return "timed out";
    case LINE_STOPPED:
        return "stopped by a signal or Ctrl-C";
    default:
        return "the line failed";
    }
}

// Prints the report; true when the flash holds the image (or none was given).
bool report(const DeviceSimArgs &args, const std::vector<uint8_t> &image, const BootLoader &device,
            const LinePump &pump, const LineRun &run)
{
    std::printf("device-sim report\n");
    std::printf("  ended: %s%s%s\n", end_text(run), run.failure.empty() ? "" : ": ", run.failure.c_str());
    std::printf("  line: %llu bytes in, %llu bytes out, %llu lost; %.3f s from the first byte\n",
                static_cast<unsigned long long>(pump.bytes_received), static_cast<unsigned long long>(pump.bytes_sent),
                static_cast<unsigned long long>(run.bytes_lost), run.seconds);
    std::printf("  requests:");
    for (int kind = SIM_CONTACT; kind < SIM_KIND_COUNT; ++kind)
        std::printf("%s %s %u", kind == SIM_CONTACT ? "" : ",", sim_kind_name(static_cast<SimRequestKind>(kind)),
                    device.requests[kind]);
    std::printf("\n  replies faulted:");
    for (int fault = FAULT_DROP; fault < FAULT_COUNT; ++fault)
        std::printf("%s %s %u", fault == FAULT_DROP ? "" : ",", sim_fault_name(static_cast<SimFault>(fault)),
                    device.replies_faulted[fault]);
    std::printf("\n  blocks written: %u\n", device.blocks_written);
    std::printf("  resets: %u, acknowledged: %s\n", device.resets, pump.reset_acknowledged ? "yes" : "no");
    std::printf("  bytes ignored while unpowered or restarting: %u\n", device.bytes_ignored);
    std::printf("  frames rejected: %u\n", device.frames_rejected);
    if (image.empty())
        return true;
    auto padded = static_cast<uint32_t>(padded_image_size(static_cast<int32_t>(image.size())));
    std::vector<uint8_t> expected(image);
    expected.resize(padded, 0x00);
    std::printf("  flash CRC-16/MODBUS over %u bytes: 0x%04X (image 0x%04X)\n", padded,
                sim_flash_crc(device, SIM_FLASH_BASE, padded), crc16_modbus(expected.data(), static_cast<int32_t>(padded)));
    bool holds = sim_flash_holds(device, image.data(), image.size());
    std::printf("  flash holds %s: %s\n", args.image_path.c_str(), holds ? "yes" : "NO");
    return holds;
}

}  // namespace

int main(int argc, char **argv)
{
    DeviceSimArgs args;
    std::string error;
    if (!parse_device_sim_args(argc, argv, args, error)) {
        std::fprintf(stderr, "device-sim: %s\n", error.c_str());
        return EXIT_USAGE;
    }
    if (args.help) {
        std::fputs(DEVICE_SIM_USAGE, stdout);
        return EXIT_PASS;
    }
    std::vector<uint8_t> image;
    if (!args.image_path.empty() && !load_image(args, image, error)) {
        std::fprintf(stderr, "device-sim: %s\n", error.c_str());
        return EXIT_USAGE;
    }

    line_catch_stops();  // from here on a stop still removes the link
    SimLine line;
    bool opened = args.link.empty() ? line_open_port(line, args.port, error) : line_open_link(line, args.link, error);
    if (!opened) {
        std::fprintf(stderr, "device-sim: %s\n", error.c_str());
        return EXIT_USAGE;
    }
    std::printf("device-sim: line ready at %s\n", args.link.empty() ? args.port.c_str() : args.link.c_str());
    std::fflush(stdout);

    BootLoader device;
    sim_init(device, args.config);
    LinePump pump;
    pump_init(pump, args.config.pace, args.linger_ms);
    LineLimits limits;
    limits.timeout_s = args.timeout_s;
    limits.stop_after_blocks = args.stop_after_blocks;
    LineRun run = run_line(line, pump, device, limits, args.trace);
    LineErrors errors = line_errors(line);
    line_close(line);

    bool holds = report(args, image, device, pump, run);
    // Only a serial port of its own says how the tool's end is set; the
    // simulator's pseudo-terminal carries no wire timing and no parity.
    LineFigures figures = line_figures(run.log, device.heard);
    bool on_port = args.link.empty();
    LineVerdict verdict{};
    if (on_port)
        verdict = line_verdict(figures, errors);
    print_line_section(stdout, figures, errors, on_port ? &verdict : nullptr);
    // A line check (--stop-after-blocks) ends before the flash is whole: only the line is judged.
    bool checked_line = run.end == LINE_BLOCKS_DONE;
    bool passed = (checked_line || (run.end == LINE_RESET_DONE && pump.reset_acknowledged && holds)) &&
                  (!on_port || verdict.right);
    std::printf("  result: %s%s\n", passed ? "pass" : "FAIL", checked_line ? " (the line only)" : "");
    return passed ? EXIT_PASS : EXIT_FAIL;
}
