#include "sim/pty_line.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::string failure(const char *what, const std::string &path)
{
    return std::string(what) + (path.empty() ? "" : " " + path) + ": " + std::strerror(errno);
}

// Raw 115200 8E1. A pseudo-terminal keeps no parity setting (it has no
// wire), and the C library then reports failure although the rest took; so
// success is judged by what the line now holds, parity apart.
bool make_raw_8e1(int fd)
{
    termios settings{};
    if (tcgetattr(fd, &settings) != 0)
        return false;
    cfmakeraw(&settings);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARODD | CRTSCTS);
    settings.c_cflag |= CS8 | PARENB | CLOCAL | CREAD;
    settings.c_iflag &= ~static_cast<tcflag_t>(INPCK | IXON | IXOFF | IXANY);
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

}  // namespace

bool open_pty_line(SerialLine &line, const std::string &link, std::string &error)
{
    line = SerialLine{};
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        error = failure("cannot create a pseudo-terminal", "");
        if (master >= 0)
            close(master);
        return false;
    }
    const char *name = ptsname(master);
    line.fd = master;
    line.device = name ? name : "";
    // Held open so the tool's closes never leave the master hung up, and made
    // raw before anyone can open it so nothing the tool sends is echoed.
    line.held_fd = name ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK) : -1;
    if (line.held_fd < 0 || !make_raw_8e1(line.held_fd)) {
        error = failure("cannot set up the pseudo-terminal", line.device);
        close_line(line);
        return false;
    }
    if (fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) != 0) {
        error = failure("cannot make non-blocking", line.device);
        close_line(line);
        return false;
    }
    if (!publish_link(line.device, link, error)) {
        close_line(line);
        return false;
    }
    line.link = link;
    return true;
}

bool open_serial_line(SerialLine &line, const std::string &path, std::string &error)
{
    line = SerialLine{};
    line.fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line.fd < 0) {
        error = failure("cannot open", path);
        return false;
    }
    line.device = path;
    if (!make_raw_8e1(line.fd)) {
        error = failure("cannot configure", path);
        close_line(line);
        return false;
    }
    if (!has_parity(line.fd))
        std::fprintf(stderr, "device-sim: note: %s keeps no even parity (a pseudo-terminal has none)\n",
                     path.c_str());
    tcflush(line.fd, TCIOFLUSH);  // nothing from before the run
    return true;
}

void close_line(SerialLine &line)
{
    if (!line.link.empty()) {
        char target[4096];
        ssize_t length = readlink(line.link.c_str(), target, sizeof target - 1);
        if (length >= 0 && line.device == std::string(target, static_cast<size_t>(length)))
            unlink(line.link.c_str());
    }
    if (line.held_fd >= 0)
        close(line.held_fd);
    if (line.fd >= 0)
        close(line.fd);
    line = SerialLine{};
}
