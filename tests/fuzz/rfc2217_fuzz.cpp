// libFuzzer target: the telnet / COM port option parser takes whatever a
// server sends. Every input must parse without a crash or a sanitizer's
// report, keep no more than longest_subnegotiation bytes between pieces,
// and give the same data and commands however TCP cuts the stream.
//
// The first byte of an input says where the stream is cut; the rest is the
// stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "link/rfc2217.h"

namespace {

using namespace rfc2217;

struct Outcome {
    std::vector<unsigned char> data;
    std::vector<Event> events;
    bool broken = false;
};

void require(bool holds) {
    if (!holds) std::abort();
}

Outcome parse_in_pieces(const std::uint8_t* stream, std::size_t size, std::size_t piece) {
    Outcome outcome;
    Parser parser;
    for (std::size_t at = 0; at < size && !outcome.broken; at += piece) {
        const std::size_t length = size - at < piece ? size - at : piece;
        outcome.broken = !parse(parser, stream + at, length, outcome.data, outcome.events);
        // What is kept between pieces stays bounded.
        require(parser.sub.size() <= longest_subnegotiation);
        require(outcome.broken == parser.broken);
    }
    return outcome;
}

bool same(const Event& a, const Event& b) {
    return a.verb == b.verb && a.option == b.option && a.payload == b.payload;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t piece = 1 + input[0] % 17;
    const std::uint8_t* stream = input + 1;
    const std::size_t length = size - 1;

    const Outcome whole = parse_in_pieces(stream, length, length == 0 ? 1 : length);
    const Outcome cut = parse_in_pieces(stream, length, piece);
    require(whole.broken == cut.broken);
    require(whole.data.size() <= length);
    if (!whole.broken) {
        // A broken stream stops where the piece in hand ends; a whole one
        // must come out the same however it was cut.
        require(whole.data == cut.data);
        require(whole.events.size() == cut.events.size());
        for (std::size_t i = 0; i < whole.events.size(); ++i) require(same(whole.events[i], cut.events[i]));
    }
    for (const Event& event : whole.events) {
        require(event.payload.size() < longest_subnegotiation);
        require(event.data_before <= whole.data.size());
        if (event.verb == sb && !event.payload.empty()) {
            subject_of(event.payload[0], std::vector<unsigned char>(event.payload.begin() + 1, event.payload.end()));
        }
    }
    return 0;
}
