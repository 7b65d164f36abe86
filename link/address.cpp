// The name of a port served over the network, read once for the command
// line (which refuses a malformed one before anything is opened) and once
// for the network backend (which connects to it).
#include <cctype>
#include <cstdlib>

#include "link/backend.h"

bool is_remote_port_name(const char* name) {
    const std::size_t length = sizeof remote_port_prefix - 1;
    for (std::size_t i = 0; i < length; ++i) {
        if (name[i] == '\0' ||
            std::tolower(static_cast<unsigned char>(name[i])) != remote_port_prefix[i]) {
            return false;
        }
    }
    return true;
}

bool parse_remote_address(const char* name, RemoteAddress& address, std::string& problem) {
    const std::string quoted = "'" + std::string(name) + "'";
    if (!is_remote_port_name(name)) {
        problem = quoted + " does not start with " + remote_port_prefix;
        return false;
    }
    std::string rest = name + (sizeof remote_port_prefix - 1);
    if (!rest.empty() && rest.back() == '/') rest.pop_back();

    std::size_t colon;
    if (!rest.empty() && rest[0] == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos) {
            problem = "no ']' after the IPv6 address in " + quoted;
            return false;
        }
        address.host = rest.substr(1, close - 1);
        colon = close + 1;
        if (colon < rest.size() && rest[colon] != ':') {
            problem = "':' and the port number must follow the ']' in " + quoted;
            return false;
        }
    } else {
        colon = rest.rfind(':');
        if (colon != std::string::npos && rest.find(':') != colon) {
            problem = "more than one ':' in " + quoted + " (an IPv6 address goes in brackets: rfc2217://[ADDRESS]:PORT)";
            return false;
        }
        address.host = rest.substr(0, colon);
    }
    if (address.host.empty()) {
        problem = "no host in " + quoted;
        return false;
    }
    const std::string number = colon < rest.size() ? rest.substr(colon + 1) : "";
    if (number.empty()) {
        problem = "no port number in " + quoted;
        return false;
    }
    for (char c : number) {
        if (c < '0' || c > '9') {
            problem = "'" + number + "' is not a port number in " + quoted;
            return false;
        }
    }
    // Digits only: more than five are out of range whatever they say.
    const long value = number.size() > 5 ? 0 : std::strtol(number.c_str(), nullptr, 10);
    if (value < 1 || value > 65535) {
        problem = "port " + number + " is out of range";
        return false;
    }
    address.service = std::to_string(value);
    problem.clear();
    return true;
}
