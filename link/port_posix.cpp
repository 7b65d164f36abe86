// POSIX backend of the serial port: termios.
//
// A port on Windows is always a binary line; a POSIX tty is not until we make
// it one. Whatever state another program left the line in (echo, canonical
// input, newline translation, stripping of the eighth bit, BREAK handling, a
// different speed), every flag that could change, drop or add a byte on its
// way in or out is set on purpose below, and read back afterwards: a port
// that does not take a setting is refused rather than used at the wrong
// speed. Fields that do not touch the data keep what the port had.
//
// Waiting is done with select(), which works on ttys everywhere (macOS's
// poll() does not support devices).
#include "link/backend.h"
#include "link/clock.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr unsigned char xon_char = 0x11;
constexpr unsigned char xoff_char = 0x13;
constexpr int read_timeout_ms = 1000;

// The open port, for a fatal signal's handler.
volatile std::sig_atomic_t open_port_fd = -1;

int fd_of(const PortConnection& port) { return static_cast<int>(port.handle); }

// Who may open the port: its group (dialout on Debian), for the hint after
// "Permission denied".
std::string access_hint(const char* name) {
    struct stat info {};
    std::string group_name = "dialout";
    if (stat(name, &info) == 0) {
        if (const struct group* owner = getgrgid(info.st_gid)) group_name = owner->gr_name;
    }
    return std::string(std::strerror(EACCES)) + " (is this user in the " + group_name + " group?)";
}

bool fail_open(PortConnection& port, const char* name, int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENXIO:   // a ttyS node with no UART behind it
    case ENODEV:
        return fail(port, port_not_found, std::strerror(error));
    case EACCES:
    case EPERM:
        return fail(port, port_no_access, access_hint(name));
    case EBUSY:  // another program has it open exclusively
        return fail(port, port_in_use, std::strerror(error));
    default:
        return fail(port, port_other, std::strerror(error));
    }
}

// Select on one descriptor for at most timeout_ms (negative: no limit),
// going on after signals. Returns >0 ready, 0 time out, <0 failure.
int wait_for(int fd, bool for_writing, int timeout_ms) {
    const long long deadline = monotonic_ms() + timeout_ms;
    for (;;) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fd, &set);
        timeval limit{};
        timeval* limit_pointer = nullptr;
        if (timeout_ms >= 0) {
            long long left = deadline - monotonic_ms();
            if (left < 0) left = 0;
            limit.tv_sec = static_cast<time_t>(left / 1000);
            limit.tv_usec = static_cast<suseconds_t>((left % 1000) * 1000);
            limit_pointer = &limit;
        }
        const int ready = select(fd + 1, for_writing ? nullptr : &set, for_writing ? &set : nullptr, nullptr,
                                 limit_pointer);
        if (ready >= 0 || errno != EINTR) return ready;
    }
}

// One flag word's wanted state: these bits on, those off.
struct FlagRule {
    tcflag_t termios::*word;
    tcflag_t on;
    tcflag_t off;
    const char* setting;  // as the refusal names it
};

void apply(termios& tio, const FlagRule& rule) {
    tio.*rule.word = static_cast<tcflag_t>((tio.*rule.word & ~rule.off) | rule.on);
}

bool holds(const termios& tio, const FlagRule& rule) {
    return (tio.*rule.word & (rule.on | rule.off)) == rule.on;
}

std::vector<FlagRule> line_rules(PortProfile profile) {
    // Input: every byte from the device reaches us unchanged, and a BREAK
    // (which many devices send when they reset) is ignored rather than
    // taken as a reason to flush the queues we have not sent yet.
    tcflag_t input_off = ISTRIP     // would turn the acknowledgement 0x90 into 0x10
                         | INLCR    // would turn 0x0A into 0x0D
                         | IGNCR    // would drop 0x0D
                         | ICRNL    // would turn 0x0D into 0x0A
                         | PARMRK   // would insert 0xFF 0x00 before bytes with errors
                         | INPCK    // would check parity that the line does not carry
                         | BRKINT   // a BREAK would flush our queued output
                         | IXOFF    // we never send XON/XOFF ourselves; the device may not expect them
                         | IXANY;   // any stray byte from the device would release its XOFF
#ifdef IUCLC
    input_off |= IUCLC;  // would lower-case 0x41..0x5A
#endif
    // The device holds our output with XOFF and releases it with XON only in
    // the stream profile; in the block profile 0x11 and 0x13 are plain bytes.
    const bool stream = profile == stream_profile;
    return {
        {&termios::c_iflag, IGNBRK, input_off, "raw input (no BREAK, parity or newline processing)"},
        {&termios::c_iflag, stream ? tcflag_t{IXON} : tcflag_t{0}, stream ? tcflag_t{0} : tcflag_t{IXON},
         stream ? "XON/XOFF flow control on" : "XON/XOFF flow control off"},
        // Output: no post-processing, or the nibble 0x0A would go out as 0x0D 0x0A.
        {&termios::c_oflag, 0, OPOST, "raw output"},
        // No line editing, no echo of the device's bytes back to it, no
        // signals from 0x03 or 0x1A, no extended processing of 0x16 or 0x0F.
        {&termios::c_lflag, 0, ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN, "raw mode (no echo or line editing)"},
        {&termios::c_cflag, CS8, CSIZE, "8 data bits"},
        {&termios::c_cflag, 0, PARENB, "no parity"},
        {&termios::c_cflag, 0, CSTOPB, "one stop bit"},
        {&termios::c_cflag, 0, CRTSCTS, "hardware flow control off"},
        // CLOCAL so that a missing carrier neither blocks us nor hangs the
        // line up, CREAD so that we can receive.
        {&termios::c_cflag, CLOCAL | CREAD, 0, "receiver on without carrier detect"},
    };
}

bool configure_line(PortConnection& port, PortProfile profile) {
    const int fd = fd_of(port);
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return fail(port, port_not_serial, std::strerror(errno));

    const std::vector<FlagRule> rules = line_rules(profile);
    for (const FlagRule& rule : rules) apply(tio, rule);
    cfsetispeed(&tio, B1200);
    cfsetospeed(&tio, B1200);
    tio.c_cc[VSTART] = xon_char;
    tio.c_cc[VSTOP] = xoff_char;
    // A read returns at the first byte or after one second. select() does
    // the waiting (see port_read_byte); these make a plain read behave the same.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = read_timeout_ms / 100;

    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        return fail(port, port_other, std::string("the port refused its settings (") + std::strerror(errno) + ")");
    }
    // tcsetattr succeeds when the port took any of the settings at all: look.
    termios taken{};
    if (tcgetattr(fd, &taken) != 0) return fail(port, port_not_serial, std::strerror(errno));
    if (cfgetospeed(&taken) != B1200 || cfgetispeed(&taken) != B1200) return fail(port, port_setting_refused, "1200 baud");
    for (const FlagRule& rule : rules) {
        if (!holds(taken, rule)) return fail(port, port_setting_refused, rule.setting);
    }
    if (taken.c_cc[VSTART] != xon_char || taken.c_cc[VSTOP] != xoff_char) {
        return fail(port, port_setting_refused, "XON 0x11 and XOFF 0x13");
    }
    if (taken.c_cc[VMIN] != 0 || taken.c_cc[VTIME] != read_timeout_ms / 100) {
        return fail(port, port_setting_refused, "the read time-out");
    }
    return true;
}

void release(int fd) {
    // While anyone else keeps the line open (the device, a logger), the
    // exclusive flag would outlive us and keep every other user out.
    ioctl(fd, TIOCNXCL);
    close(fd);
}

// After a failure or a time-out nothing queued may trickle out later: the
// device must not get the rest of a file we have given up on.
void discard_output(const PortConnection& port) { tcflush(fd_of(port), TCOFLUSH); }

// What the driver still holds to send; -1 when it cannot tell. A
// pseudo-terminal always says 0.
long output_queued(int fd) {
#ifdef TIOCOUTQ
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) == 0) return queued;
#else
    (void)fd;
#endif
    return -1;
}

// A write or drain that gives up throws away what is queued.
PortWriteResult give_up(PortConnection& port, PortProblem problem, std::string detail) {
    discard_output(port);
    return fail_wait(port, problem, std::move(detail));
}

}  // namespace

bool local_port_open(PortConnection& port, const char* name, PortProfile profile) {
    port.handle = -1;

    // O_NOCTTY: the port must not become our controlling terminal (a hang-up
    // would then kill us with SIGHUP). O_NONBLOCK: without it the open can
    // wait forever for carrier detect on a real adapter.
    const int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return fail_open(port, name, errno);
    if (fd >= FD_SETSIZE) {
        close(fd);
        return fail(port, port_other, "too many open files to wait on the port");
    }

    // Exclusive use, as on Windows: flock keeps out other well-behaved serial
    // programs, TIOCEXCL keeps out any later open() by an unprivileged user.
    // Only a lock held by someone else means the port is in use; a file
    // system or device that cannot lock at all is used without the lock.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        close(fd);
        return fail(port, port_in_use, "in use by another program");
    }
    if (!isatty(fd)) {
        close(fd);
        return fail(port, port_not_serial, "not a serial port");
    }
    ioctl(fd, TIOCEXCL);
    port.handle = fd;
    open_port_fd = fd;

    // Without a time limit or reports of a wait, writes simply block while
    // the device holds the line. With either, writes stay non-blocking and
    // we wait with select() only when the driver's buffer is full: one write
    // per byte otherwise.
    if (port.write_timeout_ms == 0 && port.wait_report_ms == 0) {
        const int flags = fcntl(fd, F_GETFL);
        if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }

    if (!configure_line(port, profile)) {
        open_port_fd = -1;
        release(fd);
        port.handle = -1;
        return false;
    }
    return true;
}

PortWriteResult local_port_write_byte(PortConnection& port, unsigned char value) {
    port.transfer_buffer = value;
    const int fd = fd_of(port);
    long long waiting_since = -1;
    for (;;) {
        const ssize_t n = write(fd, &port.transfer_buffer, 1);
        if (n == 1) {
            port.transfer_count = 1;
            end_wait(port);
            return port_write_done;
        }
        if (n < 0 && errno == EINTR) continue;
        port.transfer_count = 0;
        if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            return give_up(port, port_gone, std::strerror(n < 0 ? errno : EIO));
        }
        // Non-blocking (a time limit, or a caller that shows the wait): the
        // driver's buffer is full.
        const long long now = monotonic_ms();
        if (waiting_since < 0) waiting_since = now;
        look_at_queue(port, output_queued(fd), now);
        if (held_too_long(port)) return give_up(port, port_timed_out, "");
        if (time_to_report(port, now - waiting_since)) return port_write_waiting;
        const int ready = wait_for(fd, true, next_look_ms(port));
        if (ready < 0) return give_up(port, port_gone, std::strerror(errno));
    }
}

long local_port_output_queued(PortConnection& port) { return output_queued(fd_of(port)); }

PortReadResult local_port_read_byte(PortConnection& port) {
    const long long deadline = monotonic_ms() + read_timeout_ms;
    for (;;) {
        long long left = deadline - monotonic_ms();
        if (left < 0) left = 0;
        const int ready = wait_for(fd_of(port), false, static_cast<int>(left));
        if (ready < 0) {
            fail(port, port_gone, std::strerror(errno));
            return port_read_failed;
        }
        if (ready == 0) {
            port.transfer_count = 0;  // quiet line: the buffer keeps its byte
            return port_read_done;
        }
        // A hung-up or closed line is readable and then returns 0 from
        // read() at once, every time, or fails with EIO: that is not a quiet
        // second and must not be mistaken for one.
        unsigned char byte = 0;
        const ssize_t n = read(fd_of(port), &byte, 1);
        if (n == 1) {
            port.transfer_buffer = byte;
            port.transfer_count = 1;
            return port_read_done;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        fail(port, port_gone, n == 0 ? "the line was hung up" : std::strerror(errno));
        return port_read_failed;
    }
}

void local_port_purge_input(PortConnection& port) { tcflush(fd_of(port), TCIFLUSH); }

PortWriteResult local_port_drain_output(PortConnection& port) {
    const int fd = fd_of(port);
    // tcdrain() cannot be given a time limit and does not come back before
    // the end: watch the queue shrink instead, as long as it can be seen.
    if (port.write_timeout_ms > 0 || port.wait_report_ms > 0) {
        const long long waiting_since = monotonic_ms();
        for (;;) {
            const long queued = output_queued(fd);
            if (queued <= 0) break;  // empty, or it cannot tell: tcdrain() below
            const long long now = monotonic_ms();
            look_at_queue(port, queued, now);
            if (held_too_long(port)) return give_up(port, port_timed_out, "");
            if (time_to_report(port, now - waiting_since)) return port_write_waiting;
            usleep(20000);
        }
    }
    end_wait(port);
    for (;;) {
        if (tcdrain(fd) == 0) return port_write_done;
        if (errno != EINTR) return fail_wait(port, port_drain_failed, std::strerror(errno));
    }
}

void local_port_close(PortConnection& port) {
    if (fd_of(port) < 0) return;
    open_port_fd = -1;
    release(fd_of(port));
    port.handle = -1;
}

long long monotonic_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string settings_reset_command(const std::string&) { return ""; }

void port_release_on_signal() {
    const int fd = open_port_fd;
    if (fd >= 0) ioctl(fd, TIOCNXCL);
}
