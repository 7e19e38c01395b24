// The one update in progress: a state machine stepped by the window's 10 ms
// timer. Every wait but the pause after a contact request is a state plus the
// tick at which its request went out, so the window stays responsive.
#pragma once

#include <cstdint>

#include "protocol/job_io.h"

constexpr uint32_t FLASH_IMAGE_BASE = 0x08004000;
constexpr int32_t BLOCK_LEN = 1024;
constexpr uint32_t BAUD_RATE = 115200;
constexpr uint32_t LINK_TIMEOUT_MS = 100;    // contact requests, until the device answers
constexpr uint32_t REPLY_TIMEOUT_MS = 5000;  // blocks and verification, once linked
constexpr uint32_t RESET_TIMEOUT_MS = 100;
constexpr uint32_t CONTACT_PAUSE_MS = 100;
// The verification reply carries the device's CRC here, high byte first,
// with its own trailer after it: a shorter frame cannot hold both.
constexpr int32_t VERIFY_CRC_OFFSET = 11;
constexpr int32_t VERIFY_REPLY_MIN_LEN = VERIFY_CRC_OFFSET + 2 + 2;

enum JobState : uint32_t {
    STATE_START = 0,
    STATE_CONTACT = 1,
    STATE_AWAIT_LINK = 2,
    STATE_PROGRAM = 3,
    STATE_VERIFY = 4,
    STATE_FAILED = 5,
    STATE_RESET = 6,
    STATE_DONE = 7,
};

struct UpdateJob {
    const char *port_path;
    PortHandle port;
    uint32_t baud;
    int32_t node_address;
    int32_t frame_len;
    int32_t rx_capacity;
    uint8_t *frame;
    uint32_t state;
    uint8_t *image;
    uint32_t base_address;
    int32_t offset;       // image bytes acknowledged; also the offset of the block in flight
    int32_t image_size;   // padded, a multiple of BLOCK_LEN
    int32_t chunk_len;
    uint32_t start_tick;  // when the request awaiting a reply went out
    uint32_t timeout_ms;
};

// Gives the job its frame buffer (FRAME_BUFFER_SIZE bytes), read size and
// node address, and no port yet.
void prepare_job(UpdateJob &job, uint8_t *frame_buffer);

void enter_state(UpdateJob &job, uint32_t state);
void job_step(UpdateJob &job);
uint16_t image_crc(const UpdateJob &job);
