// The backends behind link/port.h, for link/port.cpp to choose from: the
// serial ports of this machine (termios or Win32, one per build) and ports
// served over the network (rfc2217://). Each function does what its
// namesake in link/port.h promises.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "link/port.h"

// Records why a call failed, for the caller to tell. Returns false.
bool fail(PortConnection& port, PortProblem problem, std::string detail);

// A write or drain that waits for the line, as both local backends watch
// it. The driver wakes a writer only once its queue is nearly empty (an
// 8250's 4 KiB take half a minute at 1200 baud), so a line that moves can
// keep one write waiting for many seconds: only the queue tells a moving
// line from a held one, and a waiting call looks at it at least once a
// second. `now_ms` is the backend's own clock.
//
// At each look: the hold grows while the queue stays as it was, and starts
// again when it moves.
void look_at_queue(PortConnection& port, long queued, long long now_ms);
// The hold has lasted the whole write time-out.
bool held_too_long(const PortConnection& port);
// How long to wait before the next look.
int next_look_ms(const PortConnection& port);
// Whether a call that has waited so long comes back to its caller now.
bool time_to_report(const PortConnection& port, long long waited_ms);
// The wait is over: nothing waits any more.
void end_wait(PortConnection& port);
// A write or drain fails: the wait is over, `failure` says why.
PortWriteResult fail_wait(PortConnection& port, PortProblem problem, std::string detail);

// How a one-byte write call on Windows ended, from what it returned:
// whether the call succeeded, the count written, whether its error was a
// time-out, and whether writes have a time-out (a slice of a longer wait)
// at all. A slice that ends has written nothing, and drivers differ in
// whether they call that success or a time-out; Wine shows only one of
// them, so every case is a row of a table test.
enum OneByteWrite { byte_written, slice_ended, write_failed };
OneByteWrite judge_one_byte_write(bool succeeded, unsigned long written, bool timed_out, bool sliced);

// The open functions get a blank connection with its write time-out set
// and set `handle` to their own "nothing open".
bool local_port_open(PortConnection& port, const char* name, PortProfile profile);
PortWriteResult local_port_write_byte(PortConnection& port, unsigned char value);
long local_port_output_queued(PortConnection& port);
PortReadResult local_port_read_byte(PortConnection& port);
void local_port_purge_input(PortConnection& port);
PortWriteResult local_port_drain_output(PortConnection& port);
void local_port_close(PortConnection& port);

constexpr char remote_port_prefix[] = "rfc2217://";

bool remote_port_open(PortConnection& port, const char* name, PortProfile profile);
bool remote_port_write_byte(PortConnection& port, unsigned char value);
PortReadResult remote_port_read_byte(PortConnection& port);
void remote_port_purge_input(PortConnection& port);
void remote_port_purge_earlier_input(PortConnection& port);
bool remote_port_drain_output(PortConnection& port);
long long remote_port_line_time_left_ms(PortConnection& port);
void remote_port_close(PortConnection& port);

// The sockets under the network backend, one file per platform. Sockets are
// non-blocking; every wait has a limit in ms (negative: none).
enum NetWait { net_ready, net_quiet, net_failed };

// Looks the host up and connects to host:service, both within timeout_ms: a
// name lookup that runs past it is abandoned. A numeric address is not
// looked up at all. On failure, `error` says why in the system's words.
bool net_connect(const std::string& host, const std::string& service, int timeout_ms, std::intptr_t& socket,
                 std::string& error);
// Waits until the socket can be read, or (want_write) written, or has failed.
// `readable` tells which of the two it was when both were asked for.
NetWait net_wait(std::intptr_t socket, bool want_write, int timeout_ms, bool& readable);
// Sends what the socket takes now: the count (0 when it is full), -3 when
// the other side has closed or reset the connection, or -1.
long net_send(std::intptr_t socket, const unsigned char* data, std::size_t size);
// Receives what has arrived: the count, 0 when the other side closed, -3
// when it reset the connection, -1 on any other failure, -2 when nothing is
// there yet.
long net_receive(std::intptr_t socket, unsigned char* data, std::size_t size);
// Sends at once what the socket holds back to gather small writes into one
// segment (Nagle's algorithm, left on for the data bytes).
bool net_push(std::intptr_t socket);
// Makes the close reset the connection: what is still queued for sending is
// thrown away rather than delivered.
void net_discard_unsent(std::intptr_t socket);
void net_close(std::intptr_t socket);
std::string net_last_error();
