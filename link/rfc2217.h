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
// SET-CONTROL values: outbound flow control, and inbound (what the remote
// driver itself sends to the device when its input fills).
constexpr unsigned char control_no_flow = 1, control_xon_xoff = 2, control_no_inbound_flow = 14;
constexpr unsigned char purge_receive = 1;  // the access server's receive buffer

// The longest subnegotiation kept, option byte included, after unescaping.
// A COM port answer is a command byte and at most four value bytes; a
// server's signature is a line of text.
constexpr std::size_t longest_subnegotiation = 128;

// A data byte as it goes on the connection: 0xFF doubled.
void append_data(std::vector<unsigned char>& out, unsigned char byte);
// IAC verb option.
void append_negotiation(std::vector<unsigned char>& out, unsigned char verb, unsigned char option);
// IAC SB COM-PORT-OPTION command value... IAC SE, 0xFF in the value doubled.
void append_com_port(std::vector<unsigned char>& out, unsigned char command, const std::vector<unsigned char>& value);
// A 32-bit value, most significant byte first, as SET-BAUDRATE takes it.
std::vector<unsigned char> big_endian(std::uint32_t value);

// Which setting a COM port command or answer is about. SET-CONTROL carries
// several (outbound and inbound flow control, BREAK, DTR, RTS) told apart
// by the value; every other command carries one.
unsigned char subject_of(unsigned char command, const std::vector<unsigned char>& value);

// What the parser set aside besides data.
struct Event {
    unsigned char verb;                  // will, wont, do_, dont, or sb for a subnegotiation
    unsigned char option;
    std::vector<unsigned char> payload;  // a subnegotiation's bytes after the option, unescaped
    std::size_t data_before;             // data bytes of the same parse() call that came before it
};

// Takes the received byte stream apart across any number of pieces. What
// it keeps between pieces is bounded: one command in progress, at most
// longest_subnegotiation bytes.
struct Parser {
    enum State { data, after_iac, after_verb, in_sub, in_sub_after_iac } state = data;
    unsigned char verb = 0;
    std::vector<unsigned char> sub;  // option then payload
    bool broken = false;             // a subnegotiation outgrew longest_subnegotiation
};

// Appends the data bytes of `bytes` to `data` and every command to `events`;
// other telnet commands (NOP, GA, ...) are dropped. Returns false, and takes
// nothing more from then on, once the server has sent a subnegotiation
// longer than longest_subnegotiation.
bool parse(Parser& parser, const unsigned char* bytes, std::size_t size, std::vector<unsigned char>& data,
           std::vector<Event>& events);

}  // namespace rfc2217
