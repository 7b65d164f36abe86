// What the programs need of their surroundings beyond the port: standard
// streams that are really there, signals that cannot cut an upload short or
// leave the port locked, terminals, the command line, the environment and
// the console in the platform's own characters, and facts about the input
// file. One file per platform implements it.
//
// Text inside the programs is UTF-8: file names, port names and messages
// alike. Windows hands the programs UTF-16 and shows UTF-16 on a console.
#pragma once

#include <cstdio>
#include <string>

// Before anything is opened: a closed standard descriptor is reopened on
// the null device, so that neither the input file nor the port can take its
// number (and get the echo or the messages written into it). A reader of
// the echo that goes away must not kill the upload, and Ctrl-C, SIGTERM and
// SIGHUP first release the port (and end the progress line), then end the
// program as the signal would. On Windows, Ctrl-C, Ctrl-Break and closing
// the console window do the same and end the program with
// exit_interrupted_on_windows.
void prepare_process();

// The command line in UTF-8; the strings live as long as the process.
// Windows: the UTF-16 command line, never the ANSI argv, whose best-fit
// mapping can turn one file's name into another's.
char** command_line_arguments(int& argc, char** argv);

// An environment variable in UTF-8, or "" when it is not set.
std::string environment_value(const char* name);

// Opens the named file (UTF-8) for reading in binary mode; null with errno
// set when it cannot.
std::FILE* open_input_file(const std::string& name);

// The platform's own way of asking for help besides -h and --help: "/?" on
// Windows, none (null) elsewhere.
const char* help_switch();

// A console or terminal where people read. On Windows that is what
// GetConsoleMode accepts: NUL, a file or a pipe is none.
bool is_terminal(std::FILE* stream);

// Writes text (UTF-8, printf's format) on stdout or stderr. A Windows
// console gets it as UTF-16, whatever its code page; a file or a pipe gets
// the ANSI code page's bytes as before, or UTF-8 when the text has no exact
// form there.
#ifdef __GNUC__
__attribute__((format(printf, 2, 3)))
#endif
void print_text(std::FILE* stream, const char* format, ...);

// Standard input as a file of bytes (Windows would translate line ends).
void make_binary(std::FILE* stream);

// The input is a directory: POSIX opens one for reading and only fails on
// the first read, Windows refuses the open itself.
bool is_directory(std::FILE* input);

// The file's size in bytes, or -1 when it has none (a pipe, a terminal).
long long file_size(std::FILE* input);

// Windows: started from Explorer, in a console window of our own that
// closes when we end (cli/explorer.h). Never on POSIX.
bool started_from_explorer();

// Until Enter is pressed on the console, keys pressed before not counting.
void wait_for_enter();
