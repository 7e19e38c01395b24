// Feeds arbitrary byte streams to the update job as the device's replies, in
// every state, with the job's own 1040-byte frame buffer.
//
// Input: one byte choosing the state to start in, then events, each a header
// byte and a length byte followed by that many reply bytes for one read. Bit
// 7 of the header seals the reply with a correct trailer (so that the fuzzer
// can get past the trailer test), and its low bits advance the clock by that
// many 50 ms steps before the read.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "app/timer_ticks.h"
#include "image/firmware_image.h"
#include "protocol/frame.h"
#include "protocol/update_job.h"
#include "report/report.h"

namespace {

const uint8_t *input;
size_t input_left;
uint32_t fuzz_now;
UpdateJob job;
uint8_t *frame_buffer;
uint8_t last_reply[FRAME_BUFFER_SIZE];  // what the latest read returned
int32_t last_reply_len;

uint8_t take()
{
    if (input_left == 0)
        return 0;
    --input_left;
    return *input++;
}

// Runs after every tick; a violation stops the fuzzer with a crash.
bool check_step(const UpdateJob &stepped, uint32_t before)
{
    // Verified only on a reply that carries the image's own CRC at bytes
    // 11 and 12, with a trailer of its own after them.
    if (before == STATE_VERIFY && stepped.state == STATE_RESET) {
        uint16_t expected = image_crc(stepped);
        if (last_reply_len < 15 || last_reply[11] != (expected >> 8) || last_reply[12] != (expected & 0xFF))
            __builtin_trap();
    }
    if (stepped.offset < 0 || stepped.offset > stepped.image_size || stepped.chunk_len <= 0 ||
        stepped.chunk_len > BLOCK_LEN)
        __builtin_trap();  // the block in flight must always lie inside the image
    return input_left > 0;
}

}  // namespace

int32_t port_write(PortHandle, const uint8_t *, int32_t count)
{
    return count;
}

int32_t port_read(PortHandle, uint8_t *buffer, int32_t count)
{
    uint8_t header = take();
    fuzz_now += (header & 0x3F) * 50u;
    int32_t length = take() * 5;
    if (length > count)
        length = count;
    int32_t n = 0;
    while (n < length && input_left > 0)
        buffer[n++] = take();
    if ((header & 0x80) && n >= 4) {
        uint16_t crc = crc16_modbus(buffer, n - 2);
        buffer[n - 2] = static_cast<uint8_t>(crc);
        buffer[n - 1] = static_cast<uint8_t>(crc >> 8);
    }
    fuzz_now += 20;
    std::memcpy(last_reply, buffer, static_cast<size_t>(n));
    last_reply_len = n;
    return n;
}

void port_purge(PortHandle) {}
void port_flush(PortHandle) {}
void set_status(const char *, ...) {}
void trace(const char *, ...) {}
void trace_flush() {}

uint32_t tick_count()
{
    return fuzz_now;
}

void pause_ms(uint32_t milliseconds)
{
    fuzz_now += milliseconds;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = [] {
        static uint8_t image[3000];
        for (size_t i = 0; i < sizeof image; ++i)
            image[i] = static_cast<uint8_t>(i * 13);
        frame_buffer = new uint8_t[FRAME_BUFFER_SIZE];  // exactly its size, so any overrun is caught
        prepare_job(job, frame_buffer);
        return install_firmware_image(job, image, sizeof image);
    }();
    (void)ready;
    input = data;
    input_left = size;
    fuzz_now = 0xFFFFF000u;  // the tick count wraps within a few seconds

    uint8_t start = take() % 8;
    enter_state(job, STATE_CONTACT);
    if (start == STATE_FAILED || start == STATE_START)
        job.state = start;
    else if (start != STATE_CONTACT)
        enter_state(job, start);

    run_ticks(job, 10 * 60 * 1000, STATE_DONE, check_step);
    return 0;
}
