#include "wire/nibble.h"

#include <cstdio>

NibblePair split_byte(unsigned char file_byte) {
    return NibblePair{static_cast<unsigned char>((file_byte >> 4) & 0x0F),
                      static_cast<unsigned char>(file_byte & 0x0F)};
}

bool send_nibble_pair(PortConnection& port, unsigned char file_byte) {
    const NibblePair pair = split_byte(file_byte);
    if (!port_write_byte(port, pair.high)) return false;
    if (!port_write_byte(port, pair.low)) return false;
    std::printf("%02x %02x\n", pair.high, pair.low);
    // The echo follows the wire also when stdout is a pipe or a log file.
    std::fflush(stdout);
    return true;
}

bool send_terminator(PortConnection& port) { return port_write_byte(port, terminator_byte); }
