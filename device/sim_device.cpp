#include "device/sim_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace simdev {

Step send(std::vector<std::uint8_t> bytes) { return Step{Step::send, std::move(bytes), 0, 0}; }
Step pause(int ms) { return Step{Step::pause, {}, ms, 0}; }
Step watch(int settle_ms, int ms) { return Step{Step::watch, {}, ms, settle_ms}; }
Step close_line() { return Step{Step::close_line, {}, 0, 0}; }
Step hang_up() { return Step{Step::hang_up, {}, 0, 0}; }
Step stop_reading() { return Step{Step::stop_reading, {}, 0, 0}; }

std::vector<std::string> Session::all_faults() const {
    std::vector<std::string> faults = decoder.faults();
    faults.insert(faults.end(), block_faults.begin(), block_faults.end());
    return faults;
}

Clock::duration Session::longest_hold(Clock::time_point now) const {
    Clock::duration longest{};
    for (const Hold& hold : holds) {
        const Clock::time_point until = hold.until == Clock::time_point{} ? now : hold.until;
        longest = std::max(longest, until - hold.from);
    }
    return longest;
}

namespace {

// Bytes read from the line and not yet taken, at the most.
constexpr std::size_t most_waiting = 64 * 1024;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

int elapsed_ms(Clock::time_point since) {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

}  // namespace

SimDevice::SimDevice(std::string path, LineKind kind) : link_path_(std::move(path)), kind_(kind) {
    if (kind_ == serial_port) {
        open_serial_port();
        return;
    }
    // O_CLOEXEC is not a flag posix_openpt takes everywhere (macOS refuses it).
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) fail("posix_openpt");
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) fail("unlockpt");
    const char* name = ptsname(master_);
    if (!name) fail("ptsname");
    slave_path_ = name;
    slave_ = open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) fail("open " + slave_path_);
    // Raw from the start, as a serial port is: a program that restores the
    // state it found (ser2net does) must not leave echo or line editing on,
    // which would send the device's own answers back to it as wire bytes.
    termios raw{};
    if (tcgetattr(slave_, &raw) != 0) fail("tcgetattr " + slave_path_);
    cfmakeraw(&raw);
    if (tcsetattr(slave_, TCSANOW, &raw) != 0) fail("tcsetattr " + slave_path_);
    // Reading our own end must never block the worker.
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);

    struct stat existing {};
    if (lstat(link_path_.c_str(), &existing) == 0) {
        if (!S_ISLNK(existing.st_mode)) {
            errno = EEXIST;
            fail("refusing to replace " + link_path_ + ", which is not a link");
        }
        unlink(link_path_.c_str());
    }
    if (symlink(slave_path_.c_str(), link_path_.c_str()) != 0) fail("cannot link " + link_path_);
}

// A real port, for testing a cable: our end is the port itself, raw at
// 1200 8N1 with no flow control of its own (the device sends XON/XOFF as
// data), and nobody else may use it meanwhile.
void SimDevice::open_serial_port() {
    master_ = open(link_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0) fail("cannot open " + link_path_);
    if (flock(master_, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) errno = EBUSY;
        fail("cannot use " + link_path_);
    }
    if (!isatty(master_)) fail("not a serial port: " + link_path_);
    ioctl(master_, TIOCEXCL);
    termios settings{};
    if (tcgetattr(master_, &settings) != 0) fail("tcgetattr " + link_path_);
    cfmakeraw(&settings);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
#ifdef CRTSCTS
    settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);  // not POSIX, but where it exists it must be off
#endif
    settings.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&settings, B1200);
    cfsetospeed(&settings, B1200);
    if (tcsetattr(master_, TCSANOW, &settings) != 0) fail("tcsetattr " + link_path_);
    slave_path_ = link_path_;
}

SimDevice::~SimDevice() {
    if (worker_.joinable()) stop();
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
    if (kind_ == pseudo_terminal) unlink(link_path_.c_str());
}

Progress SimDevice::progress() const {
    std::lock_guard<std::mutex> lock(progress_mutex_);
    return progress_;
}

void SimDevice::publish_progress() {
    Progress now;
    now.wire_bytes = session_.wire.size();
    now.blocks = session_.block_sizes.size();
    now.terminated = session_.decoder.terminated();
    now.line_gone = session_.line_gone;
    now.first_taken_at = session_.first_taken_at;
    now.last_taken_at = session_.last_taken_at;
    now.waiting = waiting();
    now.last_arrival_at = session_.last_byte_at;
    now.holds = session_.holds.size();
    for (const Hold& hold : session_.holds) {
        if (hold.until == Clock::time_point{}) {
            now.holding_since = hold.from;
        } else {
            now.longest_ended_hold = std::max(now.longest_ended_hold, hold.until - hold.from);
        }
    }
    std::lock_guard<std::mutex> lock(progress_mutex_);
    progress_ = now;
}

termios SimDevice::line() const {
    termios settings{};
    tcgetattr(slave_ >= 0 ? slave_ : master_, &settings);
    return settings;
}

void SimDevice::set_line(const termios& settings) { tcsetattr(slave_ >= 0 ? slave_ : master_, TCSANOW, &settings); }

termios SimDevice::odd_line(termios base) {
    base.c_iflag |= ISTRIP | ICRNL | IXON | IXOFF | IXANY;
    base.c_oflag |= OPOST | ONLCR;
    base.c_lflag |= ECHO | ECHOE | ICANON | ISIG | IEXTEN;
    base.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CLOCAL);
    base.c_cflag |= CS7 | PARENB | CSTOPB;
    cfsetispeed(&base, B9600);
    cfsetospeed(&base, B9600);
    return base;
}

void SimDevice::start(Script script) {
    script_ = std::move(script);
    session_ = Session{};
    data_in_block_ = 0;
    awaiting_acknowledgement_ = false;
    turnaround_open_ = false;
    busy_hold_begun_ = false;
    if (keep_line_) {
        // What the last session left on the line is the start of this one.
        if (waiting() > 0) session_.first_byte_at = session_.last_byte_at = Clock::now();
    } else {
        reading_ = true;
        holding_host_ = false;
        written_since_release_ = 2;
        inbox_.clear();
        inbox_head_ = 0;
    }
    keep_line_ = false;
    stop_requested_ = false;
    abandon_requested_ = false;
    publish_progress();
    worker_ = std::thread([this] { run(); });
}

Session SimDevice::stop() {
    stop_requested_ = true;
    if (worker_.joinable()) worker_.join();
    publish_progress();
    return std::move(session_);
}

Session SimDevice::abandon() {
    abandon_requested_ = true;
    if (worker_.joinable()) worker_.join();
    // What already sits in the kernel's buffer has arrived: an unpaced device
    // takes it, a paced one only as much as the line would have delivered.
    while (read_available(0, true) > 0) {
    }
    consume(std::min(consumable_now(), next_step_distance()));
    session_.untaken = waiting();
    publish_progress();
    return std::move(session_);
}

Session SimDevice::end_session() {
    abandon_requested_ = true;
    if (worker_.joinable()) worker_.join();
    // What the device sent and no sender has read (a release after the
    // sender had gone, stray bytes) answered the upload that has ended: the
    // next uploader must not take it for an answer to its own.
    if (slave_ >= 0) tcflush(slave_, TCIFLUSH);
    keep_line_ = true;
    publish_progress();
    return std::move(session_);
}

// How many bytes the device may take before the script next acts, so that
// every step sees exactly the bytes that came before it.
std::size_t SimDevice::next_step_distance() const {
    std::size_t limit = SIZE_MAX;
    const std::size_t received = session_.wire.size();
    const bool terminated = session_.decoder.terminated();
    auto next = script_.at_wire_byte.upper_bound(received);
    if (next != script_.at_wire_byte.end()) limit = next->first - received;
    if (script_.acknowledge_blocks && !terminated) limit = std::min(limit, block_wire_bytes - data_in_block_);
    if (!script_.stray_bytes.empty() && script_.stray_every > 0 && !terminated) {
        limit = std::min(limit, script_.stray_every - received % script_.stray_every);
    }
    if (!busy_hold_begun_ && script_.hold_after_wire_bytes > received) {
        limit = std::min(limit, script_.hold_after_wire_bytes - received);
    }
    return limit;
}

// Reads what has reached the line, waiting up to timeout_ms for it. The
// device reads promptly, so that what the sender writes after an XOFF has
// reached it before that hold ends; but no more than a bound, beyond which
// a sender that ignores XOFF fills the pseudo-terminal and waits there.
std::size_t SimDevice::read_available(int timeout_ms, bool beyond_the_bound) {
    std::uint8_t buffer[4096];
    std::size_t room = sizeof buffer;
    if (!beyond_the_bound) room = std::min(room, most_waiting > waiting() ? most_waiting - waiting() : 0);
    if (master_ < 0 || !reading_ || room == 0) {
        if (timeout_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
        return 0;
    }
    pollfd pfd{master_, POLLIN, 0};
    if (poll(&pfd, 1, timeout_ms) <= 0) return 0;
    const ssize_t n = read(master_, buffer, room);
    if (n > 0) {
        const Clock::time_point now = Clock::now();
        if (session_.wire.empty() && waiting() == 0) session_.first_byte_at = now;
        session_.last_byte_at = now;
        if (turnaround_open_) {
            session_.turnarounds.back().second = now;
            turnaround_open_ = false;
        }
        if (written_since_release_ < 2) written_since_release_ += static_cast<std::size_t>(n);
        if (waiting() == 0) {
            inbox_.clear();
            inbox_head_ = 0;
            paced_until_ = now;
        } else if (inbox_head_ >= 65536) {
            // A paced buffer that never quite empties: drop what was taken.
            inbox_.erase(inbox_.begin(), inbox_.begin() + static_cast<std::ptrdiff_t>(inbox_head_));
            inbox_head_ = 0;
        }
        inbox_.insert(inbox_.end(), buffer, buffer + n);
        return static_cast<std::size_t>(n);
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    // EIO: the line is over (a real port was unplugged, or nobody has the
    // pseudo-terminal's slave open any more).
    reading_ = false;
    session_.line_gone = true;
    return 0;
}

// Paced, the device takes a byte only when the line would have delivered it.
std::size_t SimDevice::consumable_now() {
    if (script_.pace_bytes_per_second <= 0) return waiting();
    const double seconds = std::chrono::duration<double>(Clock::now() - paced_until_).count();
    const auto due = static_cast<std::size_t>(seconds * script_.pace_bytes_per_second);
    return std::min(waiting(), due);
}

std::size_t SimDevice::consume(std::size_t most) {
    std::size_t count = std::min(most, waiting());
    if (script_.stop_at_terminator) {
        // What follows the terminator is the next upload's.
        if (session_.decoder.terminated()) return 0;
        const auto begin = inbox_.begin() + static_cast<std::ptrdiff_t>(inbox_head_);
        const auto end = begin + static_cast<std::ptrdiff_t>(count);
        const auto last = std::find(begin, end, terminator);
        if (last != end) count = static_cast<std::size_t>(last - begin) + 1;
    }
    if (count == 0) return 0;
    receive(inbox_.data() + inbox_head_, count);
    inbox_head_ += count;
    if (script_.pace_bytes_per_second > 0) {
        paced_until_ += std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(count / script_.pace_bytes_per_second));
    }
    return count;
}

void SimDevice::receive(const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t byte = bytes[i];
        if (script_.acknowledge_blocks && awaiting_acknowledgement_) {
            session_.block_faults.push_back("wire byte at offset " + std::to_string(session_.wire.size()) +
                                            " came before block " +
                                            std::to_string(session_.block_sizes.size() - 1) +
                                            " was acknowledged");
            awaiting_acknowledgement_ = false;  // one report per block is enough
        }
        session_.wire.push_back(byte);
        const bool was_terminated = session_.decoder.terminated();
        session_.decoder.feed(byte);
        if (!was_terminated) {
            const Clock::time_point now = Clock::now();
            if (session_.wire.size() == 1) session_.first_taken_at = now;
            session_.last_taken_at = now;
            if (session_.decoder.terminated()) session_.terminated_at = now;
        }
        if (!script_.acknowledge_blocks || was_terminated) continue;
        if (byte <= 0x0F) {
            ++data_in_block_;
        } else if (byte == terminator && data_in_block_ > 0) {
            session_.block_faults.push_back("terminator came before the last block (" +
                                            std::to_string(data_in_block_ / 2) +
                                            " bytes) was acknowledged");
            data_in_block_ = 0;
        }
    }
}

void SimDevice::write_to_host(const std::vector<std::uint8_t>& bytes) {
    session_.sent.push_back({Clock::now(), bytes, session_.wire.size() + waiting()});
    if (master_ >= 0 && !bytes.empty()) {
        const ssize_t written = write(master_, bytes.data(), bytes.size());
        (void)written;  // a host that has gone is seen on the next read
    }
}

// The device's own hold of the host: with XOFF while its paced buffer is
// full (stream mode) and while it is busy.
//
// A pseudo-terminal acts on an XOFF when the kernel gets round to it, and a
// sender that writes a byte a system call goes on meanwhile: on a busy
// machine thousands of bytes, which a hold until the buffer has drained
// would turn into a hold of half a minute. So a paced hold ends when the
// buffer is down to low_water or, at the latest, after the time the line
// takes for the bytes between the marks; what is left makes more holds,
// never a longer one. A new hold begins only once the sender has written
// two more bytes, the proof that the release reached it (and that it has
// finished a pair): each hold is one the sender sees, not the second half
// of the last.
void SimDevice::flow_control() {
    const Clock::time_point now = Clock::now();
    if (!busy_hold_begun_ && script_.hold_after_wire_bytes > 0 &&
        session_.wire.size() >= script_.hold_after_wire_bytes) {
        busy_hold_begun_ = true;
        busy_until_ = script_.hold_ms < 0 ? Clock::time_point::max() : now + std::chrono::milliseconds(script_.hold_ms);
        if (!holding_host_) hold_host();
    }
    const bool busy = busy_hold_begun_ && now < busy_until_;
    const bool paced = script_.pace_bytes_per_second > 0 && !script_.acknowledge_blocks;
    if (!holding_host_) {
        if (paced && waiting() >= script_.high_water && written_since_release_ >= 2) hold_host();
        return;
    }
    if (busy) return;
    bool done = !paced || waiting() <= script_.low_water;
    if (!done) {
        const double marks_apart = static_cast<double>(script_.high_water - std::min(script_.low_water, script_.high_water));
        done = now - hold_began_ >= std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                        marks_apart / script_.pace_bytes_per_second));
    }
    if (done) release_host();
}

void SimDevice::hold_host() {
    write_to_host({xoff});
    holding_host_ = true;
    hold_began_ = Clock::now();
    ++session_.xoffs_sent;
    session_.holds.push_back({hold_began_, {}});
}

void SimDevice::release_host() {
    write_to_host({xon});
    holding_host_ = false;
    written_since_release_ = 0;
    if (!session_.holds.empty() && session_.holds.back().until == Clock::time_point{}) {
        session_.holds.back().until = Clock::now();
    }
}

void SimDevice::end_block() {
    const std::size_t index = session_.block_sizes.size();
    session_.block_sizes.push_back(data_in_block_ / 2);
    data_in_block_ = 0;
    awaiting_acknowledgement_ = true;
    auto reply = script_.block_reply.find(index);
    if (reply != script_.block_reply.end()) {
        run_steps(reply->second);
    } else if (!script_.never_acknowledge) {
        run_steps({send({acknowledgement})});
    }
}

void SimDevice::run_steps(const std::vector<Step>& steps) {
    for (const Step& step : steps) {
        switch (step.kind) {
        case Step::send: {
            const bool acknowledges = std::find(step.bytes.begin(), step.bytes.end(), acknowledgement) !=
                                      step.bytes.end();
            if (acknowledges) {
                // Whatever is already here came before the acknowledgement.
                while (read_available(0) > 0) {
                }
                consume(SIZE_MAX);
            }
            write_to_host(step.bytes);
            if (acknowledges) {
                awaiting_acknowledgement_ = false;
                session_.turnarounds.push_back({Clock::now(), Clock::time_point{}});
                turnaround_open_ = true;
            }
            break;
        }
        case Step::pause:
            std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
            break;
        case Step::watch: {
            WatchReport report;
            const Clock::time_point settle_start = Clock::now();
            while (elapsed_ms(settle_start) < step.settle_ms) report.in_flight += read_available(5);
            const Clock::time_point window_start = Clock::now();
            while (elapsed_ms(window_start) < step.ms) report.arrived += read_available(5);
            session_.watches.push_back(report);
            break;
        }
        case Step::close_line:
            if (master_ >= 0) close(master_);
            if (slave_ >= 0) close(slave_);
            master_ = slave_ = -1;
            drop_the_line();
            break;
        case Step::hang_up:
#ifdef TIOCVHANGUP
            if (slave_ >= 0) ioctl(slave_, TIOCVHANGUP);
#else
            // Linux only; elsewhere the nearest thing is a line that closes.
            if (master_ >= 0) close(master_);
            master_ = -1;
#endif
            drop_the_line();
            break;
        case Step::stop_reading:
            reading_ = false;
            break;
        }
    }
}

// A device that hangs up takes nothing more, not even what it had read.
void SimDevice::drop_the_line() {
    reading_ = false;
    session_.line_gone = true;
    inbox_.clear();
    inbox_head_ = 0;
}

void SimDevice::send_now(std::vector<std::uint8_t> bytes) {
    std::lock_guard<std::mutex> lock(to_send_mutex_);
    to_send_.insert(to_send_.end(), bytes.begin(), bytes.end());
}

void SimDevice::run() {
    for (;;) {
        if (abandon_requested_) return;
        {
            std::vector<std::uint8_t> bytes;
            {
                std::lock_guard<std::mutex> lock(to_send_mutex_);
                bytes.swap(to_send_);
            }
            if (!bytes.empty()) write_to_host(bytes);
        }
        const bool stopping = stop_requested_;
        const bool idle = waiting() == 0;
        // What the device will not take (yet): the next upload's bytes.
        const bool held_back = script_.stop_at_terminator && session_.decoder.terminated();
        // Paced, wake up in time for the next byte the line delivers; a
        // stopping device only looks for what is still in flight.
        const bool paced = script_.pace_bytes_per_second > 0;
        const int wait_ms = (idle || held_back || !paced) ? (stopping ? 0 : 20) : 2;
        const bool arrived = read_available(idle || held_back || paced ? wait_ms : 0) > 0;
        flow_control();

        const std::size_t before = session_.wire.size();
        consume(std::min(consumable_now(), next_step_distance()));
        const std::size_t received = session_.wire.size();

        if (received != before) {
            // Script steps due at this byte count.
            auto due = script_.at_wire_byte.find(received);
            if (due != script_.at_wire_byte.end()) run_steps(due->second);
            if (!script_.stray_bytes.empty() && script_.stray_every > 0 && received % script_.stray_every == 0 &&
                !session_.decoder.terminated()) {
                write_to_host(script_.stray_bytes);
                ++session_.strays_sent;
            }
        }
        flow_control();
        if (script_.acknowledge_blocks && !session_.decoder.terminated()) {
            const bool full = data_in_block_ == block_wire_bytes;
            // A shorter block ends when the line has been quiet for a while
            // at a pair boundary: the device cannot know the file's length.
            const bool quiet_end = data_in_block_ > 0 && data_in_block_ % 2 == 0 && waiting() == 0 &&
                                   elapsed_ms(session_.last_byte_at) >= script_.short_block_quiet_ms;
            if (full || quiet_end) end_block();
        }
        publish_progress();
        if (stopping && !arrived && received == before && (waiting() == 0 || held_back || !reading_)) return;
    }
}

}  // namespace simdev
