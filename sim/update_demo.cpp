// Runs one whole update of an image file against the simulated boot loader,
// in virtual time, with the tool's trace and then the device's account on
// standard output, and the tool's status texts on standard error. Exit status 0 only when the device acknowledged
// the reset and its flash holds the image.
#include <cstdio>
#include <vector>

#include "app/timer_ticks.h"
#include "image/firmware_image.h"
#include "protocol/frame.h"
#include "protocol/update_job.h"
#include "sim/sim_channel.h"

static UpdateJob job;

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: fwu-sim-update IMAGE\n");
        return 2;
    }
    std::vector<uint8_t> image;
    if (!read_image_file(argv[1], image) || image.empty()) {
        std::fprintf(stderr, "%s is empty or missing\n", argv[1]);
        return 2;
    }

    SimConfig device;
    device.power_up_ms = 1500;  // the operator plugs the device in a little after the press
    device.pace = true;
    sim_channel_setup(device, 0);

    static uint8_t frame[FRAME_BUFFER_SIZE];
    prepare_job(job, frame);
    job.baud = BAUD_RATE;
    if (!install_firmware_image(job, image.data(), static_cast<int32_t>(image.size())))
        return 1;

    job.state = STATE_START;
    run_ticks(job, 10 * 60 * 1000);
    const BootLoader &sim = sim_channel.device;
    bool flash_ok = sim_flash_holds(sim, image.data(), image.size());
    std::printf("\nsimulated device: %u blocks written, %u resets, flash %s; %.1f s of line time\n",
                 sim.blocks_written, sim.resets, flash_ok ? "holds the image" : "DIFFERS from the image",
                 static_cast<double>(sim_channel.now_ms) / 1000.0);
    return job.state == STATE_DONE && flash_ok && sim.resets > 0 ? 0 : 1;
}
