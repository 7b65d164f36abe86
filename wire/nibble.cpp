#include "wire/nibble.h"

#include "cli/echo.h"

NibblePair split_byte(unsigned char file_byte) {
    return NibblePair{static_cast<unsigned char>((file_byte >> 4) & 0x0F),
                      static_cast<unsigned char>(file_byte & 0x0F)};
}

bool send_nibble_pair(PortConnection& port, unsigned char file_byte) {
    const NibblePair pair = split_byte(file_byte);
    if (!port_write_byte(port, pair.high)) return false;
    if (!port_write_byte(port, pair.low)) return false;
    // "%02x %02x": each nibble is below 16, so two digits are "0" and one hex digit.
    static const char hex_digits[] = "0123456789abcdef";
    const char line[] = {'0', hex_digits[pair.high], ' ', '0', hex_digits[pair.low], '\n'};
    echo_line(line, sizeof line);
    return true;
}

bool send_terminator(PortConnection& port) { return port_write_byte(port, terminator_byte); }
