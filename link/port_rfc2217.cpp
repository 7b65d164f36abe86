// Network backend of the serial port: a port served by ser2net (or any
// RFC 2217 server) as rfc2217://HOST:PORT.
//
// Telnet carries the data both ways with 0xFF doubled, and the COM port
// option sets the remote line. Every setting is checked against the
// server's answer before a data byte is sent. Modem lines (DTR/RTS) are
// never asked for: ser2net on a pseudo-terminal does not answer those.
//
// Whatever arrives while we write is taken in and parsed as we go, so that
// a server that stops is noticed even while our output is held, and the
// server is never blocked by output of its own that we leave unread.
//
// Data bytes are left to TCP to gather (one segment per byte costs twice
// the CPU); before anything that waits for the other side, whether the
// server's answer or the device's reply, what TCP holds back is pushed.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "link/backend.h"
#include "link/rfc2217.h"

struct RemotePort {
    rfc2217::Parser parser;
    std::vector<unsigned char> received;  // data bytes not yet read
    std::size_t read_at = 0;
    std::vector<rfc2217::Event> events;   // commands not yet looked at
    std::string address;                  // for the reasons: host:port
    bool data_held = false;               // data bytes sent since the last push
};

namespace {

using namespace rfc2217;

constexpr int connect_timeout_ms = 5000;
constexpr int answer_timeout_ms = 5000;
constexpr int read_timeout_ms = 1000;
constexpr std::size_t received_limit = 1 << 20;  // what the stream sender never reads, at most

// Takes in whatever has arrived. Returns false when the connection is gone.
bool take_in(PortConnection& port) {
    RemotePort& remote = *port.remote;
    unsigned char chunk[4096];
    for (;;) {
        const long n = net_receive(port.handle, chunk, sizeof chunk);
        if (n == -2) return true;
        if (n == 0) return fail(port, port_gone, "the server closed the connection");
        if (n < 0) return fail(port, port_gone, net_last_error());
        if (remote.read_at > 0 && remote.read_at == remote.received.size()) {
            remote.received.clear();
            remote.read_at = 0;
        }
        std::vector<unsigned char> data;
        parse(remote.parser, chunk, static_cast<std::size_t>(n), data, remote.events);
        // Past the limit the newest bytes are dropped, as a full driver buffer does.
        const std::size_t room = received_limit - std::min(received_limit, remote.received.size() - remote.read_at);
        remote.received.insert(remote.received.end(), data.begin(), data.begin() + std::min(room, data.size()));
    }
}

// Sends all of `bytes`, taking in what arrives meanwhile. With a limit
// (> 0), a connection that takes nothing for that long is a time-out.
bool send_all(PortConnection& port, const unsigned char* bytes, std::size_t size, int timeout_ms) {
    std::size_t sent = 0;
    long long moved_at = net_now_ms();
    while (sent < size) {
        const long n = net_send(port.handle, bytes + sent, size - sent);
        if (n < 0) return fail(port, port_gone, net_last_error());
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            moved_at = net_now_ms();
            continue;
        }
        int wait_ms = -1;
        if (timeout_ms > 0) {
            wait_ms = static_cast<int>(moved_at + timeout_ms - net_now_ms());
            if (wait_ms <= 0) return fail(port, port_timed_out, "");
        }
        bool readable = false;
        const NetWait wait = net_wait(port.handle, true, wait_ms, readable);
        if (wait == net_failed) return fail(port, port_gone, net_last_error());
        if (wait == net_quiet) return fail(port, port_timed_out, "");
        if (readable && !take_in(port)) return false;
    }
    return true;
}

// Sends what TCP holds back of ours now.
bool push(PortConnection& port) {
    if (!net_push(port.handle)) return fail(port, port_gone, net_last_error());
    port.remote->data_held = false;
    return true;
}

// A command goes out at once, with every data byte before it.
bool send_command(PortConnection& port, const std::vector<unsigned char>& bytes, int timeout_ms) {
    return send_all(port, bytes.data(), bytes.size(), timeout_ms) && push(port);
}

// Waits for the server's answer to a COM port command, taking in data and
// other commands meanwhile. `limit_ms` < 0: no limit. Returns false with
// port_timed_out when no answer came in time.
bool await_answer(PortConnection& port, unsigned char command, std::vector<unsigned char>& value, int limit_ms) {
    RemotePort& remote = *port.remote;
    const long long deadline = net_now_ms() + limit_ms;
    for (;;) {
        for (std::size_t i = 0; i < remote.events.size(); ++i) {
            const Event& event = remote.events[i];
            if (event.verb == sb && event.option == option_com_port && !event.payload.empty() &&
                event.payload[0] == command + server_offset) {
                value.assign(event.payload.begin() + 1, event.payload.end());
                remote.events.erase(remote.events.begin(), remote.events.begin() + static_cast<long>(i) + 1);
                return true;
            }
        }
        remote.events.clear();  // notifications and answers we did not wait for
        int wait_ms = -1;
        if (limit_ms >= 0) {
            wait_ms = static_cast<int>(deadline - net_now_ms());
            if (wait_ms <= 0) return fail(port, port_timed_out, "");
        }
        bool readable = false;
        const NetWait wait = net_wait(port.handle, false, wait_ms, readable);
        if (wait == net_failed) return fail(port, port_gone, net_last_error());
        if (wait == net_quiet) return fail(port, port_timed_out, "");
        if (!take_in(port)) return false;
    }
}

// The telnet options: BINARY both ways and the COM port option, our part
// of it. Options the server offers or asks for that we do not want are
// refused once each.
bool negotiate(PortConnection& port) {
    RemotePort& remote = *port.remote;
    std::vector<unsigned char> out;
    append_negotiation(out, will, option_binary);
    append_negotiation(out, do_, option_binary);
    append_negotiation(out, will, option_com_port);
    if (!send_command(port, out, answer_timeout_ms)) return false;

    bool server_binary = false, client_binary = false, com_port = false;
    std::vector<unsigned char> refused_will(256), refused_do(256);
    const long long deadline = net_now_ms() + answer_timeout_ms;
    while (!(server_binary && client_binary && com_port)) {
        out.clear();
        for (const Event& event : remote.events) {
            if (event.verb == do_) {
                if (event.option == option_binary) {
                    client_binary = true;
                } else if (event.option == option_com_port) {
                    com_port = true;
                } else if (!refused_will[event.option]) {
                    refused_will[event.option] = 1;
                    append_negotiation(out, wont, event.option);
                }
            } else if (event.verb == will) {
                if (event.option == option_binary) {
                    server_binary = true;
                } else if (!refused_do[event.option]) {
                    refused_do[event.option] = 1;
                    append_negotiation(out, dont, event.option);
                }
            } else if (event.verb == dont || event.verb == wont) {
                if (event.option == option_com_port && event.verb == dont) {
                    return fail(port, port_not_rfc2217, remote.address + " refuses the COM port option");
                }
                if (event.option == option_binary) {
                    return fail(port, port_not_rfc2217, remote.address + " refuses binary transmission");
                }
            }
        }
        remote.events.clear();
        if (!out.empty() && !send_command(port, out, answer_timeout_ms)) return false;
        if (server_binary && client_binary && com_port) break;
        const int wait_ms = static_cast<int>(deadline - net_now_ms());
        bool readable = false;
        const NetWait wait = wait_ms > 0 ? net_wait(port.handle, false, wait_ms, readable) : net_quiet;
        if (wait == net_failed) return fail(port, port_gone, net_last_error());
        if (wait == net_quiet) {
            return fail(port, port_not_rfc2217,
                        remote.address + " does not speak RFC 2217 (no COM port option within " +
                            std::to_string(answer_timeout_ms / 1000) + " s)");
        }
        if (!take_in(port)) return false;
    }
    return true;
}

struct Setting {
    unsigned char command;
    std::vector<unsigned char> value;
    const char* name;  // as the refusal names it
};

bool configure(PortConnection& port, PortProfile profile) {
    const Setting settings[] = {
        {set_baudrate, big_endian(1200), "1200 baud"},
        {set_datasize, {8}, "8 data bits"},
        {set_parity, {parity_none}, "no parity"},
        {set_stopsize, {stopsize_one}, "one stop bit"},
        {set_control, {profile == stream_profile ? control_xon_xoff : control_no_flow},
         profile == stream_profile ? "XON/XOFF flow control on" : "flow control off"},
    };
    std::vector<unsigned char> out;
    for (const Setting& setting : settings) append_com_port(out, setting.command, setting.value);
    if (!send_command(port, out, answer_timeout_ms)) return false;
    for (const Setting& setting : settings) {
        std::vector<unsigned char> answer;
        if (!await_answer(port, setting.command, answer, answer_timeout_ms)) {
            if (port.failure.problem != port_timed_out) return false;
            return fail(port, port_setting_refused,
                        std::string(setting.name) + " (" + port.remote->address + " did not answer)");
        }
        if (answer != setting.value) return fail(port, port_setting_refused, setting.name);
    }
    return true;
}

void drop_connection(PortConnection& port) {
    if (port.remote) net_close(port.handle);
    delete port.remote;
    port.remote = nullptr;
    port.handle = -1;
}

// After a time-out, what is still on its way must not reach the device
// later, as a local port's queue is flushed: the connection will be reset
// rather than closed, which throws away what the server has not yet taken.
// What it has taken (ser2net: as much as its socket's receive buffer holds,
// 128 KiB or more) it goes on passing to the device once the line moves.
bool give_up_if_timed_out(PortConnection& port) {
    if (port.failure.problem != port_timed_out) return false;
    net_discard_unsent(port.handle);
    port.failure.detail = "the server may still pass on what it had taken";
    return false;
}

}  // namespace

bool remote_port_open(PortConnection& port, const char* name, PortProfile profile) {
    port.handle = -1;

    // The command line has refused a malformed name already.
    RemoteAddress parsed;
    std::string problem;
    if (!parse_remote_address(name, parsed, problem)) return fail(port, port_other, problem);
    const std::string& host = parsed.host;
    const std::string& service = parsed.service;
    const std::string address = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + service;
    std::string error;
    std::intptr_t socket = -1;
    if (!net_connect(host, service, connect_timeout_ms, socket, error)) {
        return fail(port, port_unreachable, "cannot reach " + address + ": " + error);
    }
    port.handle = socket;
    port.remote = new RemotePort;
    port.remote->address = address;
    if (!negotiate(port) || !configure(port, profile)) {
        if (port.failure.problem == port_gone) {
            port.failure = {port_not_rfc2217, address + " closed the connection while the port was being set up (" +
                                                  port.failure.detail + ")"};
        } else if (port.failure.problem == port_timed_out) {
            port.failure = {port_not_rfc2217, address + " does not answer"};
        }
        drop_connection(port);
        return false;
    }
    return true;
}

bool remote_port_write_byte(PortConnection& port, unsigned char value) {
    port.transfer_buffer = value;
    // No allocation per byte: this is the one call made for every wire byte.
    const unsigned char out[2] = {value, value};
    if (!send_all(port, out, value == iac ? 2 : 1, port.write_timeout_ms)) {
        port.transfer_count = 0;
        return give_up_if_timed_out(port);
    }
    port.transfer_count = 1;
    port.remote->data_held = true;
    return true;
}

PortReadResult remote_port_read_byte(PortConnection& port) {
    RemotePort& remote = *port.remote;
    const long long deadline = net_now_ms() + read_timeout_ms;
    for (;;) {
        remote.events.clear();
        if (remote.read_at < remote.received.size()) {
            port.transfer_buffer = remote.received[remote.read_at++];
            port.transfer_count = 1;
            return port_read_done;
        }
        const int wait_ms = static_cast<int>(deadline - net_now_ms());
        if (wait_ms <= 0) {
            port.transfer_count = 0;  // quiet line: the buffer keeps its byte
            return port_read_done;
        }
        // The device may be waiting for our last bytes before it answers.
        if (remote.data_held && !push(port)) return port_read_failed;
        bool readable = false;
        const NetWait wait = net_wait(port.handle, false, wait_ms, readable);
        if (wait == net_failed) {
            fail(port, port_gone, net_last_error());
            return port_read_failed;
        }
        if (wait == net_ready && !take_in(port)) return port_read_failed;
    }
}

// The server's receive buffer is purged, and then everything that came
// before its answer is thrown away too: bytes it had already sent on their
// way to us must not count either. A server that does not answer in a
// second leaves us with what arrived meanwhile thrown away.
void remote_port_purge_input(PortConnection& port) {
    RemotePort& remote = *port.remote;
    std::vector<unsigned char> out;
    append_com_port(out, purge_data, {purge_receive});
    std::vector<unsigned char> answer;
    if (send_command(port, out, port.write_timeout_ms)) await_answer(port, purge_data, answer, read_timeout_ms);
    // A failure here shows at the next read or write, as on a local port.
    remote.received.clear();
    remote.read_at = 0;
}

// RFC 2217 cannot ask how much the server or the remote driver still
// holds. What it can tell: the server answers commands in the order it
// reads them, so an answer to a query sent after the last data byte means
// the server has taken every byte before it off the connection. It may
// still be writing the last of them to its port (see README, "Ports on
// other machines", for what ser2net does with them once we have gone).
bool remote_port_drain_output(PortConnection& port) {
    std::vector<unsigned char> out;
    append_com_port(out, set_baudrate, big_endian(0));  // 0: tell the speed, change nothing
    const int limit_ms = port.write_timeout_ms > 0 ? port.write_timeout_ms : -1;
    if (!send_command(port, out, port.write_timeout_ms)) return give_up_if_timed_out(port);
    std::vector<unsigned char> answer;
    if (!await_answer(port, set_baudrate, answer, limit_ms)) {
        if (port.failure.problem == port_gone) port.failure.problem = port_drain_failed;
        return give_up_if_timed_out(port);
    }
    return true;
}

void remote_port_close(PortConnection& port) { drop_connection(port); }
