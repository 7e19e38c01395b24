// A model of the device's boot loader, as the update tool meets it on the
// line: node 4, function 0x2B, block writes into a flash array, CRC queries
// over it, and a reset that restarts it. It has no transport of its own: a
// channel feeds it the bytes that reach the device (with the time they
// arrive) and takes the replies it schedules. It parses requests with its own
// code, so a fault shared with the tool's frame builder cannot hide.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

constexpr uint32_t SIM_FLASH_BASE = 0x08004000;
constexpr uint32_t SIM_DEFAULT_FLASH_SIZE = 512 * 1024;

// Requests as the device tells them apart; a CRC query over 4 bytes is how
// the tool makes contact, a longer one is its verification.
enum SimRequestKind : uint8_t { SIM_ANY, SIM_CONTACT, SIM_VERIFY, SIM_BLOCK, SIM_RESET, SIM_KIND_COUNT };

// What can happen to one reply on its way back.
enum SimFault : uint8_t {
    FAULT_NONE,
    FAULT_DROP,       // the reply is lost (the request was carried out)
    FAULT_CORRUPT,    // the last trailer byte arrives wrong
    FAULT_SPLIT,      // the reply stops for split_pause_ms in the middle
    FAULT_LATE,       // the reply leaves late_ms later than usual
    FAULT_EXCEPTION,  // the device refuses: a MODBUS exception reply, nothing done
    FAULT_GARBAGE,    // noise bytes arrive just before the reply
    FAULT_COUNT
};

// Applies `fault` to the nth request (1-based) of `kind` that the device answers.
struct SimFaultRule {
    SimRequestKind kind;
    uint32_t nth;
    SimFault fault;
};

struct SimConfig {
    uint32_t flash_size = SIM_DEFAULT_FLASH_SIZE;
    uint32_t power_up_ms = 0;       // deaf and silent until then
    uint32_t reply_delay_ms = 2;    // from the end of a request to the start of its reply
    uint32_t late_ms = 300;
    uint32_t split_pause_ms = 40;
    uint32_t restart_ms = 200;      // deaf and silent after acknowledging a reset
    bool pace = false;              // bytes take their 115200 8E1 time on the wire
    // A flash byte whose lowest bit does not take; 0 for none.
    uint32_t bad_flash_address = 0;
    uint32_t bad_flash_writes = 0;  // how many writes of it go wrong; 0 for all
    std::vector<SimFaultRule> rules;
    // Random faults on top of the rules: each reply meets one with this chance.
    uint32_t random_fault_percent = 0;
    uint32_t random_seed = 1;
    uint32_t random_fault_mask = 0;  // bit per SimFault allowed; 0 for all
};

// Bytes the device puts on the line, starting at `at_ms`.
struct SimChunk {
    uint32_t at_ms;
    std::vector<uint8_t> bytes;
};

// A well-formed request the device took, by where its bytes lie in all it heard.
struct SimHeard {
    SimRequestKind kind;
    uint64_t begin;  // offset of its first byte
    uint64_t end;    // one past its last byte
};

struct BootLoader {
    SimConfig config;
    std::vector<uint8_t> flash;
    std::vector<uint8_t> rx;       // the request being received
    bool skipping = false;         // discarding bytes until the line falls silent
    uint32_t deaf_until = 0;
    uint32_t tx_free_at = 0;       // the device's transmitter is busy until then
    std::deque<SimChunk> tx;
    uint32_t random_state = 1;
    uint32_t bad_flash_failures = 0;
    // What the device saw and did.
    uint32_t requests[SIM_KIND_COUNT] = {};
    uint32_t replies_faulted[FAULT_COUNT] = {};
    uint32_t bytes_ignored = 0;    // arrived while unpowered or restarting
    uint32_t frames_rejected = 0;  // bad trailer, foreign node or unknown layout
    uint32_t blocks_written = 0;
    uint32_t resets = 0;
    uint64_t bytes_heard = 0;      // every byte that reached it, heeded or not
    std::vector<SimHeard> heard;   // in order; the line's timing is judged by these
};

void sim_init(BootLoader &sim, const SimConfig &config);

// Bytes that reached the device, the last of them at `at_ms`.
void sim_receive(BootLoader &sim, const uint8_t *bytes, size_t count, uint32_t at_ms);

// The line fell silent: whatever partial request is pending is dropped.
void sim_line_silent(BootLoader &sim);

// Time one byte takes on a 115200 8E1 line, in microseconds (11 bits).
constexpr uint32_t SIM_BYTE_TIME_US = 11 * 1000000 / 115200;
uint32_t sim_wire_ms(size_t byte_count);

const char *sim_fault_name(SimFault fault);
const char *sim_kind_name(SimRequestKind kind);

uint16_t sim_flash_crc(const BootLoader &sim, uint32_t address, uint32_t count);
// True when the flash holds `image` from its base, zero-padded to whole kilobytes.
bool sim_flash_holds(const BootLoader &sim, const uint8_t *image, size_t size);
