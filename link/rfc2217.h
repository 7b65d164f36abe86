// The telnet and COM-PORT-OPTION (RFC 2217) pieces of the network backend
// that need no socket: what we send, and how what arrives is taken apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rfc2217 {

constexpr unsigned char iac = 255, dont = 254, do_ = 253, wont = 252, will = 251, sb = 250, se = 240;
constexpr unsigned char option_binary = 0, option_com_port = 44;

// Client commands; the server answers each with the command plus 100.
constexpr unsigned char set_baudrate = 1, set_datasize = 2, set_parity = 3, set_stopsize = 4, set_control = 5,
                        purge_data = 12;
constexpr unsigned char server_offset = 100;
constexpr unsigned char parity_none = 1, stopsize_one = 1;
constexpr unsigned char control_no_flow = 1, control_xon_xoff = 2;
constexpr unsigned char purge_receive = 1;  // the access server's receive buffer

// A data byte as it goes on the connection: 0xFF doubled.
void append_data(std::vector<unsigned char>& out, unsigned char byte);
// IAC verb option.
void append_negotiation(std::vector<unsigned char>& out, unsigned char verb, unsigned char option);
// IAC SB COM-PORT-OPTION command value... IAC SE, 0xFF in the value doubled.
void append_com_port(std::vector<unsigned char>& out, unsigned char command, const std::vector<unsigned char>& value);
// A 32-bit value, most significant byte first, as SET-BAUDRATE takes it.
std::vector<unsigned char> big_endian(std::uint32_t value);

// What the parser set aside besides data.
struct Event {
    unsigned char verb;                  // will, wont, do_, dont, or sb for a subnegotiation
    unsigned char option;
    std::vector<unsigned char> payload;  // a subnegotiation's bytes after the option, unescaped
};

// Takes the received byte stream apart across any number of pieces.
struct Parser {
    enum State { data, after_iac, after_verb, in_sub, in_sub_after_iac } state = data;
    unsigned char verb = 0;
    std::vector<unsigned char> sub;  // option then payload
};

// Appends the data bytes of `bytes` to `data` and every command to `events`;
// other telnet commands (NOP, GA, ...) are dropped.
void parse(Parser& parser, const unsigned char* bytes, std::size_t size, std::vector<unsigned char>& data,
           std::vector<Event>& events);

}  // namespace rfc2217
