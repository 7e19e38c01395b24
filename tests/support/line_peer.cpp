#include "tests/support/line_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "protocol/frame.h"

static void pause_ms(int milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

static void write_all(int fd, const std::vector<uint8_t> &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else
            pause_ms(1);
    }
}

void line_peer_serve(int fd, const std::atomic<bool> &stop)
{
    std::vector<uint8_t> pending;
    while (!stop) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 20) <= 0 || !(ready.revents & POLLIN)) {
            if (ready.revents & (POLLHUP | POLLERR))
                pause_ms(5);  // nobody on the device end just now
            continue;
        }
        uint8_t chunk[4096];
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n > 0)
            pending.insert(pending.end(), chunk, chunk + n);
        while (!pending.empty()) {
            char command = static_cast<char>(pending[0]);
            if (command == PEER_CRC) {
                if (pending.size() < 1 + PEER_CRC_LEN)
                    break;
                uint16_t crc = crc16_modbus(pending.data() + 1, PEER_CRC_LEN);
                write_all(fd, {static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)});
                pending.erase(pending.begin(), pending.begin() + 1 + PEER_CRC_LEN);
                continue;
            }
            pending.erase(pending.begin());
            if (command == PEER_BURST || command == PEER_SPLIT) {
                pause_ms(10);
                write_all(fd, peer_bytes(0x01, PEER_BURST_LEN));
            }
            if (command == PEER_SPLIT) {
                pause_ms(80);  // well over the 20 ms that ends a read, even for a reader that runs late
                write_all(fd, peer_bytes(0x10, PEER_BURST_LEN));
            }
            if (command == PEER_LONG)
                write_all(fd, peer_bytes(0, PEER_LONG_LEN));
        }
    }
}

int open_test_pty(char *device_path, unsigned path_size)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return -1;
    const char *name = ptsname(master);
    if (name == nullptr || std::strlen(name) >= path_size)
        return -1;
    std::strcpy(device_path, name);
    // Raw from the start: a fresh pseudo-terminal would echo what the peer writes.
    int device = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (device < 0)
        return -1;
    termios settings{};
    tcgetattr(device, &settings);
    cfmakeraw(&settings);
    tcsetattr(device, TCSANOW, &settings);
    close(device);
    return master;
}
