// The far end of the serial line in the port tests: it answers one-byte
// commands with known byte patterns, so a test on the near end can see how
// its reads cut the stream.
#pragma once

#include <cstdint>
#include <vector>

struct SimLine;

constexpr char PEER_BURST = 'B';  // 10 ms later, peer_bytes(0x01, PEER_BURST_LEN) in one write
constexpr char PEER_SPLIT = 'S';  // the burst, an 80 ms pause, then peer_bytes(0x10, PEER_BURST_LEN)
constexpr char PEER_LONG = 'L';   // peer_bytes(0, PEER_LONG_LEN) at once
constexpr char PEER_CRC = 'C';    // then PEER_CRC_LEN bytes; answers their CRC-16/MODBUS, low byte first

constexpr int PEER_BURST_LEN = 15;
constexpr int PEER_LONG_LEN = 2000;
constexpr int PEER_CRC_LEN = 1035;  // a whole block frame

// `length` bytes counting up from `first`, wrapping at 0xFF.
inline std::vector<uint8_t> peer_bytes(uint8_t first, int length)
{
    std::vector<uint8_t> bytes;
    for (int i = 0; i < length; ++i)
        bytes.push_back(static_cast<uint8_t>(first + i));
    return bytes;
}

// Serves commands on `line`, made by line_open_link, for as long as the process lives.
void line_peer_serve(SimLine &line);
