#include "tests/support/fake_rfc2217.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <algorithm>
#include <map>
#include <utility>

#include "tests/support/ser2net.h"

namespace testing_support {

namespace {

constexpr std::uint8_t iac = 255, sb = 250, se = 240, will = 251, wont = 252, do_ = 253, dont = 254;
constexpr std::uint8_t com_port = 44, binary = 0;
constexpr int set_up_settings = 6;  // speed, data bits, parity, stop bits, outbound and inbound flow control

using Bytes = std::vector<std::uint8_t>;

// The client's byte stream taken apart: a telnet reading of its own, so
// that a fault in the programs' parser cannot hide in the server's.
struct ClientStream {
    enum { data, after_iac, after_verb, in_sub, in_sub_after_iac } state = data;
    Bytes sub;
    bool negotiated = false;
};

Bytes answer(std::uint8_t command, const Bytes& value) {
    Bytes out = {iac, sb, com_port, static_cast<std::uint8_t>(command + 100)};
    for (std::uint8_t byte : value) {
        out.push_back(byte);
        if (byte == iac) out.push_back(iac);
    }
    out.insert(out.end(), {iac, se});
    return out;
}

bool is_query(std::uint8_t command, const Bytes& value) {
    if (value.empty()) return true;
    if (command == 1) return value == Bytes{0, 0, 0, 0};
    if (command == 5) return value[0] == 0 || value[0] == 4 || value[0] == 7 || value[0] == 10 || value[0] == 13;
    return value[0] == 0;
}

// Which setting of SET-CONTROL a value is about: 0 outbound flow control,
// 1 inbound, 2 anything else.
int control_subject(std::uint8_t value) {
    if (value <= 3 || (value >= 17 && value <= 19)) return 0;
    if (value >= 13 && value <= 16) return 1;
    return 2;
}

}  // namespace

FakeRfc2217Server::FakeRfc2217Server(Behaviour behaviour, bool acknowledge_blocks)
    : behaviour_(behaviour), acknowledge_blocks_(acknowledge_blocks) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    port_ = bind_to_loopback(listener_);
    listen(listener_, 1);
    worker_ = std::thread([this] { serve(); });
}

FakeRfc2217Server::~FakeRfc2217Server() {
    stop_ = true;
    worker_.join();
    close(listener_);
}

std::vector<std::uint8_t> FakeRfc2217Server::data() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return data_;
}

void FakeRfc2217Server::serve() {
    int client = -1;
    while (!stop_ && client < 0) {
        pollfd entry{listener_, POLLIN, 0};
        if (poll(&entry, 1, 20) > 0) client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    }
    if (client < 0) return;

    enum Flood { no_flood, data_flood, command_flood, subnegotiation_flood } flood = no_flood;
    bool reading = true;
    Bytes out;
    std::size_t out_at = 0;
    ClientStream stream;
    int settings_answered = 0;
    std::vector<Bytes> held_back;  // set-up answers, for answers_reversed
    std::map<std::pair<std::uint8_t, int>, Bytes> line = {{{1, 0}, {0, 0, 0x25, 0x80}}};  // 9600 baud to start with
    std::size_t block_bytes = 0;
    auto last_data = std::chrono::steady_clock::now();
    const bool at_line_speed = behaviour_ == reads_at_line_speed || behaviour_ == held_after_240_bytes;
    std::chrono::steady_clock::time_point set_up_at{};
    std::size_t read_since_set_up = 0;  // raw bytes
    std::size_t data_read = 0;

    const auto start_flood = [&](Flood kind) {
        flood = kind;
        reading = false;
        if (kind == subnegotiation_flood) out.insert(out.end(), {iac, sb, com_port});
    };
    const auto after_set_up = [&] {
        set_up_at = std::chrono::steady_clock::now();
        if (behaviour_ == answers_reversed) {
            for (auto it = held_back.rbegin(); it != held_back.rend(); ++it) out.insert(out.end(), it->begin(), it->end());
        }
        switch (behaviour_) {
        case stale_answer_then_deaf: {
            const Bytes extra = answer(1, line[{1, 0}]);
            out.insert(out.end(), extra.begin(), extra.end());
            reading = false;
            break;
        }
        case deaf: reading = false; break;
        default: break;
        }
    };
    // The floods after set-up begin with the transfer, once the client has
    // taken the answers and sent data; the device behind a server that has
    // stopped reading acknowledges nothing more.
    const auto at_first_data = [&] {
        switch (behaviour_) {
        case flood_data: start_flood(data_flood); break;
        case flood_commands: start_flood(command_flood); break;
        case endless_subnegotiation: start_flood(subnegotiation_flood); break;
        default: break;
        }
    };
    const auto command = [&](const Bytes& sub) {
        if (sub.size() < 2 || sub[0] != com_port || sub[1] >= 100) return;
        const std::uint8_t code = sub[1];
        const Bytes value(sub.begin() + 2, sub.end());
        const int subject = code == 5 && !value.empty() ? control_subject(value[0]) : 0;
        if (!is_query(code, value)) line[{code, subject}] = value;
        Bytes given = line.count({code, subject}) ? line[{code, subject}] : value;
        if (behaviour_ == refuses_inbound_off && code == 5 && value == Bytes{14}) given = {15};
        const Bytes reply = answer(code, given);
        if (settings_answered < set_up_settings) {
            ++settings_answered;
            if (behaviour_ == answers_reversed) {
                held_back.push_back(reply);
            } else {
                out.insert(out.end(), reply.begin(), reply.end());
            }
            if (settings_answered == set_up_settings) after_set_up();
            return;
        }
        out.insert(out.end(), reply.begin(), reply.end());
    };
    const auto take = [&](const std::uint8_t* bytes, std::size_t size) {
        Bytes data;
        // The floods after set-up begin at the first data byte, before the
        // server reads anything after it.
        const auto take_data = [&](std::uint8_t byte) {
            if (data_read + data.size() == 0) at_first_data();
            if (reading) data.push_back(byte);
        };
        for (std::size_t i = 0; i < size && reading; ++i) {
            const std::uint8_t byte = bytes[i];
            switch (stream.state) {
            case ClientStream::data:
                if (byte == iac) {
                    stream.state = ClientStream::after_iac;
                } else {
                    take_data(byte);
                }
                break;
            case ClientStream::after_iac:
                if (byte == iac) {
                    take_data(iac);
                    stream.state = ClientStream::data;
                } else if (byte == sb) {
                    stream.sub.clear();
                    stream.state = ClientStream::in_sub;
                } else if (byte >= will && byte <= dont) {
                    stream.state = ClientStream::after_verb;
                } else {
                    stream.state = ClientStream::data;
                }
                break;
            case ClientStream::after_verb:
                stream.state = ClientStream::data;
                if (stream.negotiated) break;
                stream.negotiated = true;
                switch (behaviour_) {
                case flood_data_in_set_up: start_flood(data_flood); break;
                case flood_commands_in_set_up: start_flood(command_flood); break;
                case endless_subnegotiation_in_set_up: start_flood(subnegotiation_flood); break;
                default: out.insert(out.end(), {iac, will, binary, iac, do_, binary, iac, do_, com_port}); break;
                }
                break;
            case ClientStream::in_sub:
                if (byte == iac) {
                    stream.state = ClientStream::in_sub_after_iac;
                } else {
                    stream.sub.push_back(byte);
                }
                break;
            case ClientStream::in_sub_after_iac:
                if (byte == iac) {
                    stream.sub.push_back(iac);
                    stream.state = ClientStream::in_sub;
                } else {
                    stream.state = ClientStream::data;
                    if (byte == se) command(stream.sub);
                }
                break;
            }
        }
        if (data.empty()) return;
        last_data = std::chrono::steady_clock::now();
        data_read += data.size();
        if (behaviour_ == held_after_240_bytes && data_read >= 240) reading = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            data_.insert(data_.end(), data.begin(), data.end());
        }
        // The block sender's device: 0x90 after every 2048 wire bytes.
        block_bytes += data.size();
        for (; acknowledge_blocks_ && block_bytes >= 2048; block_bytes -= 2048) out.push_back(0x90);
    };

    unsigned char buffer[4096];
    while (!stop_) {
        if (flood != no_flood && out.size() - out_at < 65536) {
            static const std::uint8_t flood_unit[3] = {iac, will, 1};
            for (int i = 0; i < 65536 / 3; ++i) {
                if (flood == command_flood) {
                    out.insert(out.end(), flood_unit, flood_unit + 3);
                } else {
                    out.insert(out.end(), 3, flood == data_flood ? 0x55 : 'A');
                }
            }
        }
        // ... and the end of a short block, once the line has been quiet.
        if (acknowledge_blocks_ && reading && block_bytes > 0 &&
            std::chrono::steady_clock::now() - last_data > std::chrono::milliseconds(200)) {
            block_bytes = 0;
            out.push_back(0x90);
        }
        std::size_t may_read = sizeof buffer;
        if (at_line_speed && set_up_at != std::chrono::steady_clock::time_point{}) {
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - set_up_at).count();
            const auto due = static_cast<std::size_t>(seconds * 120);
            may_read = std::min(may_read, due > read_since_set_up ? due - read_since_set_up : 0);
        }
        const bool wants_input = reading && may_read > 0;
        pollfd entry{client, static_cast<short>((wants_input ? POLLIN : 0) | (out_at < out.size() ? POLLOUT : 0)), 0};
        if (poll(&entry, 1, wants_input || out_at < out.size() ? 20 : 5) < 0) break;
        if (entry.revents & POLLIN) {
            const ssize_t n = recv(client, buffer, may_read, 0);
            if (n <= 0) break;
            if (set_up_at != std::chrono::steady_clock::time_point{}) read_since_set_up += static_cast<std::size_t>(n);
            take(buffer, static_cast<std::size_t>(n));
        }
        if (entry.revents & POLLOUT) {
            const ssize_t n = send(client, out.data() + out_at, out.size() - out_at, MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN) break;
            if (n > 0) {
                out_at += static_cast<std::size_t>(n);
                if (flood != no_flood) flooded_ += static_cast<std::size_t>(n);
            }
            if (out_at == out.size() || out_at > (1u << 20)) {
                out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(out_at));
                out_at = 0;
            }
        }
        if (entry.revents & (POLLERR | POLLHUP)) break;
    }
    close(client);
}

}  // namespace testing_support
