// One run of either sender, from the command line to the exit status: the
// steps both share around their own sending loop.
#pragma once

#include <cstdio>
#include <string>

#include "cli/exit_status.h"
#include "cli/options.h"
#include "cli/progress.h"
#include "common/sha256.h"
#include "link/port.h"

struct Upload {
    const char* invocation = "";  // argv[0], as messages have always named the program
    std::string program;          // the short name, for hints
    bool block = false;           // pelkron2
    CommandLine command;
    std::string file_label;       // the file as messages name it
    std::FILE* input = nullptr;
    PortConnection port{};
    Progress progress;            // also what has been handed to the port, terminator included
    Sha256 digest;                // of the file bytes sent, for the summary after the progress line
    bool keep_window = false;     // started from Explorer: wait for Enter before the window closes
};

// Prepares the process, reads the command line, answers --help, --version
// and --list, opens the input file and then the port. Returns true when the
// transfer can start; otherwise everything has been said and `status` is
// what to exit with. Started from Explorer, every run ends with a word on
// how it went and a wait for Enter (cli/explorer.h).
bool begin_upload(int argc, char** argv, PortProfile profile, const char* built_in_port, Upload& upload, int& status);

enum FileRead { file_byte_read, file_ended, file_failed };

// Reads the next byte. A read error is reported apart from the end of the
// file: a damaged file must never look complete to the device.
inline FileRead read_file_byte(std::FILE* input, unsigned char& byte) {
    const int c = std::getc(input);
    if (c != EOF) {
        byte = static_cast<unsigned char>(c);
        return file_byte_read;
    }
    return std::ferror(input) ? file_failed : file_ended;
}

// Sends one file byte as its nibble pair, going on through the waits of a
// held line (the progress line shows them), then echoes the pair and
// counts it. Returns false when a write failed.
bool send_file_byte(Upload& upload, unsigned char file_byte);

// Waits until everything written has left the port, showing the wait.
// Returns false when the port failed or the time ran out.
bool drain_output(Upload& upload);

// Each ends the run without the terminator (a partial file must not look
// complete to the device) and returns the exit status.
int end_with_input_failure(Upload& upload);
int end_with_write_failure(Upload& upload);
int end_with_read_failure(Upload& upload);
int end_without_acknowledgement(Upload& upload);

// The whole file has gone out: the terminator, the wait until it has left
// the port, and the exit status.
int finish_upload(Upload& upload);
