#include "tests/support/line_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "protocol/frame.h"

namespace {

void write_all(int fd, const std::vector<uint8_t> &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::vector<uint8_t> counting(uint8_t first, int length)
{
    std::vector<uint8_t> bytes;
    for (int i = 0; i < length; ++i)
        bytes.push_back(static_cast<uint8_t>(first + i));
    return bytes;
}

void pause(int milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace

void line_peer_serve(int fd, const std::atomic<bool> &stop)
{
    std::vector<uint8_t> pending;
    while (!stop) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 20) <= 0 || !(ready.revents & POLLIN)) {
            if (ready.revents & (POLLHUP | POLLERR))
                pause(5);  // nobody on the device end just now
            continue;
        }
        uint8_t chunk[4096];
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0)
            continue;
        pending.insert(pending.end(), chunk, chunk + n);

        while (!pending.empty()) {
            char command = static_cast<char>(pending[0]);
            if (command == PEER_COUNT) {
                if (pending.size() < 3)
                    break;
                size_t length = static_cast<size_t>(pending[1]) << 8 | pending[2];
                if (pending.size() < 3 + length)
                    break;
                uint16_t crc = crc16_modbus(pending.data() + 3, static_cast<int32_t>(length));
                write_all(fd, {pending[1], pending[2], static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)});
                pending.erase(pending.begin(), pending.begin() + static_cast<long>(3 + length));
                continue;
            }
            pending.erase(pending.begin());
            if (command == PEER_BURST) {
                pause(10);
                write_all(fd, counting(0x01, PEER_BURST_LEN));
            } else if (command == PEER_SPLIT) {
                pause(10);
                write_all(fd, counting(0x11, PEER_SPLIT_FIRST));
                pause(80);  // well over the 20 ms that ends a read, even for a reader that runs late
                write_all(fd, counting(0x18, PEER_SPLIT_SECOND));
            } else if (command == PEER_LONG) {
                std::vector<uint8_t> bytes(PEER_LONG_LEN);
                for (int i = 0; i < PEER_LONG_LEN; ++i)
                    bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
                write_all(fd, bytes);
            } else if (command == PEER_NOISE) {
                write_all(fd, std::vector<uint8_t>(PEER_NOISE_LEN, 0xEE));
            }
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
