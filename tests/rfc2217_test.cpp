// The telnet and COM port option pieces of the network backend, without a
// socket: what goes out, and how what comes in is taken apart.
#include <gtest/gtest.h>

#include <algorithm>

#include "link/rfc2217.h"

using namespace rfc2217;
using Bytes = std::vector<unsigned char>;

namespace {

TEST(Rfc2217, DataBytesGoOutAsTheyAreButTheTelnetEscapeIsDoubled) {
    Bytes out;
    for (unsigned char byte : {0x00, 0x10, 0x90, 0xF0, 0xFE, 0xFF}) append_data(out, byte);
    EXPECT_EQ(out, (Bytes{0x00, 0x10, 0x90, 0xF0, 0xFE, 0xFF, 0xFF}));
}

TEST(Rfc2217, ComPortCommandsAreSubnegotiationsWithTheirValueEscaped) {
    Bytes out;
    append_com_port(out, set_baudrate, big_endian(1200));
    EXPECT_EQ(out, (Bytes{255, 250, 44, 1, 0x00, 0x00, 0x04, 0xB0, 255, 240}));
    out.clear();
    append_com_port(out, set_baudrate, big_endian(0x00FFFF00));  // 0xFF in a value is escaped too
    EXPECT_EQ(out, (Bytes{255, 250, 44, 1, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 255, 240}));
    out.clear();
    append_com_port(out, set_control, {control_xon_xoff});
    append_negotiation(out, will, option_binary);
    EXPECT_EQ(out, (Bytes{255, 250, 44, 5, 2, 255, 240, 255, 251, 0}));
}

TEST(Rfc2217, ParserSetsCommandsAsideAndKeepsOnlyData) {
    const Bytes stream = {0x41, 255, 255, 255, 251, 0,                 // data A, 0xFF; WILL BINARY
                          0x90, 255, 250, 44, 101, 0, 0, 4, 176, 255, 240,  // data; answer to SET-BAUDRATE
                          255, 241, 0x10,                              // NOP; data
                          255, 250, 44, 107, 255, 255, 255, 240};      // a notification with 0xFF in it
    Parser parser;
    Bytes data;
    std::vector<Event> events;
    parse(parser, stream.data(), stream.size(), data, events);
    EXPECT_EQ(data, (Bytes{0x41, 0xFF, 0x90, 0x10}));
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].verb, will);
    EXPECT_EQ(events[0].option, option_binary);
    EXPECT_EQ(events[1].verb, sb);
    EXPECT_EQ(events[1].option, option_com_port);
    EXPECT_EQ(events[1].payload, (Bytes{101, 0, 0, 4, 176}));
    EXPECT_EQ(events[2].payload, (Bytes{107, 255}));
}

// TCP cuts the stream anywhere: byte by byte gives the same as in one piece.
TEST(Rfc2217, ParserGivesTheSameResultWhateverThePieces) {
    const Bytes stream = {1, 255, 255, 2, 255, 253, 44, 255, 250, 44, 112, 1, 255, 240, 3, 255, 255};
    Parser whole;
    Bytes whole_data;
    std::vector<Event> whole_events;
    parse(whole, stream.data(), stream.size(), whole_data, whole_events);

    Parser pieces;
    Bytes piece_data;
    std::vector<Event> piece_events;
    for (unsigned char byte : stream) parse(pieces, &byte, 1, piece_data, piece_events);
    EXPECT_EQ(piece_data, whole_data);
    EXPECT_EQ(whole_data, (Bytes{1, 255, 2, 3, 255}));
    ASSERT_EQ(piece_events.size(), whole_events.size());
    ASSERT_EQ(whole_events.size(), 2u);
    EXPECT_EQ(piece_events[1].payload, (Bytes{112, 1}));
    EXPECT_EQ(piece_events[0].verb, do_);
}

}  // namespace

// Where each command stood among the data: a purge's answer throws away
// exactly the data that came before it.
TEST(Rfc2217, EachCommandKnowsHowMuchDataCameBeforeIt) {
    const Bytes stream = {1, 2, 255, 251, 0, 3, 255, 250, 44, 112, 1, 255, 240, 4, 5};
    Parser parser;
    Bytes data = {9, 9};  // left from before: not counted
    std::vector<Event> events;
    ASSERT_TRUE(parse(parser, stream.data(), stream.size(), data, events));
    EXPECT_EQ(data, (Bytes{9, 9, 1, 2, 3, 4, 5}));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].data_before, 2u);
    EXPECT_EQ(events[1].data_before, 3u);
}

// What the parser keeps between pieces is bounded: a subnegotiation longer
// than any answer breaks the stream, however it is cut up, and nothing is
// taken after it.
TEST(Rfc2217, ASubnegotiationLongerThanAnyAnswerBreaksTheStream) {
    struct Case {
        const char* what;
        std::size_t length;  // bytes after IAC SB, the option included
        bool broken;
    };
    for (const Case c : {Case{"longest kept", longest_subnegotiation, false},
                         Case{"one more", longest_subnegotiation + 1, true},
                         Case{"never closed", 1 << 20, true}}) {
        Bytes stream = {255, 250};
        stream.insert(stream.end(), c.length, 0x41);
        // An escaped 0xFF counts once, as it is kept.
        stream[2] = 255;
        stream.insert(stream.begin() + 3, 255);
        stream.insert(stream.end(), {255, 240, 7});
        for (const std::size_t piece : {stream.size(), std::size_t{1}, std::size_t{100}}) {
            Parser parser;
            Bytes data;
            std::vector<Event> events;
            bool ok = true;
            for (std::size_t at = 0; at < stream.size() && ok; at += piece) {
                ok = parse(parser, stream.data() + at, std::min(piece, stream.size() - at), data, events);
            }
            EXPECT_EQ(!ok, c.broken) << c.what << " in pieces of " << piece;
            EXPECT_EQ(parser.broken, c.broken) << c.what;
            EXPECT_LE(parser.sub.capacity(), 2 * longest_subnegotiation) << c.what;
            EXPECT_EQ(data, c.broken ? Bytes{} : Bytes{7}) << c.what << " in pieces of " << piece;
            EXPECT_EQ(events.size(), c.broken ? 0u : 1u) << c.what;
        }
    }
}

// SET-CONTROL carries several settings, told apart by the value; an answer
// goes to the question about the same one.
TEST(Rfc2217, EachControlValueIsAboutOneSetting) {
    struct Row {
        unsigned char value;
        unsigned char same_as;  // a value about the same setting
    };
    for (const Row row : {Row{0, 2}, Row{1, 2}, Row{3, 19}, Row{17, 1}, Row{4, 6}, Row{7, 9}, Row{10, 12},
                          Row{13, 14}, Row{15, 16}}) {
        EXPECT_EQ(subject_of(set_control, {row.value}), subject_of(set_control, {row.same_as})) << int(row.value);
    }
    EXPECT_NE(subject_of(set_control, {control_no_inbound_flow}), subject_of(set_control, {control_xon_xoff}));
    EXPECT_NE(subject_of(set_control, {control_no_flow}), subject_of(set_control, {5}));
    EXPECT_NE(subject_of(set_control, {}), subject_of(set_control, {1}));
    EXPECT_EQ(subject_of(set_baudrate, big_endian(0)), subject_of(set_baudrate, big_endian(1200)));
}
