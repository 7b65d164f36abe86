// The steps around the wire that both senders share: the command line, the
// input file and the exit statuses.
#pragma once

#include <cstdio>

enum ExitStatus {
    exit_sent = 0,          // the whole file and the terminator are on the line
    exit_open_error = 1,    // the port cannot be opened
    exit_usage = 2,         // not exactly one argument
    exit_input_error = 3,   // the input file cannot be opened or read
    exit_port_failed = 4    // the port failed during the transfer
};

// Prints the usage line and returns false unless there is exactly one argument.
bool arguments_ok(int argc, char** argv);

// Opens the named file for binary reading. On failure prints
// "<program>: <file>: <reason>" and ends the process with exit_input_error,
// before the port is touched.
std::FILE* open_input(char** argv);

enum FileRead { file_byte_read, file_ended, file_failed };

// Reads the next byte. A read error is reported apart from the end of the
// file: a damaged file must never look complete to the device.
FileRead read_file_byte(std::FILE* input, unsigned char& byte);

// Each prints its message and returns the exit status to end with. None sends
// the terminator: a partial file must not look complete to the device.
int report_input_failure(char** argv);
int report_write_failure();
