// pelkron-device: the receiving device, simulated, for trying the uploaders
// without one or for testing a cable between two serial ports.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "device/out_file.h"
#include "common/sha256.h"
#include "device/sim_device.h"
#include "device/tool_options.h"

using namespace device_tool;

namespace {

using simdev::Clock;

volatile sig_atomic_t interrupted = 0;  // the signal that ended the wait, or 0

void on_signal(int signal_number) { interrupted = signal_number; }

double seconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

double seconds_of(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

// "1 block", "3 blocks".
std::string count_of(std::size_t n, const char* thing) {
    return std::to_string(n) + " " + thing + (n == 1 ? "" : "s");
}

// What ended an upload.
enum class Ending { terminator, quiet_line, line_gone, hung_up, signal };

std::unique_ptr<simdev::SimDevice> make_device(const Options& options) {
    try {
        return std::make_unique<simdev::SimDevice>(options.path, options.kind);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "pelkron-device: %s\n", error.what());
        return nullptr;
    }
}

void say_waiting(const simdev::SimDevice& device, const Options& options) {
    const bool link = options.kind == simdev::SimDevice::pseudo_terminal;
    std::fprintf(stderr, "pelkron-device: waiting on %s%s%s (%s mode%s%s)\n", options.path.c_str(),
                 link ? " -> " : "", link ? device.slave_path().c_str() : "", options.block ? "block" : "stream",
                 options.pace ? ", paced" : "", options.repeat ? ", one upload after another until Ctrl-C" : "");
}

// The signals go to the main thread, whose wait they cut short, never to
// the device's worker, which inherits the mask it is started with.
void start_device(simdev::SimDevice& device, const simdev::Script& script) {
    sigset_t signals, previous;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, &previous);
    device.start(script);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// The status line: what the device has taken, how fast, for how long, and
// its holds of the sender (those the sender sees: each one begins only once
// the sender has written after the last).
void draw_status_line(const simdev::Progress& progress, const Options& options, std::size_t number,
                      Clock::time_point now) {
    // The time the device has been taking data: up to now while it takes it,
    // up to the terminator once that is in; the summary counts the same way.
    const bool started = progress.first_taken_at != Clock::time_point{};
    const Clock::time_point until = progress.terminated ? progress.last_taken_at : now;
    const double seconds = started ? seconds_between(progress.first_taken_at, until) : 0;
    const std::size_t bytes = progress.wire_bytes / 2;
    std::string line = options.repeat ? "upload " + std::to_string(number) + ": " : "";
    line += count_of(bytes, "byte");
    if (options.block) line += ", " + count_of(progress.blocks, "block");
    char rate[64];
    std::snprintf(rate, sizeof rate, ", %.0f bytes/s, %.1f s", seconds > 0 ? bytes / seconds : 0.0, seconds);
    line += rate;
    if (progress.holds > 0) {
        const bool holding = progress.holding_since != Clock::time_point{};
        Clock::duration longest = progress.longest_ended_hold;
        if (holding) longest = std::max(longest, now - progress.holding_since);
        char holds[64];
        std::snprintf(holds, sizeof holds, " (longest %.1f s)%s", seconds_of(longest), holding ? ", holding" : "");
        line += ", " + count_of(progress.holds, "hold") + holds;
    }
    std::fprintf(stderr, "\r\033[K%s", line.c_str());
}

Ending wait_for_end(const simdev::SimDevice& device, const Options& options, std::size_t number, bool status_line) {
    const double idle = idle_limit(options);
    Clock::time_point terminated_seen{};
    for (;;) {
        if (interrupted) return Ending::signal;
        poll(nullptr, 0, 100);  // returns at once on a signal
        if (interrupted) return Ending::signal;
        const simdev::Progress progress = device.progress();
        const Clock::time_point now = Clock::now();
        if (status_line) draw_status_line(progress, options, number, now);
        if (progress.line_gone) {
            const bool hung_up =
                options.hang_up && progress.wire_bytes >= wire_byte_after(options.hang_up_after_bytes);
            return hung_up ? Ending::hung_up : Ending::line_gone;
        }
        if (progress.terminated) {
            // The next upload may follow at once. A single one gets a moment
            // more, to catch anything sent after its terminator.
            if (options.repeat) return Ending::terminator;
            if (terminated_seen == Clock::time_point{}) terminated_seen = now;
            if (seconds_between(terminated_seen, now) >= 0.3) return Ending::terminator;
            continue;
        }
        // An uploader that has gone (Ctrl-C, a time-out) sends nothing more.
        const bool begun = progress.wire_bytes > 0 || progress.waiting > 0;
        if (begun && idle > 0 && progress.waiting == 0 &&
            seconds_between(std::max(progress.last_arrival_at, progress.last_taken_at), now) >= idle) {
            return Ending::quiet_line;
        }
    }
}

const char* signal_name(int signal_number) {
    return signal_number == SIGINT ? "SIGINT (Ctrl-C)" : signal_number == SIGTERM ? "SIGTERM" : "a signal";
}

std::string hex_bytes(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    for (std::uint8_t byte : bytes) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%s0x%02x", text.empty() ? "" : " ", byte);
        text += hex;
    }
    return text;
}

// Prints the summary of one upload; true when it was complete and clean.
bool print_summary(const simdev::Session& session, Ending ending, const Options& options, std::size_t number) {
    if (options.repeat) std::printf("%supload   %zu\n", number > 1 ? "\n" : "", number);
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
    if ((options.pace && !options.block) || session.xoffs_sent > 0) {
        std::printf("xoff     sent %s", count_of(session.xoffs_sent, "time").c_str());
        if (!session.holds.empty()) {
            std::printf(", the longest hold %.2f s", seconds_of(session.longest_hold(Clock::now())));
        }
        std::printf("\n");
    }
    if (!options.stray.empty()) {
        std::printf("stray    %s sent %s\n", hex_bytes(options.stray).c_str(),
                    count_of(session.strays_sent, "time").c_str());
    }
    if (faults.empty()) {
        std::printf("faults   none\n");
    } else {
        std::printf("faults   %zu\n", faults.size());
        for (const std::string& fault : faults) std::printf("  - %s\n", fault.c_str());
    }
    switch (ending) {
    case Ending::terminator: break;
    case Ending::quiet_line: std::printf("stopped  the line was quiet for %g s\n", idle_limit(options)); break;
    case Ending::line_gone: std::printf("stopped  the line went away\n"); break;
    case Ending::hung_up:
        std::printf("stopped  the device hung up the line after %s (--hang-up-after)\n",
                    count_of(options.hang_up_after_bytes, "byte").c_str());
        break;
    case Ending::signal:
        std::printf("stopped  by %s", signal_name(interrupted));
        if (session.untaken > 0) {
            std::printf(", %s on the line not taken", count_of(session.untaken, "wire byte").c_str());
        }
        std::printf("\n");
        break;
    }
    return faults.empty();
}

// Writes the file of a complete, clean upload, or says why there is none;
// false when it cannot be written.
bool settle_out_file(OutFile& out, bool clean, const std::vector<std::uint8_t>& data) {
    if (out.fd < 0) return true;
    if (!clean) {
        drop_out_file(out);
        std::printf("out      %s not written: the transfer was not complete and clean\n", out.target.c_str());
        return true;
    }
    if (finish_out_file(out, data)) {
        std::printf("out      %s\n", out.target.c_str());
        return true;
    }
    std::fflush(stdout);
    std::fprintf(stderr, "pelkron-device: cannot write %s: %s\n", out.target.c_str(), std::strerror(errno));
    return false;
}

bool open_out_file(const Options& options, std::size_t number, OutFile& out) {
    if (options.out.empty()) return true;
    const std::string name = options.repeat ? numbered_name(options.out, number) : options.out;
    if (make_out_file(name, out)) return true;
    std::fprintf(stderr, "pelkron-device: cannot write %s: %s\n", name.c_str(), std::strerror(errno));
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    switch (options.action) {
    case Options::show_help: std::fputs(help_text, stdout); return 0;
    case Options::show_version: print_version(); return 0;
    case Options::wrong_use:
        std::fprintf(stderr, "pelkron-device: %s; 'pelkron-device --help' lists the options\n",
                     options.problem.c_str());
        return 2;
    case Options::receive: break;
    }

    // Before the line exists, so that nobody who sees the link can end us
    // without a summary.
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    std::size_t number = 1;
    OutFile out;
    if (!open_out_file(options, number, out)) return 3;
    std::unique_ptr<simdev::SimDevice> device = make_device(options);
    if (!device) {
        drop_out_file(out);
        return 3;
    }
    const simdev::Script script = script_for(options);
    const bool status_line = isatty(STDERR_FILENO);
    say_waiting(*device, options);
    start_device(*device, script);

    std::size_t served = 0;
    bool all_clean = true;
    for (;;) {
        const Ending ending = wait_for_end(*device, options, number, status_line);
        // A user who interrupts gives up: the device stops at once, even with
        // a paced buffer still full. One upload after another, what the
        // device has not taken is the next upload's start.
        const simdev::Session session = ending == Ending::signal ? device->abandon()
                                        : options.repeat         ? device->end_session()
                                                                 : device->stop();
        if (status_line) {
            draw_status_line(device->progress(), options, number, Clock::now());
            std::fputs("\n", stderr);
        }
        if (options.repeat && ending == Ending::signal && session.wire.empty() && session.untaken == 0) {
            drop_out_file(out);  // Ctrl-C while waiting for the next upload
            break;
        }
        const bool clean = print_summary(session, ending, options, number);
        ++served;
        all_clean = all_clean && clean;
        if (!settle_out_file(out, clean, session.decoder.data())) return 3;
        std::fflush(stdout);
        if (!options.repeat || ending == Ending::signal) break;

        ++number;
        if (ending == Ending::line_gone || ending == Ending::hung_up) {
            // A line that went away is made anew for the next upload.
            device.reset();
            device = make_device(options);
            if (!device) return 3;
            say_waiting(*device, options);
        }
        if (!open_out_file(options, number, out)) return 3;
        start_device(*device, script);
    }
    return served > 0 && all_clean ? 0 : 1;
}
