#include "tests/support/job_harness.h"

#include <cstdlib>
#include <stdexcept>

#include "image/firmware_image.h"
#include "protocol/frame.h"
#include "tests/support/report_capture.h"

static UpdateJob job;
static uint8_t frame_buffer[FRAME_BUFFER_SIZE];

const std::vector<uint8_t> &sample_image()
{
    static const std::vector<uint8_t> image = [] {
        std::vector<uint8_t> bytes;
        if (!read_image_file(FWU_SAMPLE_IMAGE_PATH, bytes) || bytes.empty())
            throw std::runtime_error("sample image missing: " FWU_SAMPLE_IMAGE_PATH);
        return bytes;
    }();
    return image;
}

UpdateJob &start_job(const std::vector<uint8_t> &image, const SimConfig &device, uint32_t first_tick)
{
    sim_channel_setup(device, first_tick);
    std::free(job.image);
    job = UpdateJob{};
    prepare_job(job, frame_buffer);
    job.port_path = "sim";
    job.port = 3;
    job.baud = BAUD_RATE;
    job.state = STATE_START;
    install_firmware_image(job, image.data(), static_cast<int32_t>(image.size()));
    clear_captured_reports();
    return job;
}

int run_job(UpdateJob &running, uint64_t limit_ms)
{
    int steps = 0;
    while (running.state != STATE_DONE && running.state != STATE_FAILED && sim_channel.now_ms < limit_ms) {
        job_step(running);
        ++steps;
        pause_ms(TIMER_PERIOD_MS);
    }
    return steps;
}

std::vector<SimSent> sent_of_kind(uint8_t sub_code)
{
    std::vector<SimSent> found;
    for (const SimSent &sent : sim_channel.sent)
        if (sent.bytes.size() > 2 && sent.bytes[2] == sub_code)
            found.push_back(sent);
    return found;
}

std::vector<uint8_t> padded(const std::vector<uint8_t> &image)
{
    std::vector<uint8_t> out(image);
    out.resize(static_cast<size_t>(padded_image_size(static_cast<int32_t>(image.size()))), 0);
    return out;
}
