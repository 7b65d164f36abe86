// What the programs' exit statuses mean; README and the man pages list the
// same.
#pragma once

enum ExitStatus {
    exit_sent = 0,          // the whole file and the terminator are on the line
    exit_open_error = 1,    // the port cannot be opened or refused a setting
    exit_usage = 2,         // wrong use of the command line
    exit_input_error = 3,   // the input file cannot be opened or read
    exit_port_failed = 4,   // the port failed during the transfer
    exit_timed_out = 5      // --timeout ran out
};

// Ctrl-C, Ctrl-Break or the console window closed, on Windows: the status
// Windows itself gives a console program ended that way (STATUS_CONTROL_C_EXIT,
// -1073741510 in %ERRORLEVEL%), never 0. POSIX programs die of the signal.
constexpr unsigned long exit_interrupted_on_windows = 0xC000013AUL;
