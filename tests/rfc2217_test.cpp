// The telnet and COM port option pieces of the network backend, without a
// socket: what goes out, and how what comes in is taken apart.
#include <gtest/gtest.h>

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
