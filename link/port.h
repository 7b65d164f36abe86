// The serial port that both senders talk through: one connection per
// process, opened once, closed once at the end of the run.
//
// Every transfer passes through the connection's one-byte transfer buffer and
// records its byte count in the transfer count. A read that receives nothing
// therefore leaves the buffer holding the byte last written or received; the
// block sender prints exactly that.
//
// No function here prints or exits: each failure is described in the
// connection's `failure`, and the caller decides what to say.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Which flow control the device uses to pace the host.
enum PortProfile {
    stream_profile,  // the device holds and releases our output with XOFF/XON
    block_profile    // no handshake at all: the device paces us by acknowledging blocks
};

enum PortProblem {
    port_no_problem,
    port_not_found,        // no such port
    port_no_access,        // the user may not open it
    port_in_use,           // another program has it
    port_not_serial,       // it exists but is no serial port
    port_setting_refused,  // the port did not take a line setting: `detail` names it
    port_gone,             // unplugged, hung up or closed by the other side
    port_drain_failed,     // the port failed after the terminator was queued
    port_timed_out,        // a write stayed blocked for the whole time limit
    port_unreachable,      // rfc2217://: no server answered at the address (`detail` says why)
    port_not_rfc2217,      // rfc2217://: the server does not speak the COM port protocol
    port_bad_identity,     // usb:...: not of the form usb:VID:PID[:SERIAL]
    port_no_adapter,       // usb:...: no port's adapter has that identity (`candidates`: the USB ports there are)
    port_several_adapters, // usb:...: more than one has it (`candidates`: those)
    port_server_closed,    // rfc2217://: the server closed the connection during set-up (`detail`: its words, if any)
    port_bad_answer,       // rfc2217://: the server sent a malformed or oversized answer
    port_other             // anything else: `detail` has the system's words
};

// A USB serial adapter's identity: what `-p usb:VID:PID[:SERIAL]` names. It
// stays the same whichever socket the adapter is plugged into, where the
// COM number or ttyUSB number does not.
struct UsbIdentity {
    std::string vendor;   // four lower-case hexadecimal digits
    std::string product;  // the same
    std::string serial;   // as the adapter reports it; empty when it has none
};

// One serial port of this machine, as the system describes it.
struct SerialPortInfo {
    std::string name;         // what -p takes: COM7, \\.\CNCA0, /dev/ttyUSB0
    std::string description;  // Windows: its friendly name, or the device behind the name; Linux: the driver
    bool usb = false;         // a USB adapter, with its identity
    UsbIdentity identity;
    std::string maker;        // who made it, and on Linux the product as the adapter names it
    std::string stable_name;  // Linux: the /dev/serial/by-id/ name, which survives replugging
};

struct PortFailure {
    PortProblem problem;
    std::string detail;  // the system's own words, or the setting refused
    std::vector<SerialPortInfo> candidates = {};  // usb:... names: the adapters to choose from
    // port_timed_out on a port served over the network: what stood still is
    // the connection, which looks the same whether the device holds the
    // line or the server stopped reading; and what the server had already
    // taken may still reach the device.
    bool via_server = false;
};

struct RemotePort;  // the state of an rfc2217:// connection (link/port_rfc2217.cpp)

struct PortConnection {
    std::intptr_t handle;          // file descriptor on POSIX, HANDLE on Win32, or the socket
    RemotePort* remote;            // null for a port of this machine
    unsigned char transfer_buffer;
    std::uint32_t transfer_count;
    int write_timeout_ms;          // 0: a held line is waited for as long as it takes
    // 0: a write or drain waits inside the call until it is done. Otherwise
    // one that waits comes back after about this long (port_write_waiting),
    // so that the caller can show the wait; a port on the network never does.
    int wait_report_ms;
    // While a write or drain waits: how long the port has taken nothing and
    // its output queue has not moved (the device holds the line). 0 while
    // the line moves.
    long long held_ms;
    // The backend's bookkeeping of that wait: when (its own clock, ms) the
    // queue last moved, and its size then; -1 while nothing waits.
    long long still_since_ms;
    long queue_seen;
    PortFailure failure;           // why the last call that failed did so
    std::string resolved_name;     // the port a usb: name stands for, once found
};

// A port served over the network: "rfc2217://HOST:PORT", the scheme in any
// letter case, HOST a name, an IPv4 address or an IPv6 address in brackets.
struct RemoteAddress {
    std::string host;     // without brackets
    std::string service;  // the port number, 1 to 65535, in decimal
};

bool is_remote_port_name(const char* name);

// Reads a remote port's name. Returns false, with `problem` saying what is
// wrong with it in words for the user, when it is malformed.
bool parse_remote_address(const char* name, RemoteAddress& address, std::string& problem);

// Opens and configures the named port: a serial port of this machine, one
// named by its adapter's identity ("usb:VID:PID" or "usb:VID:PID:SERIAL",
// see port_resolve), or "rfc2217://HOST:PORT" for one served over the
// network (ser2net's telnet COM-PORT-OPTION). Either way 1200 baud 8N1,
// the profile's flow control, reads that give up after about 1000 ms. A
// usb: name's port is in `resolved_name` once found. Returns false, with
// `failure` set and nothing left open, when the port cannot be opened or
// refuses a setting; nothing has been sent then. `wait_report_ms`: see
// PortConnection.
bool port_open(PortConnection& port, const char* name, PortProfile profile, int write_timeout_ms,
               int wait_report_ms = 0);

enum PortWriteResult {
    port_write_done,     // the byte is written (the drain: everything has left)
    port_write_waiting,  // not yet, after wait_report_ms: `held_ms` says whether the line moves; call again
    port_write_failed    // `failure` says why
};

// Writes one byte through the transfer buffer. Waits while the device holds
// the line, for at most write_timeout_ms when that is set, counted from
// when the line last moved (a byte taken, the output queue shorter), across
// the calls of one byte.
// After port_write_waiting, call again with the same byte to go on. Fails
// when the port has failed or the time ran out; what was still queued is
// then thrown away, so that nothing trickles out after we gave up. A server
// on the network may still pass on what it had already taken: after a
// time-out `failure.detail` says so then, and is empty otherwise.
PortWriteResult port_write_byte(PortConnection& port, unsigned char value);

// Bytes written and not yet on the line as the port's driver counts them;
// -1 when the port cannot tell (a port on the network).
long port_output_queued(PortConnection& port);

enum PortReadResult {
    port_read_done,    // transfer_count is 1 (a byte arrived) or 0 (about a second passed)
    port_read_failed   // the port is gone: hung up, unplugged or closed by the other side
};

// Reads at most one byte into the transfer buffer, giving up after about 1000 ms.
PortReadResult port_read_byte(PortConnection& port);

// Throws away everything received and not yet read; leaves sending alone.
void port_purge_input(PortConnection& port);

// Before a run's first byte: throws away everything the device sent before
// now, also what a server on the network had taken from it but not yet
// passed on (ser2net gathers what the device sends for a few character
// times, and its purge leaves that alone). Through a server this takes up
// to a tenth of a second.
void port_purge_earlier_input(PortConnection& port);

// Waits until every byte written has left the port, so that a finished run
// means the data is on the line rather than still queued in the driver
// (which could discard it when the process ends). With a write time-out, a
// queue that does not shrink for that long is a time-out, with the queue
// thrown away as port_write_byte does. port_write_waiting as for a write:
// call again to go on waiting.
PortWriteResult port_drain_output(PortConnection& port);

// How much longer, at the least, the line needs for what it has been given,
// in ms. A port of this machine: 0, since port_drain_output waits for the
// line itself. A port on another machine: the server may have taken bytes
// that its line, at 1200 baud, cannot have sent yet; a time limit that
// counts from when everything has left the port starts that much later.
long long port_line_time_left_ms(PortConnection& port);

// Gives the port back: nothing of ours keeps others out of it afterwards.
void port_close(PortConnection& port);

// For a handler of a fatal signal (POSIX) or of Ctrl-C (Windows, on a
// thread of its own): undoes what would keep others out of the open port
// once we are gone, and on Windows throws away what is still queued for
// it. Async-signal-safe.
void port_release_on_signal();

// The serial ports of this machine, in the order of their names (COM2
// before COM10). `system_root` is "/" except in tests, which point it at a
// made-up tree (POSIX only; Windows reads its registry).
std::vector<SerialPortInfo> port_list(const std::string& system_root);

// The port a name stands for: for "usb:VID:PID[:SERIAL]" (any letter case)
// the name of the one port in port_list(system_root) whose adapter has that
// identity; any other name unchanged. False, with `failure` saying why,
// when the identity is malformed or no port or more than one has it.
bool port_resolve(const std::string& name, const std::string& system_root, std::string& port_name,
                  PortFailure& failure);

// What resets the settings that the port keeps from whoever set them last
// and that can hold the line (Windows: the DSR handshake, which users set
// with mode), as a command to type; empty where nothing of the kind is kept
// (POSIX sets every flow control termios has) or the name is no COM port.
std::string settings_reset_command(const std::string& name);
