// The device tool's command line: what the user asked for, or what was
// wrong with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "device/sim_device.h"

namespace device_tool {

struct Options {
    enum Action { receive, show_help, show_version, wrong_use };
    Action action = receive;
    std::string problem;  // for wrong_use: one line, without the program's name

    std::string path;
    simdev::SimDevice::LineKind kind = simdev::SimDevice::pseudo_terminal;
    bool block = false;
    bool pace = false;
    bool repeat = false;
    std::string out;
    double idle_seconds = 0;  // 0: the default, see idle_limit()

    // Faults to switch on.
    bool never_acknowledge = false;
    std::vector<std::uint8_t> stray;
    bool hold = false;
    std::size_t hold_after_bytes = 0;  // file bytes
    double hold_seconds = -1;          // negative: for ever
    bool hang_up = false;
    std::size_t hang_up_after_bytes = 0;
};

Options parse(int argc, char** argv);

// How long a line may be quiet before an upload without its terminator
// ends: as given, or a few seconds beyond the longest hold the device causes
// itself; negative when it holds for ever (a hold or a withheld
// acknowledgement), so that it waits until Ctrl-C.
double idle_limit(const Options& options);

// The wire byte after which a fault acts: the device has taken so many
// bytes of the file, and at least one wire byte.
std::size_t wire_byte_after(std::size_t file_bytes);

// The script that makes the device behave as the options say.
simdev::Script script_for(const Options& options);

extern const char* const help_text;
void print_version();

}  // namespace device_tool
