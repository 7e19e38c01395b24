#include "protocol/frame.h"

#include "protocol/update_job.h"

uint16_t crc16_modbus(const uint8_t *bytes, int32_t count)
{
    uint16_t crc = 0xFFFF;
    for (int32_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            if (crc & 1)
                crc = static_cast<uint16_t>((crc >> 1) ^ 0xA001);
            else
                crc = static_cast<uint16_t>(crc >> 1);
        }
    }
    return crc;
}

uint16_t frame_crc(const UpdateJob &job)
{
    return crc16_modbus(job.frame, job.frame_len - 2);
}

static void put_be32(uint8_t *at, uint32_t value)
{
    at[0] = static_cast<uint8_t>(value >> 24);
    at[1] = static_cast<uint8_t>(value >> 16);
    at[2] = static_cast<uint8_t>(value >> 8);
    at[3] = static_cast<uint8_t>(value);
}

static void put_header(UpdateJob &job, uint8_t sub_code)
{
    job.frame[0] = static_cast<uint8_t>(job.node_address);
    job.frame[1] = FUNC_ENCAPSULATED;
    job.frame[2] = sub_code;
}

// frame_len must already hold the full length; the trailer goes in its last two bytes.
static void seal_frame(UpdateJob &job)
{
    uint16_t crc = frame_crc(job);
    job.frame[job.frame_len - 2] = static_cast<uint8_t>(crc);
    job.frame[job.frame_len - 1] = static_cast<uint8_t>(crc >> 8);
}

void build_query_frame(UpdateJob &job, uint32_t address, int32_t count)
{
    put_header(job, MEI_QUERY_CRC);
    put_be32(job.frame + 3, address);
    put_be32(job.frame + 7, static_cast<uint32_t>(count));
    job.frame_len = QUERY_FRAME_LEN;
    seal_frame(job);
}

void build_block_frame(UpdateJob &job, uint32_t address, const uint8_t *data, int32_t length)
{
    put_header(job, MEI_WRITE_BLOCK);
    put_be32(job.frame + 3, address);
    job.frame[7] = static_cast<uint8_t>(length >> 8);
    job.frame[8] = static_cast<uint8_t>(length);
    for (int32_t i = 0; i < length; ++i)
        job.frame[9 + i] = data[i];
    job.frame_len = length + BLOCK_FRAME_OVERHEAD;
    seal_frame(job);
}

void build_reset_frame(UpdateJob &job)
{
    put_header(job, MEI_RESET);
    job.frame_len = RESET_FRAME_LEN;
    seal_frame(job);
}

bool frame_ok(const UpdateJob &job)
{
    if (job.frame_len < MIN_REPLY_LEN)
        return false;
    uint16_t trailer = static_cast<uint16_t>(job.frame[job.frame_len - 2] |
                                             (job.frame[job.frame_len - 1] << 8));
    return frame_crc(job) == trailer;
}
