// fwu-linux: the update job on Linux, over a POSIX serial port, with the
// window's timer rhythm (a step, then 10 ms) but no window. The trace goes to
// standard output and the status texts to standard error.
//
//   fwu-linux --port PATH --image FILE [--limit-s N]
//   fwu-linux --help
//
// Exit status: 0 when the update completed, 1 when it ended in "FAILED" or
// the port could not be opened, 3 when the time limit ran out, 2 on bad use.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/linux_args.h"
#include "app/timer_ticks.h"
#include "image/firmware_image.h"
#include "protocol/frame.h"
#include "report/report.h"

static UpdateJob job;
constexpr size_t MAX_IMAGE_BYTES = 16u << 20;
static uint8_t frame_buffer[FRAME_BUFFER_SIZE];

static int usage(const char *why)
{
    std::fprintf(stderr, "fwu-linux: %s\n%s", why, FWU_LINUX_USAGE);
    return 2;
}

int main(int argc, char **argv)
{
    FwuLinuxArgs args;
    std::string error;
    if (!parse_fwu_linux_args(argc, argv, args, error))
        return usage(error.c_str());
    if (args.help) {
        std::fputs(FWU_LINUX_USAGE, stdout);
        return 0;
    }
    const char *port_path = args.port_path;
    const char *image_path = args.image_path;
    long limit_s = args.limit_s;

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

    const long longest_s = UINT32_MAX / 1000;  // what the tick count can time
    run_ticks(job, static_cast<uint32_t>(std::min(limit_s, longest_s)) * 1000u);
    trace_flush();
    if (finish_update(job))
        return 0;
    if (job.state == STATE_FAILED)
        return 1;
    std::fprintf(stderr, "fwu-linux: no result after %ld s\n", limit_s);
    return 3;
}
