// device-sim's line, clock and stop on Linux: termios, ppoll and signals.
#include <fcntl.h>
#include <linux/serial.h>  // serial_icounter_struct
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "sim/sim_line.h"

namespace {

volatile sig_atomic_t stop_requested = 0;
bool signals_caught = false;
sigset_t wait_mask;  // the mask while waiting: the stop signals let through

const int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

void on_stop_signal(int)
{
    stop_requested = 1;
}

int fd_of(intptr_t handle)
{
    return static_cast<int>(handle);
}

std::string failure(const char *what, const std::string &path)
{
    return std::string(what) + (path.empty() ? "" : " " + path) + ": " + std::strerror(errno);
}

// Raw 115200 8E1; `check_parity` drops each byte that arrives with a parity
// or framing error, so that a damaged request is short and its frame refused.
// A pseudo-terminal keeps no parity setting (it has no wire), and the C
// library then reports failure although the rest took; so success is judged
// by what the line now holds, parity apart.
bool make_raw_8e1(int fd, bool check_parity)
{
    termios settings{};
    if (tcgetattr(fd, &settings) != 0)
        return false;
    cfmakeraw(&settings);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARODD | CRTSCTS);
    settings.c_cflag |= CS8 | PARENB | CLOCAL | CREAD;
    settings.c_iflag &= ~static_cast<tcflag_t>(INPCK | IGNPAR | PARMRK | IXON | IXOFF | IXANY);
    if (check_parity)
        settings.c_iflag |= INPCK | IGNPAR;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    cfsetispeed(&settings, B115200);
    cfsetospeed(&settings, B115200);
    tcsetattr(fd, TCSANOW, &settings);
    termios now{};
    return tcgetattr(fd, &now) == 0 && (now.c_lflag & (ICANON | ECHO | ISIG)) == 0 &&
           (now.c_oflag & OPOST) == 0 && (now.c_cflag & (CSIZE | CREAD)) == (CS8 | CREAD) &&
           cfgetispeed(&now) == B115200 && cfgetospeed(&now) == B115200;
}

bool has_parity(int fd)
{
    termios now{};
    return tcgetattr(fd, &now) == 0 && (now.c_cflag & PARENB) != 0;
}

// The driver's error counters; false where it keeps none (a pseudo-terminal).
bool read_counters(int fd, uint64_t counted[3])
{
    serial_icounter_struct counts{};
    if (ioctl(fd, TIOCGICOUNT, &counts) != 0)
        return false;
    counted[0] = static_cast<uint32_t>(counts.parity);
    counted[1] = static_cast<uint32_t>(counts.frame);
    counted[2] = static_cast<uint32_t>(counts.overrun);
    return true;
}

// A symlink left behind by an earlier run that was killed is replaced; any
// other file at that path is not ours to remove.
bool publish_link(const std::string &target, const std::string &link, std::string &error)
{
    struct stat info{};
    if (lstat(link.c_str(), &info) == 0) {
        if (!S_ISLNK(info.st_mode)) {
            error = link + " exists and is not a symlink";
            return false;
        }
        if (unlink(link.c_str()) != 0) {
            error = failure("cannot remove the old link", link);
            return false;
        }
    }
    if (symlink(target.c_str(), link.c_str()) != 0) {
        error = failure("cannot create the link", link);
        return false;
    }
    return true;
}

timespec span_of(int64_t us)
{
    return timespec{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
}

}  // namespace

bool line_open_link(SimLine &line, const std::string &link, std::string &error)
{
    line = SimLine{};
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        error = failure("cannot create a pseudo-terminal", "");
        if (master >= 0)
            close(master);
        return false;
    }
    const char *name = ptsname(master);
    line.handle = master;
    line.device = name ? name : "";
    // Held open so the tool's closes never leave the master hung up, and made
    // raw before anyone can open it so nothing the tool sends is echoed.
    line.held = name ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK) : -1;
    if (line.held < 0 || !make_raw_8e1(fd_of(line.held), false)) {
        error = failure("cannot set up the pseudo-terminal", line.device);
        line_close(line);
        return false;
    }
    if (fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) != 0) {
        error = failure("cannot make non-blocking", line.device);
        line_close(line);
        return false;
    }
    if (!publish_link(line.device, link, error)) {
        line_close(line);
        return false;
    }
    line.link = link;
    return true;
}

bool line_open_port(SimLine &line, const std::string &path, std::string &error)
{
    line = SimLine{};
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = errno == EBUSY ? path + " is in use: another program holds it exclusively"
                               : failure("cannot open", path);
        return false;
    }
    line.handle = fd;
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        error = path + " is not a serial device (" + std::strerror(errno) + ")";
        close(fd);
        line = SimLine{};
        return false;
    }
    // As the tool does: the lock keeps out every opener that asks for it,
    // TIOCEXCL every other one but root; the lock first, so that a port held
    // elsewhere is left as its holder set it.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? path + " is in use: another program has it locked"
                                     : failure("cannot lock", path);
        close(fd);
        line = SimLine{};
        return false;
    }
    if (ioctl(fd, TIOCEXCL) != 0) {
        error = failure("cannot take exclusively", path);
        close(fd);
        line = SimLine{};
        return false;
    }
    line.device = path;
    if (!make_raw_8e1(fd, true)) {
        error = failure("cannot configure", path);
        line_close(line);
        return false;
    }
    if (!has_parity(fd))
        std::fprintf(stderr, "device-sim: note: %s keeps no even parity (a pseudo-terminal has none)\n",
                     path.c_str());
    tcflush(fd, TCIOFLUSH);  // nothing from before the run
    line.counts_errors = read_counters(fd, line.counted);
    return true;
}

void line_close(SimLine &line)
{
    if (!line.link.empty()) {
        char target[4096];
        ssize_t length = readlink(line.link.c_str(), target, sizeof target - 1);
        if (length >= 0 && line.device == std::string(target, static_cast<size_t>(length)))
            unlink(line.link.c_str());
    }
    if (line.held >= 0)
        close(fd_of(line.held));
    if (line.handle >= 0) {
        // Exclusive mode belongs to the terminal, not to this descriptor.
        if (line.link.empty())
            ioctl(fd_of(line.handle), TIOCNXCL);
        close(fd_of(line.handle));
    }
    line = SimLine{};
}

int64_t line_clock_us()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// Blocks SIGINT, SIGTERM and SIGHUP except while waiting on the line, so
// that any of them ends the loop cleanly.
void line_catch_stops()
{
    sigset_t stops;
    sigemptyset(&stops);
    for (int signal : STOP_SIGNALS)
        sigaddset(&stops, signal);
    sigprocmask(SIG_BLOCK, &stops, &wait_mask);
    struct sigaction action{};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    for (int signal : STOP_SIGNALS) {
        sigdelset(&wait_mask, signal);
        sigaction(signal, &action, nullptr);
    }
    signals_caught = true;
}

bool line_stop_requested()
{
    return stop_requested != 0;
}

long line_wait_read(SimLine &line, int64_t deadline_us, uint8_t *buffer, size_t size, std::string &error)
{
    int fd = fd_of(line.handle);
    timespec wait = span_of(std::max<int64_t>(0, deadline_us - line_clock_us()));
    pollfd ready{fd, POLLIN, 0};
    int polled = ppoll(&ready, 1, &wait, signals_caught ? &wait_mask : nullptr);
    if (polled < 0 && errno != EINTR) {
        error = std::string("waiting on the line: ") + std::strerror(errno);
        return -1;
    }
    if (polled <= 0)
        return 0;
    if (!(ready.revents & POLLIN)) {
        error = "the line hung up";  // only a real device that went away gets here
        return -1;
    }
    ssize_t n = read(fd, buffer, size);
    if (n > 0)
        return static_cast<long>(n);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    error = n == 0 ? "the line was closed" : std::string("reading the line: ") + std::strerror(errno);
    return -1;
}

size_t line_write(SimLine &line, const uint8_t *bytes, size_t count)
{
    size_t done = 0;
    while (done < count) {
        ssize_t n = write(fd_of(line.handle), bytes + done, count - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (!(n < 0 && errno == EINTR))
            break;
    }
    return done;
}

LineErrors line_errors(SimLine &line)
{
    LineErrors errors;
    uint64_t now[3] = {};
    if (!line.counts_errors || !read_counters(fd_of(line.handle), now))
        return errors;
    errors.available = true;
    // The driver's counters are 32 bits wide and may wrap while we run.
    errors.parity = static_cast<uint32_t>(now[0] - line.counted[0]);
    errors.framing = static_cast<uint32_t>(now[1] - line.counted[1]);
    errors.overrun = static_cast<uint32_t>(now[2] - line.counted[2]);
    return errors;
}
