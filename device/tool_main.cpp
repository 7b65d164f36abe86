// pelkron-device: the receiving device, simulated, for trying the uploaders
// without one or for testing a cable between two serial ports.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "common/sha256.h"
#include "device/sim_device.h"

namespace {

constexpr double line_bytes_per_second = 120;  // 1200 baud 8N1: ten bit times a byte

const char* const usage_text =
    "Usage: pelkron-device (--link PATH | --port DEVICE) [--block] [--pace] [--out FILE]\n"
    "\n"
    "Receives one upload from pelkron or pelkron2 as the device would, checks the\n"
    "nibble protocol and says what arrived.\n"
    "\n"
    "  --link PATH    make a pseudo-terminal and link it at PATH, the port an\n"
    "                 uploader built with -DPELKRON_PORT=PATH opens\n"
    "  --port DEVICE  use a real serial port (1200 baud 8N1, raw, exclusive), e.g.\n"
    "                 /dev/ttyUSB1 joined to the uploader's port by a null-modem cable\n"
    "  --block        acknowledge every block of 1024 bytes with 0x90 (pelkron2);\n"
    "                 without it: stream mode, for pelkron\n"
    "  --pace         take the data no faster than 1200 baud would deliver it,\n"
    "                 holding the sender with XOFF/XON (stream mode) while the\n"
    "                 device's input buffer is full\n"
    "  --out FILE     write the received file to FILE, only after a complete, clean\n"
    "                 transfer\n"
    "  --help         show this text\n"
    "\n"
    "While receiving, a status line on stderr (when stderr is a terminal). At the\n"
    "end, on the terminator or on Ctrl-C, a summary on stdout: bytes received,\n"
    "SHA-256, protocol faults. Exit status: 0 for a complete, clean transfer;\n"
    "1 for protocol faults or an incomplete transfer (no terminator, Ctrl-C); 2\n"
    "for a usage error; 3 when the port or the output file cannot be made or\n"
    "opened.\n";

volatile sig_atomic_t interrupted = 0;  // the signal that ended the wait, or 0

void on_signal(int signal_number) { interrupted = signal_number; }

struct Options {
    std::string path;
    simdev::SimDevice::LineKind kind = simdev::SimDevice::pseudo_terminal;
    bool block = false;
    bool pace = false;
    std::string out;
};

[[noreturn]] void usage_error(const std::string& message) {
    std::fprintf(stderr, "pelkron-device: %s\n\n%s", message.c_str(), usage_text);
    std::exit(2);
}

Options parse(int argc, char** argv) {
    static const option long_options[] = {
        {"link", required_argument, nullptr, 'l'}, {"port", required_argument, nullptr, 'p'},
        {"block", no_argument, nullptr, 'b'},      {"pace", no_argument, nullptr, 'P'},
        {"out", required_argument, nullptr, 'o'},  {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0}};
    Options options;
    int given_lines = 0;
    opterr = 0;
    // The leading ':' tells a missing value (':') from an unknown option ('?').
    for (int c; (c = getopt_long(argc, argv, ":", long_options, nullptr)) != -1;) {
        switch (c) {
        case 'l':
        case 'p':
            options.path = optarg;
            options.kind = c == 'l' ? simdev::SimDevice::pseudo_terminal : simdev::SimDevice::serial_port;
            ++given_lines;
            break;
        case 'b': options.block = true; break;
        case 'P': options.pace = true; break;
        case 'o': options.out = optarg; break;
        case 'h':
            std::fputs(usage_text, stdout);
            std::exit(0);
        case ':': usage_error(std::string("option '") + argv[optind - 1] + "' needs a value");
        default:
            // A short option is in optopt; a long one is the argument just read.
            usage_error("unknown option '" +
                        (optopt != 0 ? std::string("-") + static_cast<char>(optopt) : std::string(argv[optind - 1])) +
                        "'");
        }
    }
    if (optind != argc) usage_error(std::string("unexpected argument '") + argv[optind] + "'");
    if (given_lines != 1) usage_error("give exactly one of --link PATH and --port DEVICE");
    return options;
}

double seconds_between(simdev::Clock::time_point from, simdev::Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// "1 block", "3 blocks".
std::string count_of(std::size_t n, const char* thing) {
    return std::to_string(n) + " " + thing + (n == 1 ? "" : "s");
}

// The received file goes to a temporary file beside --out and takes its name
// only after a complete, clean transfer, so that a partial file never looks
// like a good one. Made before waiting: a path that cannot be written is
// found at once, not after the whole transfer.
struct OutFile {
    std::string target;
    std::string temporary;
    int fd = -1;
};

bool make_out_file(const std::string& target, OutFile& out) {
    struct stat existing {};
    if (stat(target.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) {
        errno = EISDIR;
        return false;
    }
    const std::size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string temporary = folder + "." + name + ".part-XXXXXX";
    const int fd = mkstemp(&temporary[0]);
    if (fd < 0) return false;
    // mkstemp makes the file private; the result gets the usual permissions.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    out.target = target;
    out.temporary = temporary;
    out.fd = fd;
    return true;
}

bool finish_out_file(OutFile& out, const std::vector<std::uint8_t>& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(out.fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    const bool written = done == data.size() && fsync(out.fd) == 0;
    const int saved = errno;
    close(out.fd);
    out.fd = -1;
    if (written && rename(out.temporary.c_str(), out.target.c_str()) == 0) return true;
    const int reason = written ? errno : saved;
    unlink(out.temporary.c_str());
    errno = reason;
    return false;
}

void drop_out_file(OutFile& out) {
    if (out.fd < 0) return;
    close(out.fd);
    out.fd = -1;
    unlink(out.temporary.c_str());
}

void draw_status_line(const simdev::Progress& progress, bool block, simdev::Clock::time_point now) {
    // The time the device has been taking data: up to now while it takes it,
    // up to the terminator once that is in; the summary counts the same way.
    const bool started = progress.first_taken_at != simdev::Clock::time_point{};
    const simdev::Clock::time_point until = progress.terminated ? progress.last_taken_at : now;
    const double seconds = started ? seconds_between(progress.first_taken_at, until) : 0;
    const std::size_t bytes = progress.wire_bytes / 2;
    std::string line = count_of(bytes, "byte");
    if (block) line += ", " + count_of(progress.blocks, "block");
    std::fprintf(stderr, "\r\033[K%s, %.0f bytes/s, %.1f s", line.c_str(), seconds > 0 ? bytes / seconds : 0.0,
                 seconds);
}

const char* signal_name(int signal_number) {
    return signal_number == SIGINT ? "SIGINT (Ctrl-C)" : signal_number == SIGTERM ? "SIGTERM" : "a signal";
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);

    // Before the line exists, so that nobody who sees the link can end us
    // without a summary.
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    OutFile out;
    if (!options.out.empty() && !make_out_file(options.out, out)) {
        std::fprintf(stderr, "pelkron-device: cannot write %s: %s\n", options.out.c_str(), std::strerror(errno));
        return 3;
    }

    std::unique_ptr<simdev::SimDevice> device;
    try {
        device = std::make_unique<simdev::SimDevice>(options.path, options.kind);
    } catch (const std::exception& error) {
        drop_out_file(out);
        std::fprintf(stderr, "pelkron-device: %s\n", error.what());
        return 3;
    }

    simdev::Script script;
    script.acknowledge_blocks = options.block;
    if (options.pace) script.pace_bytes_per_second = line_bytes_per_second;
    const bool status_line = isatty(STDERR_FILENO);
    std::fprintf(stderr, "pelkron-device: waiting on %s%s%s (%s mode)\n", options.path.c_str(),
                 options.kind == simdev::SimDevice::pseudo_terminal ? " -> " : "",
                 options.kind == simdev::SimDevice::pseudo_terminal ? device->slave_path().c_str() : "",
                 options.block ? "block" : "stream");
    // The signals go to this thread, whose wait they cut short, never to
    // the device's worker.
    sigset_t signals, previous;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, &previous);
    device->start(script);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    simdev::Clock::time_point terminated_seen{};
    while (!interrupted) {
        poll(nullptr, 0, 100);  // returns at once on a signal
        const simdev::Progress progress = device->progress();
        const simdev::Clock::time_point now = simdev::Clock::now();
        if (status_line) draw_status_line(progress, options.block, now);
        if (progress.line_gone) break;
        if (progress.terminated) {
            // A moment more, to catch anything sent after the terminator.
            if (terminated_seen == simdev::Clock::time_point{}) terminated_seen = now;
            if (seconds_between(terminated_seen, now) >= 0.3) break;
        }
    }
    // A user who interrupts gives up: the device stops at once, even with a
    // paced buffer still full.
    const simdev::Session session = interrupted ? device->abandon() : device->stop();
    if (status_line) {
        simdev::Progress last;
        last.wire_bytes = session.wire.size();
        last.blocks = session.block_sizes.size();
        last.terminated = session.decoder.terminated();
        last.first_taken_at = session.first_taken_at;
        last.last_taken_at = session.last_taken_at;
        draw_status_line(last, options.block, simdev::Clock::now());
        std::fputs("\n", stderr);
    }

    const std::vector<std::uint8_t>& data = session.decoder.data();
    std::vector<std::string> faults = session.all_faults();
    if (!session.decoder.terminated()) {
        faults.push_back(session.decoder.half_pair_pending() ? "the transfer ended in the middle of a pair, with no terminator"
                                                             : "no terminator arrived");
    }
    const double seconds = session.wire.empty() ? 0 : seconds_between(session.first_taken_at, session.last_taken_at);
    std::printf("received %s", count_of(data.size(), "byte").c_str());
    if (options.block) std::printf(" in %s", count_of(session.block_sizes.size(), "block").c_str());
    std::printf(", %s in %.2f s\n", count_of(session.wire.size(), "wire byte").c_str(), seconds);
    std::printf("sha256   %s\n", sha256_hex(data).c_str());
    if (options.pace && !options.block) std::printf("xoff     sent %s\n", count_of(session.xoffs_sent, "time").c_str());
    if (faults.empty()) {
        std::printf("faults   none\n");
    } else {
        std::printf("faults   %zu\n", faults.size());
        for (const std::string& fault : faults) std::printf("  - %s\n", fault.c_str());
    }
    if (interrupted) {
        std::printf("stopped  by %s", signal_name(interrupted));
        if (session.untaken > 0) {
            std::printf(", %s on the line not taken", count_of(session.untaken, "wire byte").c_str());
        }
        std::printf("\n");
    }

    int status = faults.empty() ? 0 : 1;
    if (out.fd >= 0) {
        if (status != 0) {
            drop_out_file(out);
            std::printf("out      %s not written: the transfer was not complete and clean\n", out.target.c_str());
        } else if (finish_out_file(out, data)) {
            std::printf("out      %s\n", out.target.c_str());
        } else {
            std::fflush(stdout);
            std::fprintf(stderr, "pelkron-device: cannot write %s: %s\n", out.target.c_str(), std::strerror(errno));
            status = 3;
        }
    }
    return status;
}
