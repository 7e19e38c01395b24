#include "tests/support/line_peer.h"

#include <chrono>
#include <string>
#include <thread>

#include "protocol/frame.h"
#include "sim/sim_line.h"

static void pause_ms(int milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

static void write_all(SimLine &line, const std::vector<uint8_t> &bytes)
{
    size_t done = line_write(line, bytes.data(), bytes.size());
    while (done < bytes.size()) {
        pause_ms(1);  // the device end has no room just now
        done += line_write(line, bytes.data() + done, bytes.size() - done);
    }
}

void line_peer_serve(SimLine &line)
{
    std::vector<uint8_t> pending;
    std::string error;
    for (;;) {
        uint8_t chunk[4096];
        long n = line_wait_read(line, line_clock_us() + 1000000, chunk, sizeof chunk, error);
        if (n < 0)
            pause_ms(5);  // nobody on the device end just now
        if (n > 0)
            pending.insert(pending.end(), chunk, chunk + n);
        while (!pending.empty()) {
            char command = static_cast<char>(pending[0]);
            if (command == PEER_CRC) {
                if (pending.size() < 1 + PEER_CRC_LEN)
                    break;
                uint16_t crc = crc16_modbus(pending.data() + 1, PEER_CRC_LEN);
                write_all(line, {static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)});
                pending.erase(pending.begin(), pending.begin() + 1 + PEER_CRC_LEN);
                continue;
            }
            pending.erase(pending.begin());
            if (command == PEER_BURST || command == PEER_SPLIT) {
                pause_ms(10);
                write_all(line, peer_bytes(0x01, PEER_BURST_LEN));
            }
            if (command == PEER_SPLIT) {
                pause_ms(80);  // well over the 20 ms that ends a read, even for a reader that runs late
                write_all(line, peer_bytes(0x10, PEER_BURST_LEN));
            }
            if (command == PEER_LONG)
                write_all(line, peer_bytes(0, PEER_LONG_LEN));
        }
    }
}
