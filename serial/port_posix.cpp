// The serial port on Linux: the same contract as the Windows driver gives
// the job, built from termios and poll.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "report/report.h"
#include "serial/port.h"

static uint64_t now_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

static int fd_of(PortHandle port)
{
    return static_cast<int>(port);
}

PortHandle open_port(const char *path)
{
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return INVALID_PORT;
    // The lock keeps out every other opener that asks for it, this tool
    // included; TIOCEXCL keeps out other users, but not root. The lock comes
    // first so that a port held elsewhere is left as its holder set it.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return INVALID_PORT;
    }
    if (ioctl(fd, TIOCEXCL) != 0) {
        close(fd);
        return INVALID_PORT;
    }
    return fd;
}

int32_t configure_port(PortHandle port, uint32_t baud, uint32_t interval_ms)
{
    (void)interval_ms;  // the read below times itself: READ_INTERVAL_MS between bytes
    termios settings{};
    if (tcgetattr(fd_of(port), &settings) != 0) {
        trace_error("Could not get Port State\n");
        return -1;
    }
    cfmakeraw(&settings);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARODD | CRTSCTS | HUPCL);
    settings.c_cflag |= CS8 | PARENB | CLOCAL | CREAD;  // even parity is generated on output
    settings.c_iflag &= ~static_cast<tcflag_t>(INPCK | IXON | IXOFF | IXANY);  // no parity check on input
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    speed_t speed = baud == 115200 ? B115200 : baud == 57600 ? B57600 : baud == 38400 ? B38400 : B9600;
    cfsetispeed(&settings, speed);
    cfsetospeed(&settings, speed);
    tcsetattr(fd_of(port), TCSANOW, &settings);
    // DTR and RTS held off; a pseudo-terminal has neither, so the result is not looked at.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd_of(port), TIOCMBIC, &lines);
    return 0;
}

void close_port(PortHandle port)
{
    if (port == INVALID_PORT)
        return;
    // Exclusive mode belongs to the terminal, not to this descriptor: it would
    // outlive the close while the far end holds the line open.
    ioctl(fd_of(port), TIOCNXCL);
    close(fd_of(port));
}

int32_t port_write(PortHandle port, const uint8_t *buffer, int32_t count)
{
    int32_t written = 0;
    while (written < count) {
        ssize_t n = write(fd_of(port), buffer + written, static_cast<size_t>(count - written));
        if (n > 0) {
            written += static_cast<int32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {  // synchronous like the Windows write: wait for room
            pollfd room{fd_of(port), POLLOUT, 0};
            poll(&room, 1, static_cast<int>(READ_TOTAL_MS));
            continue;
        }
        break;
    }
    return written;
}

// Returns when `count` bytes are in, READ_INTERVAL_MS after the last byte
// once bytes have begun, or READ_TOTAL_MS after it began.
int32_t port_read(PortHandle port, uint8_t *buffer, int32_t count)
{
    const uint64_t deadline = now_ms() + READ_TOTAL_MS;
    uint64_t last_byte = 0;
    int32_t received = 0;
    while (received < count) {
        uint64_t now = now_ms();
        uint64_t until = received == 0 ? deadline : std::min(deadline, last_byte + READ_INTERVAL_MS);
        if (now >= until)
            break;
        pollfd ready{fd_of(port), POLLIN, 0};
        int polled = poll(&ready, 1, static_cast<int>(until - now));
        if (polled < 0 && errno != EINTR)
            break;
        if (polled <= 0)
            continue;
        if (!(ready.revents & POLLIN)) {
            // Hung up or failed: to the job that is silence, for as long as a read lasts.
            uint64_t later = now_ms();
            if (later < until)
                poll(nullptr, 0, static_cast<int>(until - later));
            break;
        }
        ssize_t n = read(fd_of(port), buffer + received, static_cast<size_t>(count - received));
        if (n > 0) {
            received += static_cast<int32_t>(n);
            last_byte = now_ms();
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            break;
        }
    }
    return received;
}

void port_purge(PortHandle port)
{
    tcflush(fd_of(port), TCIOFLUSH);
}

void port_flush(PortHandle port)
{
    tcdrain(fd_of(port));
}
