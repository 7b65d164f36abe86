// The bytes on the line. Each file byte travels as a nibble pair: its high
// four bits, then its low four bits, each as a wire byte 0x00..0x0F. The
// transfer ends with the terminator 0x10. No other value is ever sent, so no
// data byte can look like the terminator or like the device's XON/XOFF.
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

// Writes the pair (one write per wire byte, high nibble first), then echoes
// the line "hh ll" on standard output. Returns false as soon as a write
// fails; nothing is echoed for a pair that did not go out.
bool send_nibble_pair(PortConnection& port, unsigned char file_byte);

// Writes the terminator. It has no echo line.
bool send_terminator(PortConnection& port);
