#include "link/rfc2217.h"

namespace rfc2217 {

namespace {

// A subnegotiation that never ends, or ends only after megabytes, is no
// answer of any server we talk to: past the limit the stream is broken.
void keep_in_sub(Parser& parser, unsigned char byte) {
    if (parser.sub.size() >= longest_subnegotiation) {
        parser.broken = true;
        parser.sub.clear();
        return;
    }
    parser.sub.push_back(byte);
}

}  // namespace

void append_data(std::vector<unsigned char>& out, unsigned char byte) {
    out.push_back(byte);
    if (byte == iac) out.push_back(iac);
}

void append_negotiation(std::vector<unsigned char>& out, unsigned char verb, unsigned char option) {
    out.insert(out.end(), {iac, verb, option});
}

void append_com_port(std::vector<unsigned char>& out, unsigned char command, const std::vector<unsigned char>& value) {
    out.insert(out.end(), {iac, sb, option_com_port, command});
    for (unsigned char byte : value) append_data(out, byte);
    out.insert(out.end(), {iac, se});
}

std::vector<unsigned char> big_endian(std::uint32_t value) {
    return {static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
            static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
}

unsigned char subject_of(unsigned char command, const std::vector<unsigned char>& value) {
    if (command != set_control) return 0;
    if (value.empty()) return 255;
    const unsigned char v = value[0];
    if (v <= 3 || (v >= 17 && v <= 19)) return 1;  // outbound flow control (17..19: by DCD, DSR, CTS)
    if (v <= 6) return 2;                           // BREAK
    if (v <= 9) return 3;                           // DTR
    if (v <= 12) return 4;                          // RTS
    if (v <= 16) return 5;                          // inbound flow control
    return 255;
}

bool parse(Parser& parser, const unsigned char* bytes, std::size_t size, std::vector<unsigned char>& data,
           std::vector<Event>& events) {
    const std::size_t data_at_start = data.size();
    const auto data_so_far = [&] { return data.size() - data_at_start; };
    for (std::size_t i = 0; i < size && !parser.broken; ++i) {
        const unsigned char byte = bytes[i];
        switch (parser.state) {
        case Parser::data:
            if (byte == iac) {
                parser.state = Parser::after_iac;
            } else {
                data.push_back(byte);
            }
            break;
        case Parser::after_iac:
            if (byte == iac) {
                data.push_back(iac);
                parser.state = Parser::data;
            } else if (byte == will || byte == wont || byte == do_ || byte == dont) {
                parser.verb = byte;
                parser.state = Parser::after_verb;
            } else if (byte == sb) {
                parser.sub.clear();
                parser.state = Parser::in_sub;
            } else {
                parser.state = Parser::data;  // NOP, GA, a stray SE: nothing for us
            }
            break;
        case Parser::after_verb:
            events.push_back(Event{parser.verb, byte, {}, data_so_far()});
            parser.state = Parser::data;
            break;
        case Parser::in_sub:
            if (byte == iac) {
                parser.state = Parser::in_sub_after_iac;
            } else {
                keep_in_sub(parser, byte);
            }
            break;
        case Parser::in_sub_after_iac:
            if (byte == iac) {
                keep_in_sub(parser, iac);
                parser.state = Parser::in_sub;
            } else if (byte == se) {
                if (!parser.sub.empty()) {
                    events.push_back(Event{sb, parser.sub[0],
                                           std::vector<unsigned char>(parser.sub.begin() + 1, parser.sub.end()),
                                           data_so_far()});
                }
                parser.sub.clear();
                parser.state = Parser::data;
            } else {
                // IAC and anything but SE inside a subnegotiation: the sender
                // broke it off; take the byte as a new command.
                parser.sub.clear();
                parser.state = Parser::after_iac;
                --i;
            }
            break;
        }
    }
    return !parser.broken;
}

}  // namespace rfc2217
