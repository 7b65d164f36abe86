// The command line of both programs: options, then one file.
//
//   pelkron [-p PORT | --port PORT | --port=PORT] [--timeout SECONDS] [-q | --quiet] FILE
//   pelkron --list | -h | --help | -V | --version
//
// "--" ends the options; "-" as the file is standard input. The port is the
// option's, else PELKRON_PORT's when that is set and not empty, else the one
// built into the program. A port on the network (rfc2217://) is checked
// here: a malformed address is wrong use, before anything is opened.
#pragma once

#include <string>

enum CommandAction {
    command_upload,
    command_help,
    command_version,
    command_list,
    command_wrong_use  // `problem` says what was wrong
};

enum PortSource { port_from_option, port_from_environment, port_built_in };

struct CommandLine {
    CommandAction action = command_wrong_use;
    std::string file;             // "-" for standard input
    std::string port;
    PortSource port_source = port_built_in;
    int timeout_seconds = 0;      // 0: wait for ever
    bool quiet = false;           // no echo on standard output
    std::string problem;
};

constexpr int longest_timeout_seconds = 2000000;  // about 23 days, and still an int of milliseconds

// argv[0] is the program's own name and is not looked at. `environment_port`
// is PELKRON_PORT's value, or null when it is not set. `help_switch` is the
// platform's own word for --help ("/?" on Windows), or null.
CommandLine parse_command_line(int argc, const char* const* argv, const char* environment_port,
                               const char* built_in_port, const char* help_switch = nullptr);
