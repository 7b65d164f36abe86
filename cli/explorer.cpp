#include "cli/explorer.h"

#include "cli/exit_status.h"

namespace {

bool is_explorer(const std::string& program) {
    const std::string explorer = "explorer.exe";
    if (program.size() != explorer.size()) return false;
    for (std::size_t i = 0; i < program.size(); ++i) {
        const char c = program[i] >= 'A' && program[i] <= 'Z' ? static_cast<char>(program[i] - 'A' + 'a') : program[i];
        if (c != explorer[i]) return false;
    }
    return true;
}

// As the help lists them.
const char* status_meaning(int status) {
    switch (status) {
    case exit_open_error: return "the port cannot be opened or refused a setting";
    case exit_usage: return "wrong use of the command line";
    case exit_input_error: return "the file cannot be opened or read";
    case exit_port_failed: return "the port failed during the transfer";
    case exit_timed_out: return "--timeout ran out";
    default: return "an unknown failure";
    }
}

}  // namespace

bool started_from_explorer(const StartFacts& facts) {
    return facts.console_processes == 1 && facts.input_is_console && is_explorer(facts.parent_program);
}

std::string explorer_help(const std::string& program, const std::string& port) {
    return "\n"
           "From Explorer: drop the file to send on " + program + ".exe, or on a shortcut to it.\n"
           "It goes to " + port + ". To send to another port from now on, type in a command\n"
           "prompt, with the port or the adapter's usb: identity that " + program + " --list shows:\n"
           "  setx PELKRON_PORT COM7\n"
           "  setx PELKRON_PORT usb:0403:6001:A12345\n"
           "Windows keeps it for every program started after that, but not for that\n"
           "command prompt itself.\n";
}

std::string explorer_outcome(const std::string& program, int status, const std::string& file,
                             const std::string& port) {
    if (status == exit_sent) return program + ": sent " + file + " to " + port + ": the device has the whole file";
    return program + ": the device does not have the whole file: " + status_meaning(status) + " (exit status " +
           std::to_string(status) + ")";
}
