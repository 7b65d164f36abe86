#include "device/tool_options.h"

#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#ifndef PELKRON_VERSION
#error "PELKRON_VERSION must give the project's version"
#endif

namespace device_tool {

namespace {

constexpr double line_bytes_per_second = 120;  // 1200 baud 8N1: ten bit times a byte
// Quiet time beyond the longest hold the device causes itself before an
// upload without its terminator is given up.
constexpr double idle_margin_seconds = 5;
constexpr double longest_seconds = 1e6;                      // eleven days and a half
constexpr unsigned long long most_bytes = 1ULL << 40;        // a TiB: far beyond any upload

bool parse_bytes(const char* text, std::size_t& bytes) {
    if (*text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || value > most_bytes) return false;
    bytes = static_cast<std::size_t>(value);
    return true;
}

bool parse_seconds(const char* text, double& seconds) {
    if ((*text < '0' || *text > '9') && *text != '.') return false;
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(value) || value <= 0 || value > longest_seconds) return false;
    seconds = value;
    return true;
}

// "55", "0x55,aa,0D": one to two hex digits a byte.
bool parse_hex_bytes(const char* text, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    const char* at = text;
    for (;;) {
        if (at[0] == '0' && (at[1] == 'x' || at[1] == 'X')) at += 2;
        int value = 0;
        int digits = 0;
        for (; digits < 3; ++at, ++digits) {
            const char c = *at;
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0) break;
            value = value * 16 + digit;
        }
        if (digits == 0 || digits > 2) return false;
        bytes.push_back(static_cast<std::uint8_t>(value));
        if (*at == '\0') return true;
        if (*at != ',') return false;
        ++at;
    }
}

Options wrong(std::string problem) {
    Options options;
    options.action = Options::wrong_use;
    options.problem = std::move(problem);
    return options;
}

enum LongOnly { no_ack = 256, stray_bytes, hold_after, hold_for, hang_up_after, idle };

}  // namespace

const char* const help_text =
    "Usage: pelkron-device [OPTION]... --link PATH\n"
    "  or:  pelkron-device [OPTION]... --port DEVICE\n"
    "Plays the device that pelkron and pelkron2 upload to: receives an upload,\n"
    "checks the nibble protocol and says what arrived.\n"
    "\n"
    "The line, one of:\n"
    "      --link PATH        make a pseudo-terminal and link it at PATH: the port\n"
    "                         to give the uploader, as in pelkron -p PATH FILE\n"
    "      --port DEVICE      use a real serial port (1200 baud 8N1, raw, opened\n"
    "                         exclusively), e.g. /dev/ttyUSB1 joined to the\n"
    "                         uploader's port by a null-modem cable\n"
    "Receiving:\n"
    "      --block            acknowledge every block of 1024 bytes with 0x90, for\n"
    "                         pelkron2; without it, stream mode, for pelkron\n"
    "      --pace             take the data no faster than 1200 baud, 120 bytes a\n"
    "                         second; in stream mode hold the sender with XOFF\n"
    "                         while 256 bytes wait, for up to 1.6 s at a time\n"
    "      --out FILE         write the received file to FILE, only after a\n"
    "                         complete, clean upload\n"
    "      --repeat           serve one upload after another until Ctrl-C; with\n"
    "                         --out, upload N goes to FILE with -N before its\n"
    "                         extension (received-1.bin, received-2.bin, ...)\n"
    "      --idle SECONDS     end an upload without its terminator once the line\n"
    "                         has been quiet that long (default 5, plus any\n"
    "                         --hold-for; none with --no-ack or a hold for ever)\n"
    "Faults, to see what the uploaders do:\n"
    "      --no-ack           never acknowledge a block (with --block)\n"
    "      --hold-after BYTES hold the sender with XOFF once BYTES bytes of the\n"
    "                         file have come, for ever or for --hold-for\n"
    "      --hold-for SECONDS let go of that hold after SECONDS\n"
    "      --stray HEX[,HEX]...  send these bytes, which mean nothing, after every\n"
    "                         1024 bytes of the file (before the acknowledgement)\n"
    "      --hang-up-after BYTES  drop the line once BYTES bytes of the file have\n"
    "                         come, as a device that is switched off\n"
    "\n"
    "  -h, --help             show this help\n"
    "  -V, --version          show the version\n"
    "\n"
    "While receiving, a status line on standard error when that is a terminal.\n"
    "At the end of each upload (the terminator, a quiet or vanished line, Ctrl-C)\n"
    "a summary on standard output: bytes received, SHA-256, XOFF holds, faults.\n"
    "\n"
    "Exit status:\n"
    "  0  every upload complete and clean\n"
    "  1  protocol faults or an incomplete upload (no terminator, Ctrl-C before\n"
    "     the end), or with --repeat no upload at all\n"
    "  2  wrong use of the command line\n"
    "  3  the line cannot be made or opened, or the --out file cannot be written\n";

void print_version() {
    std::printf("pelkron-device %s\n", PELKRON_VERSION);
    std::printf("Copyright (c) 2026 The pelkron developers. MIT licence: free to use, copy,\n"
                "modify and distribute, without warranty; see LICENSE.\n");
}

Options parse(int argc, char** argv) {
    static const option long_options[] = {{"link", required_argument, nullptr, 'l'},
                                          {"port", required_argument, nullptr, 'p'},
                                          {"block", no_argument, nullptr, 'b'},
                                          {"pace", no_argument, nullptr, 'P'},
                                          {"out", required_argument, nullptr, 'o'},
                                          {"repeat", no_argument, nullptr, 'r'},
                                          {"idle", required_argument, nullptr, idle},
                                          {"no-ack", no_argument, nullptr, no_ack},
                                          {"stray", required_argument, nullptr, stray_bytes},
                                          {"hold-after", required_argument, nullptr, hold_after},
                                          {"hold-for", required_argument, nullptr, hold_for},
                                          {"hang-up-after", required_argument, nullptr, hang_up_after},
                                          {"help", no_argument, nullptr, 'h'},
                                          {"version", no_argument, nullptr, 'V'},
                                          {nullptr, 0, nullptr, 0}};
    Options options;
    int lines_given = 0;
    bool hold_for_given = false;
    opterr = 0;
    // The leading ':' tells a missing value (':') from an unknown option ('?').
    for (int c; (c = getopt_long(argc, argv, ":hV", long_options, nullptr)) != -1;) {
        const std::string given = optind > 0 && optind <= argc ? argv[optind - 1] : "";
        switch (c) {
        case 'l':
        case 'p':
            options.path = optarg;
            options.kind = c == 'l' ? simdev::SimDevice::pseudo_terminal : simdev::SimDevice::serial_port;
            ++lines_given;
            break;
        case 'b': options.block = true; break;
        case 'P': options.pace = true; break;
        case 'o': options.out = optarg; break;
        case 'r': options.repeat = true; break;
        case idle:
            if (!parse_seconds(optarg, options.idle_seconds)) {
                return wrong("option '--idle' needs a number of seconds above 0, not '" + std::string(optarg) + "'");
            }
            break;
        case no_ack: options.never_acknowledge = true; break;
        case stray_bytes:
            if (!parse_hex_bytes(optarg, options.stray)) {
                return wrong("option '--stray' needs bytes in hex separated by commas, such as 55,aa, not '" +
                             std::string(optarg) + "'");
            }
            break;
        case hold_after:
        case hang_up_after: {
            std::size_t& bytes = c == hold_after ? options.hold_after_bytes : options.hang_up_after_bytes;
            if (!parse_bytes(optarg, bytes)) {
                return wrong(std::string("option '") + (c == hold_after ? "--hold-after" : "--hang-up-after") +
                             "' needs a whole number of bytes, not '" + optarg + "'");
            }
            (c == hold_after ? options.hold : options.hang_up) = true;
            break;
        }
        case hold_for:
            if (!parse_seconds(optarg, options.hold_seconds)) {
                return wrong("option '--hold-for' needs a number of seconds above 0, not '" + std::string(optarg) +
                             "'");
            }
            hold_for_given = true;
            break;
        case 'h': options.action = Options::show_help; return options;
        case 'V': options.action = Options::show_version; return options;
        case ':': return wrong("option '" + given + "' needs a value");
        default:
            // A short option is in optopt; a long one is the argument just read.
            return wrong("unknown option '" +
                         (optopt != 0 ? std::string("-") + static_cast<char>(optopt) : given) + "'");
        }
    }
    if (optind != argc) return wrong(std::string("unexpected argument '") + argv[optind] + "'");
    if (lines_given != 1) return wrong("give exactly one of --link PATH and --port DEVICE");
    if (options.never_acknowledge && !options.block) return wrong("--no-ack acknowledges nothing without --block");
    if (hold_for_given && !options.hold) return wrong("--hold-for needs --hold-after, which says when to hold");
    return options;
}

double idle_limit(const Options& options) {
    if (options.idle_seconds > 0) return options.idle_seconds;
    if (options.never_acknowledge || (options.hold && options.hold_seconds < 0)) return -1;
    return idle_margin_seconds + (options.hold ? options.hold_seconds : 0);
}

std::size_t wire_byte_after(std::size_t file_bytes) { return file_bytes > 0 ? 2 * file_bytes : 1; }

simdev::Script script_for(const Options& options) {
    simdev::Script script;
    script.acknowledge_blocks = options.block;
    if (options.pace) script.pace_bytes_per_second = line_bytes_per_second;
    script.never_acknowledge = options.never_acknowledge;
    script.stray_bytes = options.stray;
    if (options.hold) {
        script.hold_after_wire_bytes = wire_byte_after(options.hold_after_bytes);
        script.hold_ms = options.hold_seconds < 0 ? -1 : static_cast<int>(std::lround(options.hold_seconds * 1000));
    }
    if (options.hang_up) script.at_wire_byte[wire_byte_after(options.hang_up_after_bytes)] = {simdev::close_line()};
    script.stop_at_terminator = options.repeat;
    return script;
}

}  // namespace device_tool
