#include "protocol/update_job.h"

#include "protocol/frame.h"
#include "report/report.h"

static void write_frame(UpdateJob &job)
{
    port_write(job.port, job.frame, job.frame_len);
}

void prepare_job(UpdateJob &job, uint8_t *frame_buffer)
{
    job.rx_capacity = FRAME_BUFFER_SIZE;
    job.frame = frame_buffer;
    job.node_address = NODE_ADDRESS;
    job.port = INVALID_PORT;
}

uint16_t image_crc(const UpdateJob &job)
{
    return crc16_modbus(job.image, job.image_size);
}

void enter_state(UpdateJob &job, uint32_t state)
{
    switch (state) {
    case STATE_CONTACT:
        job.chunk_len = BLOCK_LEN;
        job.offset = 0;
        job.timeout_ms = LINK_TIMEOUT_MS;
        break;
    case STATE_AWAIT_LINK:
        job.start_tick = tick_count();
        trace("CONTACTING...\n");
        build_query_frame(job, job.base_address, 4);
        write_frame(job);
        pause_ms(CONTACT_PAUSE_MS);
        break;
    case STATE_PROGRAM: {
        job.start_tick = tick_count();
        uint32_t address = job.base_address + static_cast<uint32_t>(job.offset);
        trace("PROG ADDR %#x, LEN %#x, FROM %#x...", address, job.chunk_len, job.offset);
        trace_flush();
        set_status("programming %#x", address);
        build_block_frame(job, address, job.image + job.offset, job.chunk_len);
        write_frame(job);
        trace(" - SENT - ");
        trace_flush();
        break;
    }
    case STATE_VERIFY:
        job.start_tick = tick_count();
        trace("Verifying address %#x, image size %#x bytes\n", job.base_address, job.image_size);
        set_status("Verifying...");
        build_query_frame(job, job.base_address, job.image_size);
        write_frame(job);
        trace("frame length %4d bytes sent\n", job.frame_len);
        break;
    case STATE_RESET:
        job.start_tick = tick_count();
        trace("Resetting target\n");
        set_status("Resetting target...");
        build_reset_frame(job);
        write_frame(job);
        trace("frame length %4d bytes sent\n", job.frame_len);
        break;
    case STATE_DONE:
        set_status("Programming Completed OK");
        break;
    default:
        break;
    }
    job.state = state;
}

static bool overdue(const UpdateJob &job, uint32_t now, uint32_t limit_ms)
{
    return now - job.start_tick > limit_ms;  // unsigned: the tick count's wrap is harmless
}

// One timed read into the frame buffer; true when it holds a valid reply.
static bool read_reply(UpdateJob &job, bool trace_bytes)
{
    int32_t n = port_read(job.port, job.frame, job.rx_capacity);
    job.frame_len = n;
    if (trace_bytes && n > 0) {
        trace("RX:");
        for (int32_t i = 0; i < n; ++i)
            trace(" %02x", job.frame[i]);
        trace("\n");
    }
    return frame_ok(job);  // rejects fewer than MIN_REPLY_LEN bytes too
}

static void step_await_link(UpdateJob &job, uint32_t now)
{
    if (overdue(job, now, job.timeout_ms))
        enter_state(job, STATE_AWAIT_LINK);
    if (!read_reply(job, true))
        return;
    trace("REMOTE DEVICE LINK ESTABLISHED\n");
    job.timeout_ms = REPLY_TIMEOUT_MS;
    port_purge(job.port);
    port_flush(job.port);
    enter_state(job, STATE_PROGRAM);
}

static void step_program(UpdateJob &job, uint32_t now)
{
    if (overdue(job, now, job.timeout_ms)) {
        trace("TIMEOUT\n");
        enter_state(job, STATE_PROGRAM);
    }
    if (!read_reply(job, false))
        return;
    trace("- OK\n");
    trace_flush();
    job.offset += job.chunk_len;
    if (job.offset < job.image_size) {
        if (job.image_size - job.offset < job.chunk_len)
            job.chunk_len = job.image_size - job.offset;
        enter_state(job, STATE_PROGRAM);
    } else {
        enter_state(job, STATE_VERIFY);
    }
}

static void step_verify(UpdateJob &job, uint32_t now)
{
    if (overdue(job, now, job.timeout_ms))
        enter_state(job, STATE_VERIFY);
    if (!read_reply(job, false))
        return;
    // A valid reply too short to carry the device's CRC would leave stale
    // request bytes, or its own trailer, where the CRC belongs: wait for the
    // real answer instead.
    if (job.frame_len < VERIFY_REPLY_MIN_LEN)
        return;
    uint16_t remote = static_cast<uint16_t>(job.frame[VERIFY_CRC_OFFSET] * 256 +
                                            job.frame[VERIFY_CRC_OFFSET + 1]);
    uint16_t local = image_crc(job);
    trace("Remote CRC %#x\n", remote);
    trace("Local  CRC %#x\n", local);
    if (remote == local) {
        trace("CRCs match\n");
        set_status("Program Verified OK");
        enter_state(job, STATE_RESET);
    } else {
        trace("CRC FAIL\n");
        set_status("FAILED");
        job.state = STATE_FAILED;
    }
}

static void step_reset(UpdateJob &job, uint32_t now)
{
    if (overdue(job, now, RESET_TIMEOUT_MS))
        enter_state(job, STATE_RESET);
    if (!read_reply(job, false))
        return;
    trace("frame length %4d bytes received & OK\n", job.frame_len);
    enter_state(job, STATE_DONE);
}

void job_step(UpdateJob &job)
{
    uint32_t now = tick_count();
    switch (job.state) {
    case STATE_START:
        enter_state(job, STATE_CONTACT);
        break;
    case STATE_CONTACT:
        set_status("Establishing Link...");
        enter_state(job, STATE_AWAIT_LINK);
        break;
    case STATE_AWAIT_LINK:
        step_await_link(job, now);
        break;
    case STATE_PROGRAM:
        step_program(job, now);
        break;
    case STATE_VERIFY:
        step_verify(job, now);
        break;
    case STATE_RESET:
        step_reset(job, now);
        break;
    default:  // STATE_FAILED, STATE_DONE and anything beyond: nothing to do
        break;
    }
}
