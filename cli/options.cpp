#include "cli/options.h"

#include <cstring>

#include "link/port.h"

namespace {

bool starts_with(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

CommandLine wrong_use(std::string problem) {
    CommandLine command;
    command.action = command_wrong_use;
    command.problem = std::move(problem);
    return command;
}

// A positive whole number of seconds, digits only.
bool parse_seconds(const std::string& text, int& seconds) {
    if (text.empty() || text.size() > 9) return false;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > longest_timeout_seconds) return false;
    seconds = static_cast<int>(value);
    return true;
}

}  // namespace

CommandLine parse_command_line(int argc, const char* const* argv, const char* environment_port,
                               const char* built_in_port, const char* help_switch) {
    CommandLine command;
    std::string option_port;
    bool port_given = false;
    int i = 1;
    for (; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--") == 0) {
            ++i;
            break;
        }
        const bool is_help_switch = help_switch && std::strcmp(arg, help_switch) == 0;
        if (!is_help_switch && (arg[0] != '-' || std::strcmp(arg, "-") == 0)) break;  // the file

        // An option that takes a value: "--name VALUE", "--name=VALUE", or
        // for the short form "-p VALUE" and "-pVALUE".
        const char* value = nullptr;
        std::string name = arg;
        const bool is_port =
            starts_with(arg, "-p") || std::strcmp(arg, "--port") == 0 || starts_with(arg, "--port=");
        const bool is_timeout = std::strcmp(arg, "--timeout") == 0 || starts_with(arg, "--timeout=");
        if (is_port || is_timeout) {
            const char* equals = std::strchr(arg, '=');
            if (starts_with(arg, "--") && equals) {
                name.assign(arg, equals);
                value = equals + 1;
            } else if (!starts_with(arg, "--") && arg[2] != '\0') {
                name = "-p";
                value = arg + 2;
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                return wrong_use("option " + name + " needs " + (is_port ? "a port" : "a number of seconds"));
            }
            if (is_port) {
                if (*value == '\0') return wrong_use("option " + name + " needs a port, not an empty name");
                option_port = value;
                port_given = true;
            } else if (!parse_seconds(value, command.timeout_seconds)) {
                return wrong_use("option " + name + " needs a whole number of seconds from 1 to " +
                                 std::to_string(longest_timeout_seconds) + ", not '" + value + "'");
            }
            continue;
        }
        if (std::strcmp(arg, "-q") == 0 || std::strcmp(arg, "--quiet") == 0) {
            command.quiet = true;
            continue;
        }
        CommandAction action = command_upload;
        if (is_help_switch || std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) action = command_help;
        if (std::strcmp(arg, "-V") == 0 || std::strcmp(arg, "--version") == 0) action = command_version;
        if (std::strcmp(arg, "--list") == 0) action = command_list;
        if (action == command_upload) return wrong_use(std::string("unknown option '") + arg + "'");
        // What comes after it would be ignored: a file someone meant to send, a typo.
        if (i + 1 < argc) return wrong_use(std::string(arg) + " takes no file or other argument: '" + argv[i + 1] + "'");
        command.action = action;
        return command;
    }

    if (i == argc) return wrong_use("no file given");
    if (i + 1 < argc) {
        const char* extra = argv[i + 1];
        if (extra[0] == '-' && extra[1] != '\0') {
            return wrong_use(std::string("options go before the file: '") + extra + "'");
        }
        return wrong_use(std::string("one file at a time: '") + extra + "' is a second file");
    }
    command.action = command_upload;
    command.file = argv[i];
    if (port_given) {
        command.port = option_port;
        command.port_source = port_from_option;
    } else if (environment_port && *environment_port) {
        command.port = environment_port;
        command.port_source = port_from_environment;
    } else {
        command.port = built_in_port;
        command.port_source = port_built_in;
    }
    if (is_remote_port_name(command.port.c_str())) {
        RemoteAddress address;
        std::string problem;
        if (!parse_remote_address(command.port.c_str(), address, problem)) {
            return wrong_use(command.port_source == port_from_environment ? problem + " (PELKRON_PORT)" : problem);
        }
    }
    return command;
}
