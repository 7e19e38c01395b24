// The far end of the serial line in the port tests: it answers one-byte
// commands with known byte patterns, so a test on the near end can see how
// its reads cut the stream.
#pragma once

#include <atomic>

// Commands, each one byte:
constexpr char PEER_BURST = 'B';  // 15 bytes 0x01..0x0F in one write, 10 ms later
constexpr char PEER_SPLIT = 'S';  // 7 bytes 0x11..0x17, an 80 ms pause, 8 bytes 0x18..0x1F
constexpr char PEER_LONG = 'L';   // 2000 bytes, byte i being i & 0xFF
constexpr char PEER_COUNT = 'C';  // then a 16-bit big-endian length N and N bytes; answers
                                  // N (big-endian) and the CRC-16/MODBUS of the bytes, low first
constexpr char PEER_NOISE = 'N';  // 10 bytes 0xEE at once

constexpr int PEER_BURST_LEN = 15;
constexpr int PEER_SPLIT_FIRST = 7;
constexpr int PEER_SPLIT_SECOND = 8;
constexpr int PEER_LONG_LEN = 2000;
constexpr int PEER_NOISE_LEN = 10;

// Serves commands on `fd` (the master of a pseudo-terminal) until `stop` is set.
void line_peer_serve(int fd, const std::atomic<bool> &stop);

// Opens a pseudo-terminal pair with its device end in raw mode; returns the
// master, or -1. `device_path` receives the device end's path.
int open_test_pty(char *device_path, unsigned path_size);
