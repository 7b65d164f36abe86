// Everything the programs say on stdout and stderr besides the echo: the
// usage line, help, version, the port list, and each failure with its
// reason. The first line of each failure is the one people and scripts
// have always seen ("Open Error!", "Write Error!", "Read Error!", the usage
// line); the line after it says why, naming the port.
#pragma once

#include <string>
#include <vector>

#include "link/port.h"

// The program's own name without folders or ".exe", for hints such as
// "pelkron --list".
std::string short_name(const char* invocation);

void print_wrong_use(const char* invocation, const std::string& program, const std::string& problem);
void print_help(const std::string& program, bool block, const char* built_in_port);
void print_version(const std::string& program, const char* built_in_port);
// One port as --list shows it: its name, then what the system knows of it,
// a USB adapter's identity in the form -p takes.
std::string port_list_line(const SerialPortInfo& port);
void print_port_list(const std::vector<SerialPortInfo>& ports);

void print_open_failure(const char* invocation, const std::string& program, const std::string& port,
                        const PortFailure& failure);
// headline: "Write Error!" or "Read Error!".
void print_port_failure(const char* headline, const char* invocation, const std::string& port,
                        const PortFailure& failure);
// "timed out: <what did not happen>; <what became of the end of the file>".
void print_time_out(const char* invocation, const std::string& port, const std::string& what_did_not_happen,
                    const std::string& end_of_file = "no terminator sent");
void print_input_failure(const char* invocation, const std::string& file, int error);
void print_echo_incomplete(const char* invocation, int error);
