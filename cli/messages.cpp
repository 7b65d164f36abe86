#include "cli/messages.h"

#include <cstdio>
#include <cstring>

#ifndef PELKRON_VERSION
#error "PELKRON_VERSION must give the project's version"
#endif

std::string short_name(const char* invocation) {
    std::string name = invocation;
    const std::size_t folder = name.find_last_of("/\\");
    if (folder != std::string::npos) name.erase(0, folder + 1);
    if (name.size() > 4) {
        std::string suffix = name.substr(name.size() - 4);
        for (char& c : suffix) c = static_cast<char>(c | 0x20);
        if (suffix == ".exe") name.erase(name.size() - 4);
    }
    return name.empty() ? "pelkron" : name;
}

void print_wrong_use(const char* invocation, const std::string& program, const std::string& problem) {
    std::fprintf(stderr, "%s: filename\n", invocation);
    std::fprintf(stderr, "%s: %s; '%s --help' lists the options\n", invocation, problem.c_str(), program.c_str());
}

void print_help(const std::string& program, bool block, const char* built_in_port) {
    const char* name = program.c_str();
    std::printf("Usage: %s [OPTION]... FILE\n", name);
    if (block) {
        std::printf(
            "Send FILE to the device on a serial port as nibble pairs in blocks of 1024\n"
            "bytes, waiting after each block for the device's acknowledgement 0x90, and\n"
            "end with the terminator 0x10. Each pair and each read is echoed on standard\n"
            "output.\n");
    } else {
        std::printf(
            "Send FILE to the device on a serial port as nibble pairs, paced by the\n"
            "device's XON/XOFF, and end with the terminator 0x10. Each pair is echoed on\n"
            "standard output.\n");
    }
    std::printf(
        "FILE - reads standard input. The line is 1200 baud, 8 data bits, no parity,\n"
        "one stop bit.\n"
        "\n"
        "Options:\n"
        "  -p, --port PORT        the serial port for this run\n"
        "      --timeout SECONDS  give up when a write has been held that long%s\n"
        "  -q, --quiet            no echo on standard output\n"
        "      --list             list the serial ports of this machine\n"
        "  -h, --help             show this help\n"
        "  -V, --version          show the version and the built-in port\n"
        "      --                 end of the options (for a file named like one)\n"
        "\n"
        "The port is PORT, else the environment variable PELKRON_PORT when it is set\n"
        "and not empty, else the port built into this program: %s\n"
        "On Windows, COM1, com12, ... (any number); on Linux and other POSIX systems,\n"
        "the device's path, e.g. /dev/ttyUSB0 or a /dev/serial/by-id/ name; anywhere,\n"
        "rfc2217://HOST:PORT for a port served over the network (e.g. by ser2net).\n"
        "\n"
        "When standard error is a terminal and the echo does not go there (standard\n"
        "output is a file or a pipe, or --quiet), a status line on standard error\n"
        "shows the progress, and at the end the bytes sent, the time taken and the\n"
        "SHA-256 of the file.\n"
        "\n"
        "Exit status:\n"
        "  0  the whole file and the terminator went out\n"
        "  1  the port cannot be opened or refused a setting (\"Open Error!\")\n"
        "  2  wrong use of the command line\n"
        "  3  the file cannot be opened or read\n"
        "  4  the port failed during the transfer (\"Write Error!\", \"Read Error!\")\n"
        "  5  --timeout ran out\n",
        block ? ",\n                         or an acknowledgement has not come that long" : "", built_in_port);
}

void print_version(const std::string& program, const char* built_in_port) {
    std::printf("%s %s\n", program.c_str(), PELKRON_VERSION);
    std::printf("built-in port: %s\n", built_in_port);
    std::printf("Copyright (c) 2026 The pelkron developers. MIT licence: free to use, copy,\n"
                "modify and distribute, without warranty; see LICENSE.\n");
}

void print_port_list(const std::vector<std::string>& ports) {
    if (ports.empty()) {
        std::printf("No serial ports found.\n");
        return;
    }
    for (const std::string& port : ports) std::printf("%s\n", port.c_str());
}

namespace {

std::string open_reason(const std::string& program, const PortFailure& failure) {
    switch (failure.problem) {
    case port_not_found: return "no such port (" + program + " --list shows the ports here)";
    case port_in_use: return "in use by another program";
    case port_not_serial: return "not a serial port";
    case port_setting_refused: return "the port refused the setting " + failure.detail;
    default: return failure.detail;
    }
}

}  // namespace

void print_open_failure(const char* invocation, const std::string& program, const std::string& port,
                        const PortFailure& failure) {
    std::fputs("Open Error!\n", stderr);
    std::fprintf(stderr, "%s: %s: %s\n", invocation, port.c_str(), open_reason(program, failure).c_str());
}

void print_port_failure(const char* headline, const char* invocation, const std::string& port,
                        const PortFailure& failure) {
    std::fprintf(stderr, "%s\n", headline);
    if (failure.problem == port_drain_failed) {
        std::fprintf(stderr, "%s: %s: the port failed before everything queued had left (%s)\n", invocation,
                     port.c_str(), failure.detail.c_str());
    } else {
        std::fprintf(stderr, "%s: %s: %s\n", invocation, port.c_str(), failure.detail.c_str());
    }
}

void print_time_out(const char* invocation, const std::string& port, const std::string& what_did_not_happen,
                    const std::string& end_of_file) {
    std::fprintf(stderr, "%s: %s: timed out: %s; %s\n", invocation, port.c_str(), what_did_not_happen.c_str(),
                 end_of_file.c_str());
}

void print_input_failure(const char* invocation, const std::string& file, int error) {
    std::fprintf(stderr, "%s: %s: %s\n", invocation, file.c_str(), std::strerror(error));
}

void print_echo_incomplete(const char* invocation, int error) {
    std::fprintf(stderr, "%s: the echo on standard output is incomplete: %s\n", invocation, std::strerror(error));
}
