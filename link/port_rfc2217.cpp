// Network backend of the serial port: a port served by ser2net (or any
// RFC 2217 server) as rfc2217://HOST:PORT.
//
// Telnet carries the data both ways with 0xFF doubled, and the COM port
// option sets the remote line. Every setting is checked against the
// server's answer before a data byte is sent. Modem lines (DTR/RTS) are
// never asked for: ser2net on a pseudo-terminal does not answer those.
//
// Answers carry no number, so each is tied to its question: an answer
// counts only for a question of its kind that was asked, in full, before
// it arrived; the oldest such question takes it. Answers that match no
// question (late, repeated, never asked for) are read and ignored.
//
// How far the data has got is known from the server alone: it answers
// commands in the order it reads them, so the answer to a query (a
// "marker") sent after a data byte means the server has read that byte off
// the connection. A marker goes out every marker_interval bytes, and we
// never run more than `window` bytes ahead of the last one answered. That
// keeps what sits in the buffers on the way small, so that a held line
// shows as answers that stop coming, within seconds rather than after
// the server's socket buffer (128 KiB: 18 minutes at 1200 baud) has filled.
//
// A time limit on a remote port counts from when nothing has moved (no
// marker answered, the socket took nothing), and never ends before the
// remote line, at 120 bytes a second, could have sent everything the
// server has read and then the bytes before the next marker: the server
// may hold bytes that are fine but still queued, and one that reads no
// faster than its line answers the next marker only then.
//
// Whatever arrives is taken in at most one buffer at a time between two
// looks at the clock, so that a server that floods us cannot hold the
// program past any limit; what is kept from it is bounded (received data,
// one subnegotiation, a handful of questions). We also take in whatever
// has arrived at every marker, so the server is never blocked by output of
// its own that we leave unread.
//
// Data bytes are left to TCP to gather (one segment per byte costs twice
// the CPU); before anything that waits for the other side, whether the
// server's answer or the device's reply, what TCP holds back is pushed.
#include <algorithm>
#include <vector>

#include "link/backend.h"
#include "link/clock.h"
#include "link/rfc2217.h"

struct RemotePort {
    struct Question {
        enum Kind { setting, marker, purge } kind;
        unsigned long long number;  // in the order asked
        unsigned char command;
        unsigned char subject;      // see rfc2217::subject_of
        unsigned long long position;  // marker: the data bytes handed over before it
        bool answered;
        std::vector<unsigned char> answer;  // setting: the value the server answered
    };

    rfc2217::Parser parser;
    std::vector<unsigned char> received;  // data bytes not yet read
    std::size_t read_at = 0;
    std::vector<unsigned char> turn_data;  // one turn's data and commands, reused
    std::vector<rfc2217::Event> turn_events;
    std::vector<Question> asked;           // questions not yet answered
    unsigned long long questions = 0;      // asked so far
    std::string address;                   // for the reasons: host:port
    bool data_held = false;                // data bytes sent since the last push
    bool closed_by_server = false;

    // Telnet options: what the server has agreed to, and what we refused.
    bool server_binary = false, client_binary = false, com_port = false;
    unsigned char refused[256] = {};
    std::vector<unsigned char> replies;  // refusals not yet sent

    // How far the data has got, in data bytes.
    unsigned long long handed = 0;     // to TCP
    unsigned long long marked = 0;     // before the last marker
    unsigned long long confirmed = 0;  // read by the server: before the last marker it answered
    // The earliest moment (monotonic_ms) the remote line can have sent all
    // that the server has read, and when the data last moved.
    long long line_free_at = 0;
    long long moved_at = 0;
};

namespace {

using namespace rfc2217;
using Question = RemotePort::Question;

constexpr int connect_timeout_ms = 5000;
constexpr int answer_timeout_ms = 5000;
constexpr int read_timeout_ms = 1000;
// Longer than ser2net gathers what the device sends before passing it on:
// two character times, at most 20 ms, unless configured otherwise.
constexpr int server_gathering_ms = 100;
constexpr std::size_t received_limit = 1 << 20;  // what the stream sender never reads, at most
constexpr std::size_t turn_bytes = 4096;         // taken in between two looks at the clock
constexpr unsigned long long marker_interval = 128;  // about a second of the line
constexpr unsigned long long window = 1024;      // 8.5 s of the line at 1200 baud
constexpr unsigned long long line_bytes_per_second = 120;  // 1200 baud, 8N1
constexpr std::size_t most_purges_asked = 8;
constexpr std::size_t longest_server_words = 120;

long long line_time_ms(unsigned long long bytes) {
    return static_cast<long long>((bytes * 1000 + line_bytes_per_second - 1) / line_bytes_per_second);
}

// When a wait for the data to move gives up (monotonic_ms), or -1 for never:
// the write time-out after the last movement, and not before the line has
// had time for everything the server has read, and then for the bytes
// before the next marker: a server that reads no faster than its line
// answers that marker only then.
long long give_up_at(const PortConnection& port) {
    if (port.write_timeout_ms <= 0) return -1;
    const RemotePort& remote = *port.remote;
    unsigned long long next_marker = remote.confirmed;
    for (const Question& q : remote.asked) {
        if (q.kind == Question::marker) {
            next_marker = q.position;
            break;
        }
    }
    return std::max(remote.moved_at, remote.line_free_at) + line_time_ms(next_marker - remote.confirmed) +
           port.write_timeout_ms;
}

void keep_data(RemotePort& remote, const unsigned char* bytes, std::size_t size) {
    if (size == 0) return;
    if (remote.read_at > 0 && remote.read_at == remote.received.size()) {
        remote.received.clear();
        remote.read_at = 0;
    }
    // Past the limit the newest bytes are dropped, as a full driver buffer does.
    const std::size_t room = received_limit - std::min(received_limit, remote.received.size() - remote.read_at);
    remote.received.insert(remote.received.end(), bytes, bytes + std::min(room, size));
}

// An answer to a COM port command: the oldest question it can answer takes it.
void take_answer(RemotePort& remote, unsigned char command, std::vector<unsigned char> value) {
    const unsigned char subject = subject_of(command, value);
    const auto question = std::find_if(remote.asked.begin(), remote.asked.end(), [&](const Question& q) {
        return !q.answered && q.command == command && q.subject == subject;
    });
    if (question == remote.asked.end()) return;  // late, repeated, or never asked for
    switch (question->kind) {
    case Question::setting:
        question->answered = true;
        question->answer = std::move(value);
        break;
    case Question::marker: {
        // The server has read everything before this marker, and so
        // everything before the markers asked earlier. Its line cannot
        // send those bytes faster than 120 a second from now.
        if (question->position > remote.confirmed) {
            const long long now = monotonic_ms();
            const unsigned long long read = question->position - remote.confirmed;
            remote.line_free_at = std::max(remote.line_free_at, now) + line_time_ms(read);
            remote.confirmed = question->position;
            remote.moved_at = now;
        }
        const unsigned long long number = question->number;
        remote.asked.erase(std::remove_if(remote.asked.begin(), remote.asked.end(),
                                          [number](const Question& q) {
                                              return q.kind == Question::marker && q.number <= number;
                                          }),
                           remote.asked.end());
        break;
    }
    case Question::purge:
        // Everything that came before the answer is thrown away: bytes the
        // server had sent on their way to us before it purged count as
        // little as those it purged.
        remote.received.clear();
        remote.read_at = 0;
        remote.asked.erase(question);
        break;
    }
}

// Answers the server's telnet negotiation and takes its answers. Returns
// false when the server turns off what the transfer needs.
bool handle(PortConnection& port, const Event& event) {
    RemotePort& remote = *port.remote;
    if (event.verb == do_) {
        if (event.option == option_binary) {
            remote.client_binary = true;
        } else if (event.option == option_com_port) {
            remote.com_port = true;
        } else if (!(remote.refused[event.option] & 1)) {
            remote.refused[event.option] |= 1;
            append_negotiation(remote.replies, wont, event.option);
        }
    } else if (event.verb == will) {
        if (event.option == option_binary) {
            remote.server_binary = true;
        } else if (!(remote.refused[event.option] & 2)) {
            remote.refused[event.option] |= 2;
            append_negotiation(remote.replies, dont, event.option);
        }
    } else if (event.verb == dont || event.verb == wont) {
        if (event.option == option_com_port && event.verb == dont) {
            return fail(port, port_not_rfc2217, remote.address + " refuses the COM port option");
        }
        if (event.option == option_binary) {
            return fail(port, port_not_rfc2217, remote.address + " refuses binary transmission");
        }
    } else if (event.verb == sb && event.option == option_com_port && !event.payload.empty() &&
               event.payload[0] >= server_offset) {
        take_answer(remote, static_cast<unsigned char>(event.payload[0] - server_offset),
                    std::vector<unsigned char>(event.payload.begin() + 1, event.payload.end()));
    }
    return true;
}

// Takes in at most one buffer's worth of what has arrived, in order: data,
// negotiation, answers. Returns false when the connection is gone or the
// server broke the protocol.
bool take_in(PortConnection& port) {
    RemotePort& remote = *port.remote;
    unsigned char chunk[turn_bytes];
    const long n = net_receive(port.handle, chunk, sizeof chunk);
    if (n == -2) return true;
    if (n == 0 || n == -3) {
        remote.closed_by_server = true;
        return fail(port, port_gone, n == 0 ? "the server closed the connection" : net_last_error());
    }
    if (n < 0) return fail(port, port_gone, net_last_error());
    remote.turn_data.clear();
    remote.turn_events.clear();
    if (!parse(remote.parser, chunk, static_cast<std::size_t>(n), remote.turn_data, remote.turn_events)) {
        return fail(port, port_bad_answer, "");
    }
    std::size_t kept = 0;
    for (const Event& event : remote.turn_events) {
        keep_data(remote, remote.turn_data.data() + kept, event.data_before - kept);
        kept = event.data_before;
        if (!handle(port, event)) return false;
    }
    keep_data(remote, remote.turn_data.data() + kept, remote.turn_data.size() - kept);
    return true;
}

enum Turn { turn_failed, turn_quiet, turn_ready };

// One turn: waits until something arrives, or (want_write) until there is
// room to send, but not past `until` (monotonic_ms; negative: no limit), then
// takes in at most one buffer's worth.
Turn turn(PortConnection& port, long long until, bool want_write = false) {
    int wait_ms = -1;
    if (until >= 0) {
        const long long left = until - monotonic_ms();
        if (left <= 0) return turn_quiet;
        wait_ms = static_cast<int>(std::min<long long>(left, 60 * 60 * 1000));
    }
    bool readable = false;
    const NetWait wait = net_wait(port.handle, want_write, wait_ms, readable);
    if (wait == net_failed) {
        fail(port, port_gone, net_last_error());
        return turn_failed;
    }
    if (wait == net_quiet) return turn_quiet;
    if (readable && !take_in(port)) return turn_failed;
    return turn_ready;
}

bool timed_out(PortConnection& port) {
    fail(port, port_timed_out, "");
    port.failure.via_server = true;
    return false;
}

// Sends all of `bytes`, taking in what arrives meanwhile. With a write
// time-out, a connection that takes nothing for that long (see give_up_at)
// is a time-out.
bool send_all(PortConnection& port, const unsigned char* bytes, std::size_t size) {
    std::size_t sent = 0;
    bool blocked = false;
    while (sent < size) {
        const long n = net_send(port.handle, bytes + sent, size - sent);
        if (n == -3) port.remote->closed_by_server = true;
        if (n < 0) return fail(port, port_gone, net_last_error());
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            if (blocked) port.remote->moved_at = monotonic_ms();
            continue;
        }
        if (!blocked) {
            blocked = true;
            port.remote->moved_at = monotonic_ms();
        }
        const Turn result = turn(port, give_up_at(port), true);
        if (result == turn_failed) return false;
        if (result == turn_quiet) return timed_out(port);
    }
    return true;
}

// Sends what TCP holds back of ours now.
bool push(PortConnection& port) {
    if (!net_push(port.handle)) return fail(port, port_gone, net_last_error());
    port.remote->data_held = false;
    return true;
}

// Sends our refusals of the server's telnet options, if any. Never between
// the two bytes of an escaped 0xFF: only from the waits.
bool send_replies(PortConnection& port) {
    RemotePort& remote = *port.remote;
    if (remote.replies.empty()) return true;
    const std::vector<unsigned char> replies = std::move(remote.replies);
    remote.replies.clear();
    return send_all(port, replies.data(), replies.size()) && push(port);
}

// Asks a question: the command goes out at once, with every data byte
// before it, and only then is it waited for, so that no answer that came
// before can count for it.
bool ask(PortConnection& port, Question::Kind kind, unsigned char command, const std::vector<unsigned char>& value,
         bool push_now = true) {
    RemotePort& remote = *port.remote;
    std::vector<unsigned char> out;
    append_com_port(out, command, value);
    if (!send_all(port, out.data(), out.size())) return false;
    if (push_now && !push(port)) return false;
    remote.asked.push_back(
        Question{kind, ++remote.questions, command, subject_of(command, value), remote.handed, false, {}});
    return true;
}

bool answered(const RemotePort& remote, unsigned long long number) {
    for (const Question& q : remote.asked) {
        if (q.number == number) return q.answered;
    }
    return true;  // taken and done with
}

// A marker: "tell the speed, change nothing". It rides with the data; the
// waits push it.
bool send_marker(PortConnection& port) {
    RemotePort& remote = *port.remote;
    if (!ask(port, Question::marker, set_baudrate, big_endian(0), false)) return false;
    remote.marked = remote.handed;
    remote.data_held = true;
    // Whatever the server has sent meanwhile, so that it never waits on us.
    return take_in(port);
}

// Waits until the server has read `position` data bytes. With a write
// time-out, gives up once nothing has moved for that long (give_up_at).
bool await_confirmation(PortConnection& port, unsigned long long position) {
    RemotePort& remote = *port.remote;
    if (remote.data_held && !push(port)) return false;
    remote.moved_at = monotonic_ms();
    while (remote.confirmed < position) {
        if (!send_replies(port)) return false;
        const Turn result = turn(port, give_up_at(port));
        if (result == turn_failed) return false;
        if (result == turn_quiet) return timed_out(port);
    }
    return true;
}

// The telnet options: BINARY both ways and the COM port option, our part
// of it. Options the server offers or asks for that we do not want are
// refused once each.
bool negotiate(PortConnection& port) {
    RemotePort& remote = *port.remote;
    std::vector<unsigned char> out;
    append_negotiation(out, will, option_binary);
    append_negotiation(out, do_, option_binary);
    append_negotiation(out, will, option_com_port);
    if (!send_all(port, out.data(), out.size()) || !push(port)) return false;

    const long long deadline = monotonic_ms() + answer_timeout_ms;
    while (!(remote.server_binary && remote.client_binary && remote.com_port)) {
        if (!send_replies(port)) return false;
        const Turn result = turn(port, deadline);
        if (result == turn_failed) return false;
        if (result == turn_quiet) {
            return fail(port, port_not_rfc2217,
                        remote.address + " does not speak RFC 2217 (no COM port option within " +
                            std::to_string(answer_timeout_ms / 1000) + " s)");
        }
    }
    return send_replies(port);
}

struct Setting {
    unsigned char command;
    std::vector<unsigned char> value;
    const char* name;  // as the refusal names it
    // The answer may differ from the value: ser2net keeps its driver's
    // inbound XON/XOFF together with the outbound one we ask for (it
    // answers the inbound setting with its own state). That flow control
    // acts only when the remote driver's input fills; we take in
    // everything the server sends, at every marker and in every wait, so
    // it never does.
    bool any_answer;
};

bool configure(PortConnection& port, PortProfile profile) {
    RemotePort& remote = *port.remote;
    const bool stream = profile == stream_profile;
    const Setting settings[] = {
        {set_baudrate, big_endian(1200), "1200 baud", false},
        {set_datasize, {8}, "8 data bits", false},
        {set_parity, {parity_none}, "no parity", false},
        {set_stopsize, {stopsize_one}, "one stop bit", false},
        {set_control, {stream ? control_xon_xoff : control_no_flow},
         stream ? "XON/XOFF flow control on" : "flow control off", false},
        {set_control, {control_no_inbound_flow}, "no inbound flow control", stream},
    };
    const unsigned long long first = remote.questions + 1;
    for (const Setting& setting : settings) {
        if (!ask(port, Question::setting, setting.command, setting.value)) return false;
    }
    // The answers may come in any order; each setting is checked against its own.
    const long long deadline = monotonic_ms() + answer_timeout_ms;
    for (unsigned long long number = first; number <= remote.questions; ++number) {
        while (!answered(remote, number)) {
            if (!send_replies(port)) return false;
            const Turn result = turn(port, deadline);
            if (result == turn_failed) return false;
            if (result == turn_quiet) {
                return fail(port, port_setting_refused,
                            std::string(settings[number - first].name) + " (" + remote.address + " did not answer)");
            }
        }
    }
    for (const Question& question : remote.asked) {
        const Setting& setting = settings[question.number - first];
        if (question.answer != setting.value && !setting.any_answer) {
            return fail(port, port_setting_refused, setting.name);
        }
    }
    remote.asked.clear();
    return true;
}

// What the server said before it hung up during set-up (ser2net: "Port
// already in use", "Device open failure: ..."): its first line, printable
// characters only, cut short.
std::string server_words(const RemotePort& remote) {
    std::string words;
    for (std::size_t i = remote.read_at; i < remote.received.size() && words.size() < longest_server_words; ++i) {
        const unsigned char c = remote.received[i];
        if (c == '\r' || c == '\n') {
            if (words.empty()) continue;
            break;
        }
        if (c >= 0x20 && c < 0x7F) words += static_cast<char>(c);
    }
    return words;
}

void drop_connection(PortConnection& port) {
    if (port.remote) net_close(port.handle);
    delete port.remote;
    port.remote = nullptr;
    port.handle = -1;
}

// After a time-out, what is still on its way must not reach the device
// later, as a local port's queue is flushed: the connection will be reset
// rather than closed, which throws away what the server has not yet taken.
// What it has taken it goes on passing to the device once the line moves.
bool give_up_if_timed_out(PortConnection& port) {
    if (port.failure.problem == port_timed_out) net_discard_unsent(port.handle);
    return false;
}

}  // namespace

bool remote_port_open(PortConnection& port, const char* name, PortProfile profile) {
    port.handle = -1;

    // The command line has refused a malformed name already.
    RemoteAddress parsed;
    std::string problem;
    if (!parse_remote_address(name, parsed, problem)) return fail(port, port_other, problem);
    const std::string& host = parsed.host;
    const std::string& service = parsed.service;
    const std::string address = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + service;
    std::string error;
    std::intptr_t socket = -1;
    if (!net_connect(host, service, connect_timeout_ms, socket, error)) {
        return fail(port, port_unreachable, "cannot reach " + address + ": " + error);
    }
    port.handle = socket;
    port.remote = new RemotePort;
    port.remote->address = address;
    if (!negotiate(port) || !configure(port, profile)) {
        if (port.remote->closed_by_server) {
            // ser2net takes the connection, then says why it cannot serve
            // the port and closes it: another client has it, or its device
            // does not open. A send may have failed before we read why.
            for (int chunks = 0; chunks < 4 && take_in(port); ++chunks) {
            }
            port.failure = {port_server_closed, server_words(*port.remote)};
        } else if (port.failure.problem == port_gone) {
            port.failure = {port_not_rfc2217, address + " broke off the connection while the port was being set up (" +
                                                  port.failure.detail + ")"};
        } else if (port.failure.problem == port_timed_out) {
            port.failure = {port_not_rfc2217, address + " does not answer"};
        }
        drop_connection(port);
        return false;
    }
    port.remote->moved_at = monotonic_ms();
    return true;
}

bool remote_port_write_byte(PortConnection& port, unsigned char value) {
    RemotePort& remote = *port.remote;
    port.transfer_buffer = value;
    port.transfer_count = 0;
    if (remote.handed >= remote.confirmed + window && !await_confirmation(port, remote.handed + 1 - window)) {
        return give_up_if_timed_out(port);
    }
    // No allocation per byte: this is the one call made for every wire byte.
    const unsigned char out[2] = {value, value};
    if (!send_all(port, out, value == iac ? 2 : 1)) return give_up_if_timed_out(port);
    port.transfer_count = 1;
    remote.data_held = true;
    ++remote.handed;
    if (remote.handed >= remote.marked + marker_interval && !send_marker(port)) return give_up_if_timed_out(port);
    return true;
}

PortReadResult remote_port_read_byte(PortConnection& port) {
    RemotePort& remote = *port.remote;
    const long long deadline = monotonic_ms() + read_timeout_ms;
    for (;;) {
        if (remote.read_at < remote.received.size()) {
            port.transfer_buffer = remote.received[remote.read_at++];
            port.transfer_count = 1;
            return port_read_done;
        }
        // The device may be waiting for our last bytes before it answers.
        if (remote.data_held && !push(port)) return port_read_failed;
        if (!send_replies(port)) return port_read_failed;
        const Turn result = turn(port, deadline);
        if (result == turn_failed) return port_read_failed;
        if (result == turn_quiet) {
            port.transfer_count = 0;  // quiet line: the buffer keeps its byte
            return port_read_done;
        }
    }
}

// The server's receive buffer is purged, and then everything that came
// before its answer is thrown away too (see take_answer). A server that
// does not answer in a second leaves us with what arrived meanwhile thrown
// away; its late answer is taken for that purge, not for a later one.
void remote_port_purge_input(PortConnection& port) {
    RemotePort& remote = *port.remote;
    std::size_t purges = 0;
    for (const Question& q : remote.asked) purges += q.kind == Question::purge;
    if (purges >= most_purges_asked) {
        remote.asked.erase(std::find_if(remote.asked.begin(), remote.asked.end(),
                                        [](const Question& q) { return q.kind == Question::purge; }));
    }
    // A failure here shows at the next read or write, as on a local port.
    if (ask(port, Question::purge, purge_data, {purge_receive})) {
        const unsigned long long number = remote.questions;
        const long long deadline = monotonic_ms() + read_timeout_ms;
        while (!answered(remote, number) && send_replies(port) && turn(port, deadline) == turn_ready) {
        }
    }
    remote.received.clear();
    remote.read_at = 0;
}

// What the server held back when the purge came (ser2net gathers what the
// device sends for a few character times, and its purge leaves that alone)
// comes after the purge's answer: once something comes, a second purge,
// answered after it, takes it away.
void remote_port_purge_earlier_input(PortConnection& port) {
    remote_port_purge_input(port);
    bool readable = false;
    if (net_wait(port.handle, false, server_gathering_ms, readable) == net_ready) remote_port_purge_input(port);
}

// RFC 2217 cannot ask how much the server or the remote driver still
// holds. What it can tell: the answer to a marker sent after the last data
// byte means the server has taken every byte off the connection. It may
// still be writing the last of them to its port (docs/remote-delivery.md
// says what ser2net does with them once we have gone).
bool remote_port_drain_output(PortConnection& port) {
    RemotePort& remote = *port.remote;
    if (remote.marked < remote.handed && !send_marker(port)) return give_up_if_timed_out(port);
    if (!await_confirmation(port, remote.handed)) {
        if (port.failure.problem == port_gone) port.failure.problem = port_drain_failed;
        return give_up_if_timed_out(port);
    }
    return true;
}

long long remote_port_line_time_left_ms(PortConnection& port) {
    return std::max(0LL, port.remote->line_free_at - monotonic_ms());
}

void remote_port_close(PortConnection& port) { drop_connection(port); }
