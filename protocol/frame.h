// Boot-loader frames: MODBUS RTU form with function 0x2B and three sub-codes.
// Every request is built in, and every reply read into, the job's one frame
// buffer; these functions work on that buffer only.
#pragma once

#include <cstdint>

struct UpdateJob;

constexpr int32_t FRAME_BUFFER_SIZE = 1040;

constexpr uint8_t NODE_ADDRESS = 4;
constexpr uint8_t FUNC_ENCAPSULATED = 0x2B;
constexpr uint8_t MEI_WRITE_BLOCK = 0xF5;
constexpr uint8_t MEI_QUERY_CRC = 0xF6;
constexpr uint8_t MEI_RESET = 0xF7;

constexpr int32_t QUERY_FRAME_LEN = 13;
constexpr int32_t RESET_FRAME_LEN = 5;
constexpr int32_t BLOCK_FRAME_OVERHEAD = 11;  // header 9 + trailer 2
constexpr int32_t MIN_REPLY_LEN = 4;          // anything shorter is never a reply

// CRC-16/MODBUS, bit by bit; 0xFFFF for count <= 0.
uint16_t crc16_modbus(const uint8_t *bytes, int32_t count);

// CRC of the first frame_len - 2 bytes of the frame buffer.
uint16_t frame_crc(const UpdateJob &job);

void build_query_frame(UpdateJob &job, uint32_t address, int32_t count);
void build_block_frame(UpdateJob &job, uint32_t address, const uint8_t *data, int32_t length);
void build_reset_frame(UpdateJob &job);

// A reply is accepted when it has at least 4 bytes and its last two carry,
// low byte first, the CRC of everything before them.
bool frame_ok(const UpdateJob &job);
