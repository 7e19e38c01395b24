// fwu-linux: the update job on Linux, over a POSIX serial port, with the
// window's timer rhythm (a step, then 10 ms) but no window. The trace goes to
// standard output and the status texts to standard error.
//
//   fwu-linux --port PATH --image FILE [--limit-s N]
//   fwu-linux --help
//
// Exit status: 0 when the update completed, 1 when it ended in "FAILED" or
// the port could not be opened, 3 when the time limit ran out, 2 on bad use.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/update_control.h"
#include "image/firmware_image.h"
#include "protocol/frame.h"
#include "report/report.h"

static UpdateJob job;
constexpr size_t MAX_IMAGE_BYTES = 16u << 20;
static uint8_t frame_buffer[FRAME_BUFFER_SIZE];

constexpr const char *USAGE =
    "usage: fwu-linux --port PATH --image FILE [--limit-s N]\n"
    "Writes FILE into the device on the serial port PATH, as fwu.exe does, and\n"
    "ends after N seconds at the most (default 600). The trace goes to standard\n"
    "output, the status texts to standard error. Exit status: 0 completed,\n"
    "1 FAILED or the port could not be opened, 3 out of time, 2 bad use.\n";

static int usage(const char *why)
{
    std::fprintf(stderr, "fwu-linux: %s\n%s", why, USAGE);
    return 2;
}

int main(int argc, char **argv)
{
    const char *port_path = nullptr;
    const char *image_path = nullptr;
    long limit_s = 600;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(USAGE, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc)
            port_path = argv[++i];
        else if (std::strcmp(argv[i], "--image") == 0 && i + 1 < argc)
            image_path = argv[++i];
        else if (std::strcmp(argv[i], "--limit-s") == 0 && i + 1 < argc)
            limit_s = std::strtol(argv[++i], nullptr, 10);
        else
            return usage("unknown argument");
    }
    if (port_path == nullptr || image_path == nullptr || limit_s <= 0)
        return usage("--port and --image are required");

    std::vector<uint8_t> image;
    if (!read_image_file(image_path, image) || image.empty())
        return usage("the image file is missing or empty");
    if (image.size() > MAX_IMAGE_BYTES)
        return usage("the image file is larger than any flash it could go into");

    prepare_job(job, frame_buffer);
    if (!install_firmware_image(job, image.data(), static_cast<int32_t>(image.size())))
        return 1;
    if (!start_update(job, port_path))
        fatal_error("Unable to open serial port. In use already, or not present");

    const uint32_t began = tick_count();
    while (job.state != STATE_FAILED) {
        job_step(job);
        if (finish_update(job)) {
            trace_flush();
            return 0;
        }
        if (tick_count() - began > static_cast<uint32_t>(limit_s) * 1000u) {
            trace_flush();
            std::fprintf(stderr, "fwu-linux: no result after %ld s\n", limit_s);
            return 3;
        }
        pause_ms(TIMER_PERIOD_MS);
    }
    trace_flush();
    return 1;
}
