// The bytes on the line. Each file byte travels as a nibble pair: its high
// four bits, then its low four bits, each as a wire byte 0x00..0x0F. The
// transfer ends with the terminator 0x10. No other value is ever sent, so no
// data byte can look like the terminator or like the device's XON/XOFF.
//
// This layer only puts bytes on the port; what is said about them (the
// echo, the progress) is the command line's.
#pragma once

#include "link/port.h"

constexpr unsigned char terminator_byte = 0x10;
constexpr unsigned char acknowledgement_byte = 0x90;
constexpr int block_length = 1024;  // file bytes per block of the block sender

struct NibblePair {
    unsigned char high;
    unsigned char low;
};

NibblePair split_byte(unsigned char file_byte);

// A pair on its way out: which pair, and how many of its two wire bytes
// have been written.
struct OutgoingPair {
    NibblePair pair;
    int written;
};

OutgoingPair start_pair(unsigned char file_byte);

// Writes what is left of the pair, one write per wire byte, high nibble
// first. port_write_done once both have gone; port_write_waiting while the
// line is held (see port_write_byte): call again with the same pair to go
// on; port_write_failed as soon as a write fails.
PortWriteResult send_nibble_pair(PortConnection& port, OutgoingPair& outgoing);

// Writes the terminator, as port_write_byte does.
PortWriteResult send_terminator(PortConnection& port);
