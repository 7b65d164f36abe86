// What the programs need of their surroundings beyond the port: standard
// streams that are really there, signals that cannot cut an upload short or
// leave the port locked, terminals, and facts about the input file. One file
// per platform implements it.
#pragma once

#include <cstdio>

// Before anything is opened: a closed standard descriptor is reopened on
// the null device, so that neither the input file nor the port can take its
// number (and get the echo or the messages written into it). A reader of
// the echo that goes away must not kill the upload, and Ctrl-C, SIGTERM and
// SIGHUP first release the port (and end the progress line), then end the
// program as the signal would.
void prepare_process();

bool is_terminal(std::FILE* stream);

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
