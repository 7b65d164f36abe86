#include "link/rfc2217.h"

namespace rfc2217 {

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

void parse(Parser& parser, const unsigned char* bytes, std::size_t size, std::vector<unsigned char>& data,
           std::vector<Event>& events) {
    for (std::size_t i = 0; i < size; ++i) {
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
            events.push_back(Event{parser.verb, byte, {}});
            parser.state = Parser::data;
            break;
        case Parser::in_sub:
            if (byte == iac) {
                parser.state = Parser::in_sub_after_iac;
            } else {
                parser.sub.push_back(byte);
            }
            break;
        case Parser::in_sub_after_iac:
            if (byte == iac) {
                parser.sub.push_back(iac);
                parser.state = Parser::in_sub;
            } else if (byte == se) {
                if (!parser.sub.empty()) {
                    events.push_back(Event{sb, parser.sub[0], std::vector<unsigned char>(parser.sub.begin() + 1,
                                                                                         parser.sub.end())});
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
}

}  // namespace rfc2217
