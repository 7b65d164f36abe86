// link/port.h for callers, whichever backend the port's name asks for: a
// serial port of this machine or one served over the network.
#include <utility>

#include "link/backend.h"

bool fail(PortConnection& port, PortProblem problem, std::string detail) {
    port.failure.problem = problem;
    port.failure.detail = std::move(detail);
    return false;
}

bool port_open(PortConnection& port, const char* name, PortProfile profile, int write_timeout_ms) {
    port = PortConnection{};
    port.write_timeout_ms = write_timeout_ms;
    port.failure.problem = port_no_problem;
    return is_remote_port_name(name) ? remote_port_open(port, name, profile) : local_port_open(port, name, profile);
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

void port_close(PortConnection& port) {
    if (port.remote) {
        remote_port_close(port);
    } else {
        local_port_close(port);
    }
}
