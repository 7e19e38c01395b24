#include "tests/support/job_harness.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "image/firmware_image.h"
#include "protocol/frame.h"
#include "report/report.h"

static UpdateJob job;
static uint8_t frame_buffer[FRAME_BUFFER_SIZE];
std::string captured_trace;
std::vector<std::string> captured_status;

void clear_captured_reports()
{
    captured_trace.clear();
    captured_status.clear();
}

static std::string format_text(const char *format, va_list args)
{
    char text[2048];
    std::vsnprintf(text, sizeof text, format, args);
    return text;
}

void set_status(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    captured_status.push_back(format_text(format, args));
    va_end(args);
}

void trace(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    captured_trace += format_text(format, args);
    va_end(args);
}

void trace_flush() {}

const Bytes &sample_image()
{
    static Bytes image;
    if (image.empty() && !read_image_file(FWU_SAMPLE_IMAGE_PATH, image))
        throw std::runtime_error("sample image missing: " FWU_SAMPLE_IMAGE_PATH);
    return image;
}

UpdateJob &start_job(const Bytes &image, const SimConfig &device, uint32_t first_tick)
{
    sim_channel_setup(device, first_tick);
    std::free(job.image);
    job = UpdateJob{};
    prepare_job(job, frame_buffer);  // in STATE_START; the channel needs no port
    install_firmware_image(job, image.data(), static_cast<int32_t>(image.size()));
    clear_captured_reports();
    return job;
}

std::vector<SimSent> sent_of_kind(SimRequestKind kind)
{
    std::vector<SimSent> found;
    for (const SimSent &sent : sim_channel.sent) {
        const Bytes &frame = sent.bytes;
        SimRequestKind seen = SIM_RESET;
        if (frame.size() > 2 && frame[2] == MEI_WRITE_BLOCK)
            seen = SIM_BLOCK;
        else if (frame.size() >= 13 && frame[2] == MEI_QUERY_CRC)  // over 4 bytes to make contact, longer to verify
            seen = (frame[7] | frame[8] | frame[9]) == 0 && frame[10] <= 4 ? SIM_CONTACT : SIM_VERIFY;
        if (seen == kind)
            found.push_back(sent);
    }
    return found;
}

Bytes sealed(Bytes bytes)
{
    uint16_t crc = crc16_modbus(bytes.data(), static_cast<int32_t>(bytes.size()));
    bytes.push_back(static_cast<uint8_t>(crc));
    bytes.push_back(static_cast<uint8_t>(crc >> 8));
    return bytes;
}

Bytes block_frame(uint32_t address, const Bytes &data)
{
    Bytes frame{0x04, 0x2B, 0xF5, static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
                static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                static_cast<uint8_t>(data.size() >> 8), static_cast<uint8_t>(data.size())};
    frame.insert(frame.end(), data.begin(), data.end());
    return sealed(frame);
}
