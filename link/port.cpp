// link/port.h for callers, whichever backend the port's name asks for: a
// serial port of this machine or one served over the network. A port named
// by its USB identity is looked up among this machine's ports first.
#include <cstring>
#include <utility>

#include "link/backend.h"
#include "link/port_identity.h"

namespace {

bool is_remote(const char* name) { return std::strncmp(name, remote_port_prefix, sizeof remote_port_prefix - 1) == 0; }

}  // namespace

bool fail(PortConnection& port, PortProblem problem, std::string detail) {
    port.failure.problem = problem;
    port.failure.detail = std::move(detail);
    port.failure.via_server = false;
    return false;
}

bool port_resolve(const std::string& name, const std::string& system_root, std::string& port_name,
                  PortFailure& failure) {
    if (!is_usb_port_name(name)) {
        port_name = name;
        return true;
    }
    failure.candidates.clear();
    UsbIdentity wanted;
    if (!parse_usb_port_name(name, wanted)) {
        failure.problem = port_bad_identity;
        return false;
    }
    const std::vector<SerialPortInfo> ports = port_list(system_root);
    const std::vector<std::size_t> matches = matching_ports(wanted, ports);
    if (matches.size() == 1) {
        port_name = ports[matches[0]].name;
        return true;
    }
    // None: every USB adapter there is may be the one meant, mistyped.
    // Several: those, to tell apart.
    if (matches.empty()) {
        failure.problem = port_no_adapter;
        for (const SerialPortInfo& port : ports) {
            if (port.usb) failure.candidates.push_back(port);
        }
    } else {
        failure.problem = port_several_adapters;
        for (std::size_t i : matches) failure.candidates.push_back(ports[i]);
    }
    return false;
}

bool port_open(PortConnection& port, const char* name, PortProfile profile, int write_timeout_ms) {
    port = PortConnection{};
    port.write_timeout_ms = write_timeout_ms;
    port.failure.problem = port_no_problem;
    if (is_remote(name)) return remote_port_open(port, name, profile);
    std::string local_name;
    if (!port_resolve(name, "/", local_name, port.failure)) {
        port.handle = -1;  // nothing open, as both local backends write it
        return false;
    }
    if (local_name != name) port.resolved_name = local_name;
    return local_port_open(port, local_name.c_str(), profile);
}

bool port_write_byte(PortConnection& port, unsigned char value) {
    return port.remote ? remote_port_write_byte(port, value) : local_port_write_byte(port, value);
}

PortReadResult port_read_byte(PortConnection& port) {
    return port.remote ? remote_port_read_byte(port) : local_port_read_byte(port);
}

void port_purge_input(PortConnection& port) {
    if (port.remote) {
        remote_port_purge_input(port);
    } else {
        local_port_purge_input(port);
    }
}

bool port_drain_output(PortConnection& port) {
    return port.remote ? remote_port_drain_output(port) : local_port_drain_output(port);
}

long long port_line_time_left_ms(PortConnection& port) { return port.remote ? remote_port_line_time_left_ms(port) : 0; }

void port_close(PortConnection& port) {
    if (port.remote) {
        remote_port_close(port);
    } else {
        local_port_close(port);
    }
}
