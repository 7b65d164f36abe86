#include "cli/messages.h"

#include <cstdio>
#include <cstring>

#include "cli/platform.h"
#include "link/port_identity.h"

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
    print_text(stderr, "%s: filename\n", invocation);
    print_text(stderr, "%s: %s; '%s --help' lists the options\n", invocation, problem.c_str(), program.c_str());
}

void print_help(const std::string& program, bool block, const char* built_in_port) {
    const char* name = program.c_str();
    const std::string also_help = help_switch() ? std::string(" (also ") + help_switch() + ")" : "";
    print_text(stdout, "Usage: %s [OPTION]... FILE\n", name);
    if (block) {
        print_text(stdout,
            "Send FILE to the device on a serial port as nibble pairs in blocks of 1024\n"
            "bytes, waiting after each block for the device's acknowledgement 0x90, and\n"
            "end with the terminator 0x10. Each pair and each read is echoed on standard\n"
            "output.\n");
    } else {
        print_text(stdout,
            "Send FILE to the device on a serial port as nibble pairs, paced by the\n"
            "device's XON/XOFF, and end with the terminator 0x10. Each pair is echoed on\n"
            "standard output.\n");
    }
    print_text(stdout,
        "FILE - reads standard input. The line is 1200 baud, 8 data bits, no parity,\n"
        "one stop bit.\n"
        "\n"
        "Options:\n"
        "  -p, --port PORT        the serial port for this run\n"
        "      --timeout SECONDS  give up when a write has been held that long%s\n"
        "  -q, --quiet            no echo on standard output\n"
        "      --list             list the serial ports of this machine\n"
        "  -h, --help             show this help%s\n"
        "  -V, --version          show the version and the built-in port\n"
        "      --                 end of the options (for a file named like one)\n"
        "\n"
        "The port is PORT, else the environment variable PELKRON_PORT when it is set\n"
        "and not empty, else the port built into this program: %s\n"
        "On Windows, COM1, com12, ... (any number); on Linux and other POSIX systems,\n"
        "the device's path, e.g. /dev/ttyUSB0 or a /dev/serial/by-id/ name; anywhere,\n"
        "rfc2217://HOST:PORT for a port served over the network (e.g. by ser2net).\n"
        "On Windows and Linux, usb:VID:PID or usb:VID:PID:SERIAL for the one USB\n"
        "adapter with that identity, wherever it is plugged in (--list shows it).\n",
        block ? ",\n                         or an acknowledgement has not come that long" : "",
        also_help.c_str(), built_in_port);
    const std::string reset = settings_reset_command(built_in_port);
    if (!reset.empty()) {
        print_text(stdout,
            "A Windows port keeps the DSR handshake (and DTR and RTS) that mode or another\n"
            "program set; if an upload never moves, turn the handshake off:\n"
            "  %s\n",
            reset.c_str());
    }
    print_text(stdout,
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
        "  5  --timeout ran out\n");
}

void print_version(const std::string& program, const char* built_in_port) {
    print_text(stdout, "%s %s\n", program.c_str(), PELKRON_VERSION);
    print_text(stdout, "built-in port: %s\n", built_in_port);
    print_text(stdout, "Copyright (c) 2026 The pelkron developers. MIT licence: free to use, copy,\n"
                       "modify and distribute, without warranty; see LICENSE.\n");
}

std::string port_list_line(const SerialPortInfo& port) {
    std::vector<std::string> parts;
    if (!port.description.empty()) parts.push_back(port.description);
    if (port.usb) parts.push_back(usb_port_name(port.identity) + (port.maker.empty() ? "" : " (" + port.maker + ")"));
    if (!port.stable_name.empty()) parts.push_back(port.stable_name);
    std::string line = port.name;
    for (std::size_t i = 0; i < parts.size(); ++i) line += (i == 0 ? ": " : ", ") + parts[i];
    return line;
}

void print_port_list(const std::vector<SerialPortInfo>& ports) {
    if (ports.empty()) {
        print_text(stdout, "No serial ports found.\n");
        return;
    }
    for (const SerialPortInfo& port : ports) print_text(stdout, "%s\n", port_list_line(port).c_str());
}

namespace {

// "usb:0403:6001:A12345 on COM7, usb:0403:6001:B67890 on COM12"
std::string adapters(const std::vector<SerialPortInfo>& ports) {
    std::string text;
    for (const SerialPortInfo& port : ports) {
        text += (text.empty() ? "" : ", ") + usb_port_name(port.identity) + " on " + port.name;
    }
    return text;
}

// Several adapters with one identity: the serial number tells them apart
// unless two have the same (none at all, or two ports of one adapter).
bool serial_numbers_differ(const std::vector<SerialPortInfo>& ports) {
    for (std::size_t i = 0; i < ports.size(); ++i) {
        for (std::size_t j = i + 1; j < ports.size(); ++j) {
            if (ports[i].identity.serial == ports[j].identity.serial) return false;
        }
    }
    return true;
}

const char bad_answer[] = "the server sent a malformed or oversized answer";

std::string open_reason(const std::string& program, const PortFailure& failure) {
    switch (failure.problem) {
    case port_bad_identity:
        return "not a USB identity: give usb:VID:PID or usb:VID:PID:SERIAL, VID and PID in hexadecimal (" +
               program + " --list shows them)";
    case port_no_adapter:
        return failure.candidates.empty()
                   ? "no USB adapter has this identity; none is plugged in (" + program + " --list shows the ports here)"
                   : "no USB adapter has this identity; plugged in: " + adapters(failure.candidates);
    case port_several_adapters:
        return std::to_string(failure.candidates.size()) + " ports have this identity: " +
               adapters(failure.candidates) +
               (serial_numbers_differ(failure.candidates) ? "; add the serial number"
                                                           : "; their serial numbers do not tell them apart: give the "
                                                             "port's name");
    case port_not_found: return "no such port (" + program + " --list shows the ports here)";
    case port_in_use: return "in use by another program";
    case port_not_serial: return "not a serial port";
    case port_setting_refused: return "the port refused the setting " + failure.detail;
    case port_server_closed:
        return "the server closed the connection before the port was set up" +
               (failure.detail.empty() ? std::string() : ", saying \"" + failure.detail + "\"") +
               ": another client may be using the port, or the server cannot open its device";
    case port_bad_answer: return bad_answer;
    default: return failure.detail;
    }
}

}  // namespace

void print_open_failure(const char* invocation, const std::string& program, const std::string& port,
                        const PortFailure& failure) {
    print_text(stderr, "Open Error!\n");
    print_text(stderr, "%s: %s: %s\n", invocation, port.c_str(), open_reason(program, failure).c_str());
}

void print_port_failure(const char* headline, const char* invocation, const std::string& port,
                        const PortFailure& failure) {
    print_text(stderr, "%s\n", headline);
    if (failure.problem == port_bad_answer) {
        print_text(stderr, "%s: %s: %s\n", invocation, port.c_str(), bad_answer);
    } else if (failure.problem == port_drain_failed) {
        print_text(stderr, "%s: %s: the port failed before everything queued had left (%s)\n", invocation,
                   port.c_str(), failure.detail.c_str());
    } else {
        print_text(stderr, "%s: %s: %s\n", invocation, port.c_str(), failure.detail.c_str());
    }
}

void print_time_out(const char* invocation, const std::string& port, const std::string& what_did_not_happen,
                    const std::string& end_of_file) {
    print_text(stderr, "%s: %s: timed out: %s; %s\n", invocation, port.c_str(), what_did_not_happen.c_str(),
               end_of_file.c_str());
    const std::string reset = settings_reset_command(port);
    if (!reset.empty()) {
        print_text(stderr, "%s: %s: if the port's own DSR handshake held it: %s\n", invocation, port.c_str(),
                   reset.c_str());
    }
}

void print_input_failure(const char* invocation, const std::string& file, int error) {
    print_text(stderr, "%s: %s: %s\n", invocation, file.c_str(), std::strerror(error));
}

void print_echo_incomplete(const char* invocation, int error) {
    print_text(stderr, "%s: the echo on standard output is incomplete: %s\n", invocation, std::strerror(error));
}
