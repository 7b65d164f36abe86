// link/port.h for callers, whichever backend the port's name asks for: a
// serial port of this machine or one served over the network. A port named
// by its USB identity is looked up among this machine's ports first.
#include <utility>

#include "link/backend.h"
#include "link/port_identity.h"

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

namespace {

constexpr int queue_look_ms = 1000;

}  // namespace

void look_at_queue(PortConnection& port, long queued, long long now_ms) {
    if (port.still_since_ms < 0 || queued != port.queue_seen) {
        port.still_since_ms = now_ms;
        port.queue_seen = queued;
    }
    port.held_ms = now_ms - port.still_since_ms;
}

bool held_too_long(const PortConnection& port) {
    return port.write_timeout_ms > 0 && port.held_ms >= port.write_timeout_ms;
}

int next_look_ms(const PortConnection& port) {
    long long wait = queue_look_ms;
    if (port.wait_report_ms > 0 && port.wait_report_ms < wait) wait = port.wait_report_ms;
    if (port.write_timeout_ms > 0 && port.write_timeout_ms - port.held_ms < wait) {
        wait = port.write_timeout_ms - port.held_ms;
    }
    return static_cast<int>(wait < 1 ? 1 : wait);
}

bool time_to_report(const PortConnection& port, long long waited_ms) {
    return port.wait_report_ms > 0 && waited_ms >= port.wait_report_ms;
}

void end_wait(PortConnection& port) {
    port.still_since_ms = -1;
    port.queue_seen = -1;
    port.held_ms = 0;
}

PortWriteResult fail_wait(PortConnection& port, PortProblem problem, std::string detail) {
    end_wait(port);
    fail(port, problem, std::move(detail));
    return port_write_failed;
}

OneByteWrite judge_one_byte_write(bool succeeded, unsigned long written, bool timed_out, bool sliced) {
    // A byte taken by a call that then failed for another reason is a
    // failed port all the same.
    if (written == 1) return succeeded || (sliced && timed_out) ? byte_written : write_failed;
    if (written == 0 && sliced && (succeeded || timed_out)) return slice_ended;
    return write_failed;
}

bool port_open(PortConnection& port, const char* name, PortProfile profile, int write_timeout_ms,
               int wait_report_ms) {
    port = PortConnection{};
    port.write_timeout_ms = write_timeout_ms;
    port.wait_report_ms = wait_report_ms;
    end_wait(port);
    port.failure.problem = port_no_problem;
    if (is_remote_port_name(name)) return remote_port_open(port, name, profile);
    std::string local_name;
    if (!port_resolve(name, "/", local_name, port.failure)) {
        port.handle = -1;  // nothing open, as both local backends write it
        return false;
    }
    if (local_name != name) port.resolved_name = local_name;
    return local_port_open(port, local_name.c_str(), profile);
}

// The network backend waits inside its calls: TCP takes megabytes before a
// held line holds up a write, so there is no hold worth showing.
PortWriteResult port_write_byte(PortConnection& port, unsigned char value) {
    if (port.remote) return remote_port_write_byte(port, value) ? port_write_done : port_write_failed;
    return local_port_write_byte(port, value);
}

// RFC 2217 cannot ask how much the server or the remote driver holds.
long port_output_queued(PortConnection& port) { return port.remote ? -1 : local_port_output_queued(port); }

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

void port_purge_earlier_input(PortConnection& port) {
    if (port.remote) {
        remote_port_purge_earlier_input(port);
    } else {
        local_port_purge_input(port);
    }
}

PortWriteResult port_drain_output(PortConnection& port) {
    if (port.remote) return remote_port_drain_output(port) ? port_write_done : port_write_failed;
    return local_port_drain_output(port);
}

long long port_line_time_left_ms(PortConnection& port) { return port.remote ? remote_port_line_time_left_ms(port) : 0; }

void port_close(PortConnection& port) {
    if (port.remote) {
        remote_port_close(port);
    } else {
        local_port_close(port);
    }
}
