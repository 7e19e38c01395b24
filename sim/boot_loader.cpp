#include "sim/boot_loader.h"

#include <utility>

#include "image/firmware_image.h"  // padded_image_size: the padding is the tool's own rule
#include "protocol/frame.h"          // crc16_modbus only: the request layouts are parsed here

namespace {

const uint8_t SIM_NODE = 4;
const uint8_t SIM_FUNCTION = 0x2B;
const uint8_t SUB_WRITE = 0xF5;
const uint8_t SUB_QUERY = 0xF6;
const uint8_t SUB_RESET = 0xF7;
const uint8_t EXCEPTION_ILLEGAL_ADDRESS = 0x02;
const uint8_t EXCEPTION_DEVICE_FAILURE = 0x04;
const size_t MAX_BLOCK_DATA = 1024;

uint32_t read_be32(const uint8_t *at)
{
    return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 |
           static_cast<uint32_t>(at[2]) << 8 | at[3];
}

void append_be32(std::vector<uint8_t> &out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

void append_trailer(std::vector<uint8_t> &out)
{
    uint16_t crc = crc16_modbus(out.data(), static_cast<int32_t>(out.size()));
    out.push_back(static_cast<uint8_t>(crc & 0xFF));
    out.push_back(static_cast<uint8_t>(crc >> 8));
}

bool trailer_matches(const uint8_t *frame, size_t length)
{
    uint16_t crc = crc16_modbus(frame, static_cast<int32_t>(length - 2));
    return frame[length - 2] == (crc & 0xFF) && frame[length - 1] == (crc >> 8);
}

std::vector<uint8_t> exception_reply(uint8_t code)
{
    std::vector<uint8_t> reply{SIM_NODE, static_cast<uint8_t>(SIM_FUNCTION | 0x80), code};
    append_trailer(reply);
    return reply;
}

uint32_t next_random(BootLoader &sim)
{
    uint32_t x = sim.random_state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    sim.random_state = x;
    return x;
}

bool in_flash(const BootLoader &sim, uint32_t address, uint32_t count)
{
    if (address < SIM_FLASH_BASE)
        return false;
    uint64_t end = static_cast<uint64_t>(address - SIM_FLASH_BASE) + count;
    return end <= sim.flash.size();
}

SimFault choose_fault(BootLoader &sim, SimRequestKind kind)
{
    for (const SimFaultRule &rule : sim.config.rules) {
        bool kind_matches = rule.kind == SIM_ANY || rule.kind == kind;
        uint32_t seen = rule.kind == SIM_ANY ? sim.requests[SIM_ANY] : sim.requests[kind];
        if (kind_matches && rule.nth == seen)
            return rule.fault;
    }
    if (sim.config.random_fault_percent == 0 ||
        next_random(sim) % 100 >= sim.config.random_fault_percent)
        return FAULT_NONE;
    uint32_t mask = sim.config.random_fault_mask ? sim.config.random_fault_mask : ~0u;
    for (int tries = 0; tries < 64; ++tries) {
        auto fault = static_cast<SimFault>(1 + next_random(sim) % (FAULT_COUNT - 1));
        if (mask & (1u << fault))
            return fault;
    }
    return FAULT_NONE;
}

// The device's one transmitter sends its replies in order, never overlapping.
void send_chunk(BootLoader &sim, uint32_t at_ms, std::vector<uint8_t> bytes)
{
    if (at_ms < sim.tx_free_at)
        at_ms = sim.tx_free_at;
    sim.tx_free_at = at_ms + (sim.config.pace ? sim_wire_ms(bytes.size()) : 0);
    sim.tx.push_back(SimChunk{at_ms, std::move(bytes)});
}

void send_reply(BootLoader &sim, std::vector<uint8_t> reply, SimFault fault, uint32_t at_ms)
{
    at_ms += sim.config.reply_delay_ms;
    switch (fault) {
    case FAULT_DROP:
        return;
    case FAULT_CORRUPT:
        reply.back() ^= 0x5A;
        break;
    case FAULT_LATE:
        at_ms += sim.config.late_ms;
        break;
    case FAULT_GARBAGE:
        reply.insert(reply.begin(), {0x00, static_cast<uint8_t>(next_random(sim)), 0xFF});
        break;
    case FAULT_SPLIT: {
        size_t half = reply.size() / 2;
        std::vector<uint8_t> head(reply.begin(), reply.begin() + static_cast<long>(half));
        reply.erase(reply.begin(), reply.begin() + static_cast<long>(half));
        send_chunk(sim, at_ms, std::move(head));
        at_ms = sim.tx_free_at + sim.config.split_pause_ms;
        break;
    }
    default:
        break;
    }
    send_chunk(sim, at_ms, std::move(reply));
}

void write_flash(BootLoader &sim, uint32_t address, const uint8_t *data, size_t length)
{
    size_t start = address - SIM_FLASH_BASE;
    for (size_t i = 0; i < length; ++i) {
        uint8_t value = data[i];
        bool bad = sim.config.bad_flash_address != 0 && address + i == sim.config.bad_flash_address &&
                   (sim.config.bad_flash_writes == 0 ||
                    sim.bad_flash_failures < sim.config.bad_flash_writes);
        if (bad) {
            value ^= 0x01;
            ++sim.bad_flash_failures;
        }
        sim.flash[start + i] = value;
    }
}

// Carries out one well-formed request, which ends `end` bytes into all the device heard, and answers it.
void handle_request(BootLoader &sim, const uint8_t *frame, size_t length, uint64_t end, uint32_t at_ms)
{
    uint8_t sub_code = frame[2];
    SimRequestKind kind = SIM_RESET;
    if (sub_code == SUB_QUERY)
        kind = read_be32(frame + 7) <= 4 ? SIM_CONTACT : SIM_VERIFY;
    else if (sub_code == SUB_WRITE)
        kind = SIM_BLOCK;
    ++sim.requests[SIM_ANY];
    ++sim.requests[kind];
    sim.heard.push_back(SimHeard{kind, end - length, end});
    SimFault fault = choose_fault(sim, kind);
    ++sim.replies_faulted[fault];
    if (fault == FAULT_EXCEPTION) {
        send_reply(sim, exception_reply(EXCEPTION_DEVICE_FAILURE), FAULT_NONE, at_ms);
        return;
    }

    std::vector<uint8_t> reply(frame, frame + 3);
    if (kind == SIM_CONTACT || kind == SIM_VERIFY) {
        uint32_t address = read_be32(frame + 3);
        uint32_t count = read_be32(frame + 7);
        if (!in_flash(sim, address, count)) {
            send_reply(sim, exception_reply(EXCEPTION_ILLEGAL_ADDRESS), fault, at_ms);
            return;
        }
        uint16_t crc = sim_flash_crc(sim, address, count);
        append_be32(reply, address);
        append_be32(reply, count);
        reply.push_back(static_cast<uint8_t>(crc >> 8));
        reply.push_back(static_cast<uint8_t>(crc & 0xFF));
    } else if (kind == SIM_BLOCK) {
        uint32_t address = read_be32(frame + 3);
        size_t data_length = length - 11;
        if (!in_flash(sim, address, static_cast<uint32_t>(data_length))) {
            send_reply(sim, exception_reply(EXCEPTION_ILLEGAL_ADDRESS), fault, at_ms);
            return;
        }
        write_flash(sim, address, frame + 9, data_length);
        ++sim.blocks_written;
        reply.insert(reply.end(), frame + 3, frame + 9);
    }
    append_trailer(reply);
    send_reply(sim, std::move(reply), fault, at_ms);

    if (kind == SIM_RESET) {
        ++sim.resets;
        sim.deaf_until = at_ms + sim.config.reply_delay_ms + sim.config.restart_ms;
    }
}

// Length of the request that starts the receive buffer: 0 while unknown, -1
// when the bytes cannot start a request for this node.
long expected_length(const std::vector<uint8_t> &rx)
{
    if (rx.size() >= 1 && rx[0] != SIM_NODE)
        return -1;
    if (rx.size() >= 2 && rx[1] != SIM_FUNCTION)
        return -1;
    if (rx.size() < 3)
        return 0;
    switch (rx[2]) {
    case SUB_QUERY:
        return 13;
    case SUB_RESET:
        return 5;
    case SUB_WRITE: {
        if (rx.size() < 9)
            return 0;
        size_t data_length = static_cast<size_t>(rx[7]) << 8 | rx[8];
        return data_length <= MAX_BLOCK_DATA ? static_cast<long>(data_length + 11) : -1;
    }
    default:
        return -1;
    }
}

}  // namespace

const char *sim_fault_name(SimFault fault)
{
    static const char *const names[FAULT_COUNT] = {"none", "drop", "corrupt", "split", "late", "exception", "garbage"};
    return fault < FAULT_COUNT ? names[fault] : "?";
}

const char *sim_kind_name(SimRequestKind kind)
{
    static const char *const names[SIM_KIND_COUNT] = {"any", "contact", "verify", "block", "reset"};
    return kind < SIM_KIND_COUNT ? names[kind] : "?";
}

uint32_t sim_wire_ms(size_t byte_count)
{
    uint64_t bits_ms = static_cast<uint64_t>(byte_count) * 11 * 1000;
    return static_cast<uint32_t>((bits_ms + 115199) / 115200);
}

void sim_init(BootLoader &sim, const SimConfig &config)
{
    // Built aside and moved in: MinGW's GCC 12 at -O3 takes the assignment of
    // a temporary for a read of uninitialised memory.
    BootLoader fresh;
    fresh.config = config;
    fresh.flash.assign(config.flash_size, 0xFF);  // erased
    fresh.deaf_until = config.power_up_ms;
    fresh.random_state = config.random_seed ? config.random_seed : 1;
    sim = std::move(fresh);
}

void sim_receive(BootLoader &sim, const uint8_t *bytes, size_t count, uint32_t at_ms)
{
    sim.bytes_heard += count;
    if (at_ms < sim.deaf_until) {
        sim.bytes_ignored += static_cast<uint32_t>(count);
        return;
    }
    if (sim.skipping)
        return;
    sim.rx.insert(sim.rx.end(), bytes, bytes + count);
    while (!sim.rx.empty()) {
        long need = expected_length(sim.rx);
        if (need < 0) {
            ++sim.frames_rejected;
            sim.rx.clear();
            sim.skipping = true;
            return;
        }
        if (need == 0 || sim.rx.size() < static_cast<size_t>(need))
            return;
        size_t length = static_cast<size_t>(need);
        if (trailer_matches(sim.rx.data(), length)) {
            handle_request(sim, sim.rx.data(), length, sim.bytes_heard - sim.rx.size() + length, at_ms);
        } else {
            ++sim.frames_rejected;
            sim.skipping = true;
        }
        if (sim.skipping || at_ms < sim.deaf_until) {
            sim.rx.clear();
            return;
        }
        sim.rx.erase(sim.rx.begin(), sim.rx.begin() + static_cast<long>(length));
    }
}

void sim_line_silent(BootLoader &sim)
{
    if (!sim.rx.empty())
        ++sim.frames_rejected;
    sim.rx.clear();
    sim.skipping = false;
}

uint16_t sim_flash_crc(const BootLoader &sim, uint32_t address, uint32_t count)
{
    return crc16_modbus(sim.flash.data() + (address - SIM_FLASH_BASE), static_cast<int32_t>(count));
}

bool sim_flash_holds(const BootLoader &sim, const uint8_t *image, size_t size)
{
    if (size > sim.flash.size())  // then too for padded_image_size's 32-bit length
        return false;
    auto padded = static_cast<size_t>(padded_image_size(static_cast<int32_t>(size)));
    if (padded > sim.flash.size())
        return false;
    for (size_t i = 0; i < padded; ++i) {
        uint8_t expected = i < size ? image[i] : 0x00;
        if (sim.flash[i] != expected)
            return false;
    }
    return true;
}
