// POSIX backend of the serial port: termios.
//
// A port on Windows is always a binary line; a POSIX tty is not until we make
// it one. Whatever state another program left the line in (echo, canonical
// input, newline translation, stripping of the eighth bit, a different speed),
// every flag that could change a byte on its way in or out is set on purpose
// below. Fields that do not touch the data keep what the port had.
#include "link/port.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#ifndef PELKRON_PORT
#error "PELKRON_PORT must name the serial device the programs use"
#endif

namespace {

constexpr unsigned char xon_char = 0x11;
constexpr unsigned char xoff_char = 0x13;
constexpr int read_timeout_ms = 1000;

int fd_of(const PortConnection& port) { return static_cast<int>(port.handle); }

[[noreturn]] void fail_open(int fd) {
    if (fd >= 0) close(fd);
    std::fputs("Open Error!\n", stderr);
    std::exit(1);
}

void configure_line(int fd, PortProfile profile) {
    termios tio{};
    tcgetattr(fd, &tio);

    // Input: every byte from the device reaches us unchanged.
    tio.c_iflag &= ~static_cast<tcflag_t>(
        ISTRIP     // would turn the acknowledgement 0x90 into 0x10
        | INLCR    // would turn 0x0A into 0x0D
        | IGNCR    // would drop 0x0D
        | ICRNL    // would turn 0x0D into 0x0A
        | PARMRK   // would insert 0xFF 0x00 before bytes with errors
        | IXOFF    // we never send XON/XOFF ourselves; the device may not expect them
        | IXANY);  // any stray byte from the device would release its XOFF
#ifdef IUCLC
    tio.c_iflag &= ~static_cast<tcflag_t>(IUCLC);  // would lower-case 0x41..0x5A
#endif
    // The device holds our output with XOFF and releases it with XON only in
    // the stream profile; in the block profile 0x11 and 0x13 are plain bytes.
    if (profile == stream_profile) {
        tio.c_iflag |= IXON;
    } else {
        tio.c_iflag &= ~static_cast<tcflag_t>(IXON);
    }

    // Output: no post-processing, or the nibble 0x0A would go out as 0x0D 0x0A.
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);

    // Local modes: no line editing, no echo of the device's bytes back to it,
    // no signals from 0x03 or 0x1A, no extended processing of 0x16 or 0x0F.
    tio.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN);

    // 8N1 without hardware handshake; CLOCAL so that a missing carrier
    // neither blocks us nor hangs the line up, CREAD so that we can receive.
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    cfsetispeed(&tio, B1200);
    cfsetospeed(&tio, B1200);

    tio.c_cc[VSTART] = xon_char;
    tio.c_cc[VSTOP] = xoff_char;
    // A read returns at the first byte or after one second. poll() does the
    // waiting (see port_read_byte); these make a plain read behave the same.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = read_timeout_ms / 100;

    // As on Windows, a setting the port refuses leaves the port as it is.
    tcsetattr(fd, TCSANOW, &tio);
}

long long now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

PortConnection port_open(PortProfile profile) {
    // O_NOCTTY: the port must not become our controlling terminal (a hang-up
    // would then kill us with SIGHUP). O_NONBLOCK: without it the open can
    // wait forever for carrier detect on a real adapter.
    int fd = open(PELKRON_PORT, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) fail_open(-1);

    // Exclusive use, as on Windows: flock keeps out other well-behaved serial
    // programs, TIOCEXCL keeps out any later open() by an unprivileged user.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) fail_open(fd);
    if (!isatty(fd)) fail_open(fd);
    ioctl(fd, TIOCEXCL);

    // From here on writes block while the device holds the line.
    int flags = fcntl(fd, F_GETFL);
    if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);

    configure_line(fd, profile);

    PortConnection port{};
    port.handle = fd;
    return port;
}

bool port_write_byte(PortConnection& port, unsigned char value) {
    port.transfer_buffer = value;
    for (;;) {
        ssize_t n = write(fd_of(port), &port.transfer_buffer, 1);
        if (n == 1) {
            port.transfer_count = 1;
            return true;
        }
        if (n < 0 && errno == EINTR) continue;
        port.transfer_count = 0;
        return false;
    }
}

PortReadResult port_read_byte(PortConnection& port) {
    const long long deadline = now_ms() + read_timeout_ms;
    pollfd pfd{fd_of(port), POLLIN, 0};
    for (;;) {
        long long left = deadline - now_ms();
        if (left < 0) left = 0;
        int ready = poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0) {
            if (errno == EINTR) continue;
            return port_read_failed;
        }
        if (ready == 0) {
            port.transfer_count = 0;  // quiet line: the buffer keeps its byte
            return port_read_done;
        }
        // A hung-up or closed line reports POLLHUP or POLLERR, and a hung-up
        // tty then returns 0 from read() at once, every time: that is not a
        // quiet second and must not be mistaken for one.
        if (!(pfd.revents & POLLIN)) return port_read_failed;
        unsigned char byte = 0;
        ssize_t n = read(fd_of(port), &byte, 1);
        if (n == 1) {
            port.transfer_buffer = byte;
            port.transfer_count = 1;
            return port_read_done;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        return port_read_failed;
    }
}

void port_purge_input(PortConnection& port) { tcflush(fd_of(port), TCIFLUSH); }

bool port_drain_output(PortConnection& port) {
    for (;;) {
        if (tcdrain(fd_of(port)) == 0) return true;
        if (errno != EINTR) return false;
    }
}
