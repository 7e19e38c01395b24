// The simulated device and the line pump in front of it, where a fault of
// their own would let one of the tool's through or mislead a bench: the
// device takes only intact requests and answers each byte for byte from what
// its flash really holds; the pump takes a request in an adapter's pieces,
// drops a damaged or cut-off one before the tool repeats it, and keeps a paced
// line at 11 bits a character both ways. In virtual time.
#include <gtest/gtest.h>

#include <algorithm>

#include "protocol/frame.h"
#include "sim/line_pump.h"
#include "tests/support/job_harness.h"

namespace {

const int64_t MS = 1000;
const Bytes CONTACT = {0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x04, 0x42, 0x5A};
const Bytes RESET = {0x04, 0x2B, 0xF7, 0x6F, 0x77};
// The answer to a contact from an erased flash (0xb001, the CRC of four 0xFF bytes), and a refusal.
const Bytes ERASED = sealed({0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x04, 0xB0, 0x01});
const Bytes REFUSED = sealed({0x04, 0xAB, 0x04});

Bytes query(uint32_t address, uint32_t count)
{
    return sealed({0x04, 0x2B, 0xF6, static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
                   static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address), static_cast<uint8_t>(count >> 24),
                   static_cast<uint8_t>(count >> 16), static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)});
}

// One request across the line, its first byte on its own as a slow reader may pass it on, then silence.
void feed(BootLoader &sim, const Bytes &request, uint32_t at_ms)
{
    sim_receive(sim, request.data(), 1, at_ms);
    sim_receive(sim, request.data() + 1, request.size() - 1, at_ms);
    sim_line_silent(sim);
}

Bytes operator+(Bytes first, const Bytes &then)
{
    first.insert(first.end(), then.begin(), then.end());
    return first;
}

TEST(Simulator, AnswersIntactRequestsByteForByteFromWhatItsFlashHolds)
{
    SimConfig config;
    config.flash_size = 2048;
    config.bad_flash_address = SIM_FLASH_BASE + 1;  // its first write goes wrong
    config.bad_flash_writes = 1;
    config.rules.push_back({SIM_RESET, 1, FAULT_EXCEPTION});
    config.restart_ms = 9;  // deaf until 11 ms after a reset: the acknowledgement's 2 ms, then the restart
    BootLoader sim;
    sim_init(sim, config);
    const Bytes data{0xA0, 0xB1, 0xC0}, stored{0xA0, 0xB0, 0xC0, 0xFF, 0xFF};  // then erased
    const uint16_t crc = crc16_modbus(stored.data(), 5), last = crc16_modbus(Bytes(4, 0x11).data(), 4);
    Bytes damaged_data = block_frame(SIM_FLASH_BASE, data), damaged_trailer = damaged_data;
    damaged_data[9] ^= 0x01;
    damaged_trailer.back() ^= 0x01;  // the low trailer byte still right
    const Bytes refused_address = sealed({0x04, 0xAB, 0x02});
    const struct {
        Bytes request, reply;  // no reply: not taken
    } exchanges[] = {
        {damaged_trailer, {}},
        {damaged_data + CONTACT, {}},  // no silence between: one damaged frame
        {sealed({0x05, 0x2B, 0xF7}), {}},  // a reset for another node
        {block_frame(SIM_FLASH_BASE, Bytes(1025)), {}},  // longer than a block
        {CONTACT, ERASED},
        {block_frame(SIM_FLASH_BASE, data), sealed({0x04, 0x2B, 0xF5, 0x08, 0x00, 0x40, 0x00, 0x00, 0x03})},
        {query(SIM_FLASH_BASE, 5), sealed({0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x05,
                                           static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)})},
        // The flash's edges: 0x08004000 to 0x08004800, a whole block reaching the end.
        {block_frame(SIM_FLASH_BASE + 1024, Bytes(1024, 0x11)), sealed({0x04, 0x2B, 0xF5, 0x08, 0x00, 0x44, 0x00, 0x04, 0x00})},
        {query(SIM_FLASH_BASE + 2044, 4), sealed({0x04, 0x2B, 0xF6, 0x08, 0x00, 0x47, 0xFC, 0x00, 0x00, 0x00, 0x04,
                                                  static_cast<uint8_t>(last >> 8), static_cast<uint8_t>(last)})},
        {block_frame(SIM_FLASH_BASE + 1025, Bytes(1024)), refused_address},
        {query(SIM_FLASH_BASE - 4, 4), refused_address},
        {query(SIM_FLASH_BASE, 2049), refused_address},
        {RESET, REFUSED},  // nothing done
        {RESET + CONTACT, sealed({0x04, 0x2B, 0xF7})},
        {CONTACT, {}},  // restarting
    };
    uint32_t at_ms = 0;
    for (const auto &exchange : exchanges) {
        feed(sim, exchange.request, at_ms += 10);
        Bytes replied;
        for (const SimChunk &chunk : sim.tx)
            replied.insert(replied.end(), chunk.bytes.begin(), chunk.bytes.end());
        EXPECT_EQ(replied, exchange.reply) << ::testing::PrintToString(exchange.request);
        sim.tx.clear();
    }
    EXPECT_EQ(sim.frames_rejected, 4u);
    const uint32_t requests[SIM_KIND_COUNT] = {10, 3, 2, 3, 2};  // any, contact, verify, block, reset
    EXPECT_TRUE(std::equal(requests, requests + SIM_KIND_COUNT, sim.requests));
    EXPECT_EQ(std::make_pair(sim.resets, sim.blocks_written), std::make_pair(1u, 2u));
    EXPECT_EQ(sim.bytes_ignored, 13u);
    // Where the first request taken lies in all the device heard: after the 1082 bytes not taken.
    EXPECT_EQ(sim.heard.front().begin, 1082u);
    EXPECT_EQ(sim.heard.front().end, 1095u);
    EXPECT_FALSE(sim_flash_holds(sim, data.data(), data.size()));
    feed(sim, block_frame(SIM_FLASH_BASE, data), at_ms += config.restart_ms);
    EXPECT_EQ(sim.flash[1], 0xB1);  // only the first write went wrong
    EXPECT_FALSE(sim_flash_holds(sim, data.data(), data.size()));  // erased beyond, where zeros belong
    Bytes padded = data;
    padded.resize(1024, 0x00);
    feed(sim, block_frame(SIM_FLASH_BASE, padded), at_ms += 10);
    EXPECT_TRUE(sim_flash_holds(sim, data.data(), data.size()));
    Bytes whole = padded + Bytes(1024, 0x11);  // as large as the flash
    EXPECT_TRUE(sim_flash_holds(sim, whole.data(), whole.size()));
    whole[0] ^= 0x01;
    EXPECT_FALSE(sim_flash_holds(sim, whole.data(), whole.size()));
    whole[0] ^= 0x01;
    whole.push_back(0x00);  // larger than the flash
    EXPECT_FALSE(sim_flash_holds(sim, whole.data(), whole.size()));
}

// A block write, then two contact requests (at 0, 10 and 20 ms) on a paced device whose replies each take
// 2 ms of the wire; the rule's fault meets the first contact reply. When each piece leaves, and what it holds.
TEST(Simulator, DoesToAReplyWhatItsFaultSaysAndSendsInTurn)
{
    const Bytes &reply = ERASED;
    Bytes corrupt = reply, noisy = reply;
    corrupt.back() ^= 0x5A;
    noisy.insert(noisy.begin(), {0x00, 0x00, 0xFF});  // the middle byte is random
    const Bytes head(reply.begin(), reply.begin() + 7), tail(reply.begin() + 7, reply.end());
    const struct {
        SimFaultRule rule;
        std::vector<std::pair<uint32_t, Bytes>> pieces;  // after the block's acknowledgement at 2 ms
    } cases[] = {
        {{SIM_CONTACT, 3, FAULT_DROP}, {{12, reply}, {22, reply}}},  // no third contact
        {{SIM_BLOCK, 2, FAULT_DROP}, {{12, reply}, {22, reply}}},
        {{SIM_CONTACT, 1, FAULT_DROP}, {{22, reply}}},
        {{SIM_ANY, 2, FAULT_CORRUPT}, {{12, corrupt}, {22, reply}}},
        {{SIM_CONTACT, 1, FAULT_SPLIT}, {{12, head}, {53, tail}, {54, reply}}},  // 40 ms apart; the next waits
        {{SIM_CONTACT, 1, FAULT_LATE}, {{312, reply}, {314, reply}}},
        {{SIM_CONTACT, 1, FAULT_EXCEPTION}, {{12, REFUSED}, {22, reply}}},
        {{SIM_ANY, 2, FAULT_GARBAGE}, {{12, noisy}, {22, reply}}},
    };
    for (const auto &test : cases) {
        SimConfig config;
        config.pace = true;
        config.rules = {test.rule};
        BootLoader sim;
        sim_init(sim, config);
        feed(sim, block_frame(SIM_FLASH_BASE, Bytes{0xFF}), 0);
        feed(sim, CONTACT, 10);
        feed(sim, CONTACT, 20);
        std::vector<std::pair<uint32_t, Bytes>> pieces;
        for (size_t i = 1; i < sim.tx.size(); ++i)
            pieces.emplace_back(sim.tx[i].at_ms, sim.tx[i].bytes);
        if (test.rule.fault == FAULT_GARBAGE)
            pieces.at(0).second.at(1) = 0x00;
        EXPECT_EQ(pieces, test.pieces) << sim_fault_name(test.rule.fault);
        EXPECT_EQ(sim.tx.front().at_ms, 2u);
    }
    EXPECT_EQ(sim_wire_ms(1035), 99u);  // a block's 98.8 ms at 11 bits a byte, rounded up
    EXPECT_EQ(sim_wire_ms(576), 55u);   // exactly
    EXPECT_EQ(pump_wire_us(1035), 98828);  // the block's 98,828.125 us on the paced line, to the microsecond
    EXPECT_EQ(std::string(sim_fault_name(FAULT_COUNT)) + sim_kind_name(SIM_KIND_COUNT), "??");  // no such value
}

// Random faults meet replies at the chance asked for, spread over the kinds allowed, each seed its own.
TEST(Simulator, RandomFaultsComeAtTheirChanceOverTheKindsAllowed)
{
    std::vector<std::vector<uint32_t>> at_ten;  // the kinds met at 10%, for each seed
    const std::pair<uint32_t, uint32_t> runs[] = {{0, 7}, {1, 7}, {10, 7}, {10, 8}, {100, 7}};  // percent, seed
    for (auto [percent, seed] : runs) {
        SimConfig config;
        config.random_fault_percent = percent;
        config.random_fault_mask = ~(1u << FAULT_EXCEPTION);
        config.random_seed = seed;
        BootLoader sim;
        sim_init(sim, config);
        const uint32_t replies = 3000;
        for (uint32_t i = 0; i < replies; ++i)
            feed(sim, CONTACT, i * 10);
        const uint32_t faulted = replies - sim.replies_faulted[FAULT_NONE];
        EXPECT_NEAR(faulted, replies * percent / 100.0, replies * percent / 100.0 / 4 + 1) << percent << "%";
        uint32_t of_kinds = 0;
        for (int fault = FAULT_DROP; fault < FAULT_COUNT; of_kinds += sim.replies_faulted[fault++])
            EXPECT_NEAR(sim.replies_faulted[fault], fault == FAULT_EXCEPTION ? 0 : faulted / 5.0,  // a fifth each,
                        percent < 10 ? faulted : faulted / 10.0)  // but the one left out; too few below 10%
                << sim_fault_name(static_cast<SimFault>(fault)) << " at " << percent << "%";
        EXPECT_EQ(of_kinds, faulted);
        if (percent == 10)
            at_ten.emplace_back(sim.replies_faulted, sim.replies_faulted + FAULT_COUNT);
    }
    EXPECT_NE(at_ten[0], at_ten[1]);
}

// The in-process line, paced: the request takes its wire time to go out; byte k of the reply arrives k + 1
// byte times after the reply starts, in whole milliseconds; a read that has all it asked for ends at its last
// byte, one that has not, 20 ms after it; a purge discards what has arrived by then.
TEST(SimChannel, PacedRepliesArriveByteByByte)
{
    SimConfig config;
    config.pace = true;
    sim_channel_setup(config, 0);
    port_write(INVALID_PORT, CONTACT.data(), static_cast<int32_t>(CONTACT.size()));
    EXPECT_EQ(tick_count(), 2u);  // 13 bytes out; the reply starts at 4 ms
    uint8_t reply[16];
    const std::pair<int32_t, uint32_t> reads[] = {{10, 5}, {1, 6}, {16, 26}};  // bytes asked for, time after
    for (auto [count, after] : reads) {
        port_read(INVALID_PORT, reply, count);
        EXPECT_EQ(tick_count(), after) << count;
    }
    port_write(INVALID_PORT, CONTACT.data(), static_cast<int32_t>(CONTACT.size()));
    pause_ms(4);  // to the arrival of the reply's last byte
    port_purge(INVALID_PORT);
    EXPECT_EQ(port_read(INVALID_PORT, reply, 16), 0);
}

struct Line {
    BootLoader device;
    LinePump pump;
    Bytes out;

    explicit Line(bool pace = false, uint32_t linger_ms = 0, const SimConfig &config = {})
    {
        sim_init(device, config);
        pump_init(pump, pace, linger_ms);
    }

    // Runs the pump's events due by `last_us`. An event the pump does not
    // move past would spin the simulator's loop: it fails here instead.
    void run_events(int64_t last_us)
    {
        for (int64_t at; (at = pump_next_event_us(pump, device)) <= last_us;) {
            pump_advance(pump, device, at, out);
            ASSERT_GT(pump_next_event_us(pump, device), at) << "the pump stays at its event";
        }
    }

    // Bytes read at `at_us`, after the pump has done all it had to do before then.
    void read_at(const uint8_t *bytes, size_t count, int64_t at_us)
    {
        run_events(at_us - 1);
        pump_received(pump, device, bytes, count, at_us);
    }

    void run_until(int64_t at_us)
    {
        run_events(at_us);
        pump_advance(pump, device, at_us, out);
    }
};

// A damaged or cut-off request is dropped before the tool repeats it; the repeat, in an adapter's pieces with
// the last held back by its latency timer, is taken whole.
TEST(LinePump, FramesRequestsBySilence)
{
    Bytes damaged = CONTACT;
    damaged[5] ^= 0x10;
    Bytes cut_off = block_frame(SIM_FLASH_BASE, Bytes(64, 0x33));
    cut_off.resize(30);
    for (const Bytes &bad : {damaged, cut_off}) {
        Line line;
        line.read_at(bad.data(), bad.size(), 0);  // the rest of a cut-off one never comes
        EXPECT_EQ(pump_next_event_us(line.pump, line.device), PUMP_SILENCE_US + 1);
        line.run_until(PUMP_SILENCE_US);
        EXPECT_EQ(line.device.frames_rejected, bad.size() == damaged.size() ? 1u : 0u);  // cut off: not yet silent
        line.run_until(PUMP_SILENCE_US + 1);
        EXPECT_EQ(line.device.frames_rejected, 1u);
        EXPECT_TRUE(line.out.empty());  // no answer
        line.read_at(CONTACT.data(), 6, TOOL_REPEAT_GAP_US);
        line.read_at(CONTACT.data() + 6, 7, TOOL_REPEAT_GAP_US + 31 * MS);  // within ADAPTER_GAP_MAX_US
        line.run_until(TOOL_REPEAT_GAP_US + 33 * MS);  // answered 2 ms after its last byte, not later
        EXPECT_EQ(line.device.requests[SIM_CONTACT], 1u);
        EXPECT_EQ(line.out, ERASED);
    }
    Line late;  // read only with the next request: the silence before it still ends the cut-off one
    late.read_at(cut_off.data(), cut_off.size(), 0);
    pump_received(late.pump, late.device, CONTACT.data(), CONTACT.size(), TOOL_REPEAT_GAP_US);
    EXPECT_EQ(late.device.requests[SIM_CONTACT], 1u);
}

// Paced, a byte takes 11 bits at 115200 baud, 95.49 µs: the bytes of a read
// reach the device back to back, after those still on the wire; a reply keeps
// the wire busy as long; the linger after a reset starts when its
// acknowledgement has left. Times from the first byte, which comes at 7 s.
TEST(LinePump, PacedLineTakesElevenBitsACharacterBothWays)
{
    const int64_t t0 = 7000 * MS;
    SimConfig config;
    config.rules = {{SIM_RESET, 1, FAULT_CORRUPT}};
    Line line(true, 300, config);
    Bytes two = CONTACT;
    two.insert(two.end(), CONTACT.begin(), CONTACT.end());
    line.read_at(two.data(), two.size(), t0);
    EXPECT_EQ(line.pump.last_arrival_us, 2387);  // 25 byte times
    // Each answered 2 ms after the millisecond of its last byte (1.145 and 2.387 ms).
    EXPECT_EQ(pump_next_event_us(line.pump, line.device), t0 + 4 * MS);
    line.run_until(t0 + 4 * MS - 1);
    EXPECT_TRUE(line.out.empty());
    line.run_until(t0 + 4 * MS);
    EXPECT_EQ(line.out.size(), 15u);
    // The second is due at 5 ms, but the first is on the wire for 15 byte times.
    EXPECT_EQ(pump_next_event_us(line.pump, line.device), t0 + 4 * MS + 1432);
    line.run_until(t0 + 4 * MS + 1431);
    EXPECT_EQ(line.out.size(), 15u);
    line.run_until(t0 + 4 * MS + 1432);
    EXPECT_EQ(line.out.size(), 30u);

    const Bytes block = block_frame(SIM_FLASH_BASE, Bytes(116, 0x5A));  // 127 bytes, read in three runs
    const struct {
        int64_t at_us;
        size_t begin, end;  // of the block
        int64_t last_arrival_us;
    } reads[] = {
        {10 * MS, 0, 62, 10 * MS + 5824},     // after a quiet line: a run of its own, 61 byte times long
        {11 * MS, 62, 124, 10 * MS + 11744},  // while that run is on the wire: behind it
        {10 * MS + 11840, 124, 127, 10 * MS + 12031},  // just as the run ends: still behind it (126 byte times)
        {30 * MS, 0, 1, 30 * MS},             // after a gap again: at once (a lone byte, dropped)
    };
    for (const auto &read : reads) {
        const Bytes piece(block.begin() + read.begin, block.begin() + read.end);  // no more, for the sanitizers
        line.read_at(piece.data(), piece.size(), t0 + read.at_us);
        EXPECT_EQ(line.pump.last_arrival_us, read.last_arrival_us) << "read at " << read.at_us;
    }

    // The first reset's acknowledgement reaches the tool damaged: the device restarts, but the tool will ask again.
    line.read_at(RESET.data(), RESET.size(), t0 + 100 * MS);
    line.run_until(t0 + 400 * MS);
    EXPECT_EQ(line.out.size(), 46u);  // the block's acknowledgement, and the damaged one
    EXPECT_FALSE(line.pump.reset_acknowledged);
    line.read_at(RESET.data(), RESET.size(), t0 + 400 * MS);
    line.run_until(t0 + 403 * MS);
    ASSERT_EQ(line.out.size(), 51u);  // acknowledged at 403 ms, on the wire for 5 byte times
    line.run_until(t0 + 703 * MS + 476);
    EXPECT_FALSE(pump_done(line.pump, t0 + 703 * MS + 476));
    EXPECT_EQ(pump_next_event_us(line.pump, line.device), t0 + 703 * MS + 477);
    EXPECT_TRUE(pump_done(line.pump, t0 + 703 * MS + 477));
    EXPECT_EQ(std::make_pair(line.pump.bytes_received, line.pump.bytes_sent), std::make_pair(uint64_t{164}, uint64_t{51}));
}

}  // namespace
