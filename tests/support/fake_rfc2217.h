// A small RFC 2217 server on 127.0.0.1, on a thread of its own, for the
// faults a network client must survive: Debian's ser2net is well-behaved,
// this one misbehaves on command. It serves one connection: it agrees to
// BINARY and the COM port option, answers every COM port command in the
// order it reads them (a setting with the value set, a query with the value
// held) and takes the data, until its behaviour says otherwise. For the
// block sender it plays the device too: 0x90 after every block.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

class FakeRfc2217Server {
public:
    enum Behaviour {
        healthy,
        // As ser2net in front of a real line at 1200 baud: it reads the
        // connection no faster than the line takes the data, 120 bytes a
        // second; "held": the device holds the line after 240 bytes for good.
        reads_at_line_speed,
        held_after_240_bytes,
        // Set-up is the client's negotiation and the six line settings.
        stale_answer_then_deaf,  // one more SET-BAUDRATE answer after set-up, then reads nothing
        answers_reversed,        // the set-up answers in reverse order (SET-DATASIZE before SET-BAUDRATE)
        refuses_inbound_off,     // answers "no inbound flow control" with inbound XON/XOFF
        deaf,                    // after set-up reads nothing more
        flood_data,              // after set-up sends data without end, and reads nothing
        flood_commands,          // after set-up sends IAC WILL 1 without end, and reads nothing
        endless_subnegotiation,  // after set-up opens a subnegotiation and never ends it
        flood_data_in_set_up,    // instead of answering the negotiation: data without end
        flood_commands_in_set_up,
        endless_subnegotiation_in_set_up,
    };

    FakeRfc2217Server(Behaviour behaviour, bool acknowledge_blocks);
    ~FakeRfc2217Server();
    FakeRfc2217Server(const FakeRfc2217Server&) = delete;
    FakeRfc2217Server& operator=(const FakeRfc2217Server&) = delete;

    std::string address() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }
    // The data bytes the server has read, unescaped.
    std::vector<std::uint8_t> data() const;
    // Bytes the server has sent of a flood.
    std::size_t flooded() const { return flooded_; }

private:
    void serve();

    Behaviour behaviour_;
    bool acknowledge_blocks_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> flooded_{0};
    mutable std::mutex mutex_;
    std::vector<std::uint8_t> data_;
    std::thread worker_;
};

}  // namespace testing_support
