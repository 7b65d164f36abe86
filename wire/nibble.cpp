#include "wire/nibble.h"

NibblePair split_byte(unsigned char file_byte) {
    return NibblePair{static_cast<unsigned char>((file_byte >> 4) & 0x0F),
                      static_cast<unsigned char>(file_byte & 0x0F)};
}

OutgoingPair start_pair(unsigned char file_byte) { return OutgoingPair{split_byte(file_byte), 0}; }

PortWriteResult send_nibble_pair(PortConnection& port, OutgoingPair& outgoing) {
    while (outgoing.written < 2) {
        const unsigned char nibble = outgoing.written == 0 ? outgoing.pair.high : outgoing.pair.low;
        const PortWriteResult result = port_write_byte(port, nibble);
        if (result != port_write_done) return result;
        ++outgoing.written;
    }
    return port_write_done;
}

PortWriteResult send_terminator(PortConnection& port) { return port_write_byte(port, terminator_byte); }
