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

namespace {

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
    Progress progress;
    progress.wire_bytes = progress_wire_;
    progress.blocks = progress_blocks_;
    progress.terminated = progress_terminated_;
    progress.line_gone = progress_line_gone_;
    progress.first_taken_at = Clock::time_point(Clock::duration(progress_first_taken_));
    progress.last_taken_at = Clock::time_point(Clock::duration(progress_last_taken_));
    return progress;
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
    reading_ = true;
    holding_host_ = false;
    inbox_.clear();
    inbox_head_ = 0;
    stop_requested_ = false;
    abandon_requested_ = false;
    progress_wire_ = 0;
    progress_first_taken_ = 0;
    progress_last_taken_ = 0;
    progress_blocks_ = 0;
    progress_terminated_ = false;
    progress_line_gone_ = false;
    worker_ = std::thread([this] { run(); });
}

Session SimDevice::stop() {
    stop_requested_ = true;
    if (worker_.joinable()) worker_.join();
    return std::move(session_);
}

Session SimDevice::abandon() {
    abandon_requested_ = true;
    if (worker_.joinable()) worker_.join();
    // What already sits in the kernel's buffer has arrived: an unpaced device
    // takes it, a paced one only as much as the line would have delivered.
    while (read_available(0) > 0) {
    }
    consume(std::min(consumable_now(), next_step_distance()));
    session_.untaken = inbox_.size() - inbox_head_;
    return std::move(session_);
}

// How many bytes the device may take before the script next acts, so that
// every step sees exactly the bytes that came before it.
std::size_t SimDevice::next_step_distance() const {
    std::size_t limit = SIZE_MAX;
    const std::size_t received = session_.wire.size();
    auto next = script_.at_wire_byte.upper_bound(received);
    if (next != script_.at_wire_byte.end()) limit = next->first - received;
    if (script_.acknowledge_blocks && !session_.decoder.terminated()) {
        limit = std::min(limit, block_wire_bytes - data_in_block_);
    }
    return limit;
}

std::size_t SimDevice::read_available(int timeout_ms) {
    if (master_ < 0 || !reading_) return 0;
    pollfd pfd{master_, POLLIN, 0};
    if (poll(&pfd, 1, timeout_ms) <= 0) return 0;
    std::uint8_t buffer[4096];
    const ssize_t n = read(master_, buffer, sizeof buffer);
    if (n > 0) {
        const Clock::time_point now = Clock::now();
        if (session_.wire.empty() && inbox_.size() == inbox_head_) session_.first_byte_at = now;
        session_.last_byte_at = now;
        if (turnaround_open_) {
            session_.turnarounds.back().second = now;
            turnaround_open_ = false;
        }
        if (inbox_head_ == inbox_.size()) {
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
    session_.line_gone = progress_line_gone_ = true;
    return 0;
}

// Paced, the device takes a byte only when the line would have delivered it.
std::size_t SimDevice::consumable_now() {
    const std::size_t waiting = inbox_.size() - inbox_head_;
    if (script_.pace_bytes_per_second <= 0) return waiting;
    const double seconds = std::chrono::duration<double>(Clock::now() - paced_until_).count();
    const auto due = static_cast<std::size_t>(seconds * script_.pace_bytes_per_second);
    return std::min(waiting, due);
}

std::size_t SimDevice::consume(std::size_t most) {
    const std::size_t count = std::min(most, inbox_.size() - inbox_head_);
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
        } else if (byte == 0x10 && data_in_block_ > 0) {
            session_.block_faults.push_back("terminator came before the last block (" +
                                            std::to_string(data_in_block_ / 2) +
                                            " bytes) was acknowledged");
            data_in_block_ = 0;
        }
    }
    progress_first_taken_ = session_.first_taken_at.time_since_epoch().count();
    progress_last_taken_ = session_.last_taken_at.time_since_epoch().count();
    progress_wire_ = session_.wire.size();
    progress_terminated_ = session_.decoder.terminated();
}

void SimDevice::write_to_host(const std::vector<std::uint8_t>& bytes) {
    session_.sent.push_back({Clock::now(), bytes, session_.wire.size() + inbox_.size() - inbox_head_});
    if (master_ >= 0 && !bytes.empty()) {
        const ssize_t written = write(master_, bytes.data(), bytes.size());
        (void)written;  // a host that has gone is seen on the next read
    }
}

// The device's own XON/XOFF around its input buffer (paced stream mode).
void SimDevice::flow_control() {
    if (script_.acknowledge_blocks || script_.pace_bytes_per_second <= 0) return;
    const std::size_t waiting = inbox_.size() - inbox_head_;
    if (!holding_host_ && waiting >= script_.high_water) {
        write_to_host({xoff});
        holding_host_ = true;
        ++session_.xoffs_sent;
    } else if (holding_host_ && waiting <= script_.low_water) {
        write_to_host({xon});
        holding_host_ = false;
    }
}

void SimDevice::end_block() {
    const std::size_t index = session_.block_sizes.size();
    session_.block_sizes.push_back(data_in_block_ / 2);
    progress_blocks_ = session_.block_sizes.size();
    data_in_block_ = 0;
    awaiting_acknowledgement_ = true;
    auto reply = script_.block_reply.find(index);
    if (reply != script_.block_reply.end()) {
        run_steps(reply->second);
    } else {
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
            reading_ = false;
            session_.line_gone = progress_line_gone_ = true;
            break;
        case Step::hang_up:
#ifdef TIOCVHANGUP
            if (slave_ >= 0) ioctl(slave_, TIOCVHANGUP);
#else
            // Linux only; elsewhere the nearest thing is a line that closes.
            if (master_ >= 0) close(master_);
            master_ = -1;
#endif
            reading_ = false;
            session_.line_gone = progress_line_gone_ = true;
            break;
        case Step::stop_reading:
            reading_ = false;
            break;
        }
    }
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
        const bool idle = inbox_head_ == inbox_.size();
        // Paced, wake up in time for the next byte the line delivers; a
        // stopping device only looks for what is still in flight.
        const bool paced = script_.pace_bytes_per_second > 0;
        const int wait_ms = (idle || !paced) ? (stopping ? 0 : 20) : 2;
        const bool arrived = read_available(idle || paced ? wait_ms : 0) > 0;
        flow_control();

        const std::size_t before = session_.wire.size();
        consume(std::min(consumable_now(), next_step_distance()));
        const std::size_t received = session_.wire.size();
        flow_control();

        // Script steps due at this byte count.
        if (received != before) {
            auto due = script_.at_wire_byte.find(received);
            if (due != script_.at_wire_byte.end()) run_steps(due->second);
        }
        if (script_.acknowledge_blocks && !session_.decoder.terminated()) {
            const bool full = data_in_block_ == block_wire_bytes;
            // A shorter block ends when the line has been quiet for a while
            // at a pair boundary: the device cannot know the file's length.
            const bool quiet_end = data_in_block_ > 0 && data_in_block_ % 2 == 0 &&
                                   inbox_head_ == inbox_.size() &&
                                   elapsed_ms(session_.last_byte_at) >= script_.short_block_quiet_ms;
            if (full || quiet_end) end_block();
        }
        if (stopping && !arrived && received == before && (inbox_head_ == inbox_.size() || !reading_)) return;
    }
}

}  // namespace simdev
