// The serial port that both senders talk through: one connection per
// process, opened once and released by process end.
//
// Every transfer passes through the connection's one-byte transfer buffer and
// records its byte count in the transfer count. A read that receives nothing
// therefore leaves the buffer holding the byte last written or received; the
// block sender prints exactly that.
#pragma once

#include <cstdint>

// Which flow control the device uses to pace the host.
enum PortProfile {
    stream_profile,  // the device holds and releases our output with XOFF/XON
    block_profile    // no handshake at all: the device paces us by acknowledging blocks
};

struct PortConnection {
    std::intptr_t handle;         // file descriptor on POSIX, HANDLE on Win32
    unsigned char transfer_buffer;
    std::uint32_t transfer_count;
};

// Opens and configures the port. If the port cannot be opened (missing, in
// use, no access) it prints "Open Error!" on stderr and ends the process with
// status 1, having touched no setting.
PortConnection port_open(PortProfile profile);

// Writes one byte through the transfer buffer. Blocks for as long as the
// device holds the line. Returns false when the port has failed.
bool port_write_byte(PortConnection& port, unsigned char value);

enum PortReadResult {
    port_read_done,    // transfer_count is 1 (a byte arrived) or 0 (about a second passed)
    port_read_failed   // the port is gone: hung up, unplugged or closed by the other side
};

// Reads at most one byte into the transfer buffer, giving up after about 1000 ms.
PortReadResult port_read_byte(PortConnection& port);

// Throws away everything received and not yet read; leaves sending alone.
void port_purge_input(PortConnection& port);

// Waits until every byte written has left the port, so that a finished run
// means the data is on the line rather than still queued in the driver
// (which could discard it when the process ends). Returns false when the
// port has failed.
bool port_drain_output(PortConnection& port);
