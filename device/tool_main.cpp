// pelkron-device: the receiving device, simulated, for trying the uploaders
// without one or for testing a cable between two serial ports.
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "device/sha256.h"
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
    "  --out FILE     write the received file to FILE\n"
    "  --help         show this text\n"
    "\n"
    "While receiving, a status line on stderr (when stderr is a terminal). At the\n"
    "end, on the terminator or on Ctrl-C, a summary on stdout: bytes received,\n"
    "SHA-256, protocol faults. Exit status: 0 for a complete, clean transfer;\n"
    "1 for protocol faults or a transfer without its terminator; 2 for a usage\n"
    "error; 3 when the port cannot be made or opened.\n";

volatile sig_atomic_t interrupted = 0;

void on_signal(int) { interrupted = 1; }

struct Options {
    std::string path;
    simdev::SimDevice::LineKind kind = simdev::SimDevice::pseudo_terminal;
    bool block = false;
    bool pace = false;
    std::string out;
};

[[noreturn]] void usage_error(const char* message) {
    std::fprintf(stderr, "pelkron-device: %s\n\n%s", message, usage_text);
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
    for (int c; (c = getopt_long(argc, argv, "", long_options, nullptr)) != -1;) {
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
        default: usage_error("unknown option or missing value");
        }
    }
    if (optind != argc) usage_error("unexpected argument");
    if (given_lines != 1) usage_error("give exactly one of --link PATH and --port DEVICE");
    return options;
}

double seconds_between(simdev::Clock::time_point from, simdev::Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);

    std::unique_ptr<simdev::SimDevice> device;
    try {
        device = std::make_unique<simdev::SimDevice>(options.path, options.kind);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "pelkron-device: %s\n", error.what());
        return 3;
    }
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);

    simdev::Script script;
    script.acknowledge_blocks = options.block;
    if (options.pace) script.pace_bytes_per_second = line_bytes_per_second;
    const bool status_line = isatty(STDERR_FILENO);
    std::fprintf(stderr, "pelkron-device: waiting on %s%s%s (%s mode)\n", options.path.c_str(),
                 options.kind == simdev::SimDevice::pseudo_terminal ? " -> " : "",
                 options.kind == simdev::SimDevice::pseudo_terminal ? device->slave_path().c_str() : "",
                 options.block ? "block" : "stream");
    device->start(script);

    simdev::Clock::time_point first_seen{};
    simdev::Clock::time_point terminated_at{};
    while (!interrupted) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const simdev::Progress progress = device->progress();
        const simdev::Clock::time_point now = simdev::Clock::now();
        if (progress.wire_bytes > 0 && first_seen == simdev::Clock::time_point{}) first_seen = now;
        if (status_line) {
            const double seconds = first_seen == simdev::Clock::time_point{} ? 0 : seconds_between(first_seen, now);
            const std::size_t bytes = progress.wire_bytes / 2;
            std::fprintf(stderr, "\r\033[K%zu bytes, %zu blocks, %.0f bytes/s, %.1f s", bytes, progress.blocks,
                         seconds > 0 ? bytes / seconds : 0.0, seconds);
        }
        if (progress.line_gone) break;
        if (progress.terminated) {
            // A moment more, to catch anything sent after the terminator.
            if (terminated_at == simdev::Clock::time_point{}) terminated_at = now;
            if (seconds_between(terminated_at, now) >= 0.3) break;
        }
    }
    if (status_line) std::fputs("\n", stderr);
    const simdev::Session session = device->stop();

    const std::vector<std::uint8_t>& data = session.decoder.data();
    if (!options.out.empty()) {
        std::ofstream out(options.out, std::ios::binary);
        out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        if (!out) {
            std::fprintf(stderr, "pelkron-device: cannot write %s: %s\n", options.out.c_str(), std::strerror(errno));
            return 3;
        }
    }

    std::vector<std::string> faults = session.all_faults();
    if (!session.decoder.terminated()) {
        faults.push_back(session.decoder.half_pair_pending() ? "the transfer ended in the middle of a pair, with no terminator"
                                                             : "no terminator arrived");
    }
    // Paced, the device takes the terminator well after it arrived.
    const simdev::Clock::time_point last =
        session.decoder.terminated() ? session.terminated_at : session.last_byte_at;
    const double seconds = session.wire.empty() ? 0 : seconds_between(session.first_byte_at, last);
    std::printf("received %zu bytes", data.size());
    if (options.block) std::printf(" in %zu blocks", session.block_sizes.size());
    std::printf(", %zu wire bytes in %.2f s\n", session.wire.size(), seconds);
    std::printf("sha256   %s\n", simdev::sha256_hex(data).c_str());
    if (options.pace && !options.block) std::printf("xoff     %zu times\n", session.xoffs_sent);
    if (faults.empty()) {
        std::printf("faults   none\n");
    } else {
        std::printf("faults   %zu\n", faults.size());
        for (const std::string& fault : faults) std::printf("  - %s\n", fault.c_str());
    }
    return faults.empty() ? 0 : 1;
}
