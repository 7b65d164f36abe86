// A simulated receiving device on a pseudo-terminal.
//
// It creates a pseudo-terminal pair, raw from the start, and links the slave
// side at a path of our choosing, so that a real sender opens it as its
// serial port. Its own side decodes and checks what arrives and answers as a
// script says: XOFF and XON, stray bytes, block acknowledgements, silence,
// or vanishing. It keeps a descriptor of the slave open for the whole
// session, which lets it read the line settings the sender left and keeps
// the line alive between runs.
#pragma once

#include <termios.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/nibble_decoder.h"

namespace simdev {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t xon = 0x11;
constexpr std::uint8_t xoff = 0x13;
constexpr std::uint8_t acknowledgement = 0x90;
constexpr std::uint8_t terminator = 0x10;
constexpr std::size_t block_wire_bytes = 2048;

struct Step {
    enum Kind {
        send,          // write bytes to the host
        pause,         // do nothing, not even read, for ms
        watch,         // read for settle_ms (bytes already in flight), then count what arrives in ms more
        close_line,    // close the device's end: the host's port is hung up
        hang_up,       // hang the line up from the slave side (TIOCVHANGUP; needs root)
        stop_reading   // never read again: the host's writes pile up and finally block
    };
    Kind kind;
    std::vector<std::uint8_t> bytes;
    int ms = 0;
    int settle_ms = 0;
};

Step send(std::vector<std::uint8_t> bytes);
Step pause(int ms);
Step watch(int settle_ms, int ms);
Step close_line();
Step hang_up();
Step stop_reading();

struct Script {
    // Steps run once exactly this many wire bytes have arrived.
    std::map<std::size_t, std::vector<Step>> at_wire_byte;
    // Block side: answer every block (2048 data wire bytes, or fewer once the
    // line has been quiet for short_block_quiet_ms) with the acknowledgement.
    bool acknowledge_blocks = false;
    // Replaces the plain acknowledgement for block k (counted from 0).
    std::map<std::size_t, std::vector<Step>> block_reply;
    int short_block_quiet_ms = 300;
    // Take the wire no faster than a real line would: 1200 baud 8N1 is 120
    // bytes a second. 0 takes it as fast as it comes.
    double pace_bytes_per_second = 0;
    // Paced, in stream mode, the device holds the host with XOFF once this
    // many bytes wait in its buffer (read from the line, not yet taken) and
    // releases it with XON when they are down to low_water, or at the latest
    // after (high_water - low_water) / pace: what the pseudo-terminal lets
    // through before the XOFF takes effect makes more holds, not longer ones.
    std::size_t high_water = 256;
    std::size_t low_water = 64;
    // Block side: count the blocks but never acknowledge one.
    bool never_acknowledge = false;
    // Bytes that mean nothing to the host, sent each time another
    // stray_every wire bytes have been taken (in block mode just before the
    // acknowledgement, which comes at the same count).
    std::vector<std::uint8_t> stray_bytes;
    std::size_t stray_every = block_wire_bytes;
    // A busy device: once it has taken this many wire bytes (0: never) it
    // holds the host with XOFF for hold_ms, or for ever when that is
    // negative; then its pacing, if any, decides when to let go.
    std::size_t hold_after_wire_bytes = 0;
    int hold_ms = -1;
    // Take nothing after the terminator: what follows belongs to the next
    // upload, which end_session() leaves on the line for the next start().
    bool stop_at_terminator = false;
};

struct WatchReport {
    std::size_t in_flight = 0;  // bytes that arrived while settling
    std::size_t arrived = 0;    // bytes that arrived in the window proper
};

struct SentRecord {
    // Taken just before the write: the sender can react to these bytes (and
    // other threads can look at the clock) before the write call returns.
    Clock::time_point at;
    std::vector<std::uint8_t> bytes;
    std::size_t arrived_before;  // wire bytes that had arrived when these were sent
};

// One hold of the host by the device's own XOFF: from the XOFF to the XON.
struct Hold {
    Clock::time_point from{};
    Clock::time_point until{};  // empty while the device still holds
};

struct Session {
    std::vector<std::uint8_t> wire;        // every byte received, in order
    NibbleDecoder decoder;                 // the file and the protocol faults
    std::vector<std::string> block_faults; // data that came before its acknowledgement
    std::vector<std::size_t> block_sizes;  // file bytes of each block seen
    std::vector<WatchReport> watches;
    std::vector<SentRecord> sent;
    // For each acknowledgement sent: when, and when the next wire byte came.
    std::vector<std::pair<Clock::time_point, Clock::time_point>> turnarounds;
    bool line_gone = false;                // the device closed or hung up the line
    std::size_t xoffs_sent = 0;            // by the device's own flow control
    std::vector<Hold> holds;               // the same XOFFs, each with its XON
    std::size_t strays_sent = 0;           // times the stray bytes went out
    Clock::time_point first_byte_at{};     // arrival of the first and the last wire byte
    Clock::time_point last_byte_at{};
    Clock::time_point terminated_at{};     // when the device took the terminator
    // When the device took the first wire byte and the last one up to and
    // including the terminator: paced, well after they arrived.
    Clock::time_point first_taken_at{};
    Clock::time_point last_taken_at{};
    // Wire bytes that had reached the line but that the device had not taken
    // when the session was abandoned (paced, they wait in its buffer).
    std::size_t untaken = 0;

    std::vector<std::string> all_faults() const;
    // The longest hold; one still in force counts up to `now`.
    Clock::duration longest_hold(Clock::time_point now) const;
};

// What the device's worker has done so far, readable while it runs.
struct Progress {
    std::size_t wire_bytes = 0;  // taken by the device
    std::size_t blocks = 0;
    bool terminated = false;
    bool line_gone = false;
    // As in Session; empty until the device has taken a byte.
    Clock::time_point first_taken_at{};
    Clock::time_point last_taken_at{};
    std::size_t waiting = 0;               // read from the line, not yet taken
    Clock::time_point last_arrival_at{};   // of the last byte read from the line
    std::size_t holds = 0;                 // as Session::holds
    Clock::duration longest_ended_hold{};
    Clock::time_point holding_since{};     // empty unless the device holds now
};

class SimDevice {
public:
    enum LineKind {
        pseudo_terminal,  // make a pseudo-terminal and link its slave at the path
        serial_port       // open the real serial port at the path (1200 8N1, raw, exclusive)
    };

    // Throws std::runtime_error when the line cannot be made or opened. A
    // pseudo-terminal's link replaces an existing link at that path.
    explicit SimDevice(std::string path, LineKind kind = pseudo_terminal);
    ~SimDevice();
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    const std::string& link_path() const { return link_path_; }
    const std::string& slave_path() const { return slave_path_; }

    // The line settings as the host sees them.
    termios line() const;
    void set_line(const termios& settings);
    // A cooked, odd state that another program might have left on the line:
    // echo, canonical input, newline translation, eighth bit stripped, any
    // byte restarting output, 9600 baud 7E2.
    static termios odd_line(termios base);

    void start(Script script);
    Progress progress() const;
    // Has the device send these bytes at its next turn, for a test that
    // decides the moment itself (after the program has ended, say).
    void send_now(std::vector<std::uint8_t> bytes);
    // Takes what is still in flight, ends the session and returns it.
    // Paced, that takes as long as the line would.
    Session stop();
    // Ends the session at once, for a user who gives up: the device takes
    // what it may take by now and leaves the rest (Session::untaken).
    Session abandon();
    // Ends the session at once for a device that serves one upload after
    // another: what it has not taken stays on the line, and the next
    // start() goes on from there, its pace and its hold of the host with it
    // (which the next session's holds do not count).
    Session end_session();

private:
    void run();
    void receive(const std::uint8_t* bytes, std::size_t count);
    void run_steps(const std::vector<Step>& steps);
    void end_block();
    std::size_t read_available(int timeout_ms, bool beyond_the_bound = false);
    std::size_t consume(std::size_t most);
    std::size_t consumable_now();
    std::size_t waiting() const { return inbox_.size() - inbox_head_; }
    std::size_t next_step_distance() const;
    void write_to_host(const std::vector<std::uint8_t>& bytes);
    void flow_control();
    void hold_host();
    void release_host();
    void drop_the_line();
    void publish_progress();
    void open_serial_port();

    std::string link_path_;
    std::string slave_path_;
    int master_ = -1;
    int slave_ = -1;
    std::thread worker_;
    std::atomic<bool> stop_requested_{false};
    std::atomic<bool> abandon_requested_{false};
    mutable std::mutex progress_mutex_;
    Progress progress_;
    LineKind kind_;

    Script script_;
    Session session_;
    std::size_t data_in_block_ = 0;
    bool awaiting_acknowledgement_ = false;
    bool turnaround_open_ = false;
    bool reading_ = true;
    // Bytes read from the line and not yet taken by the device.
    std::vector<std::uint8_t> inbox_;
    std::size_t inbox_head_ = 0;
    Clock::time_point paced_until_{};
    // The state of the line, which outlives a session ended by end_session().
    bool holding_host_ = false;     // by the device's own XOFF
    bool keep_line_ = false;        // the next start() goes on with the line
    Clock::time_point hold_began_{};
    std::size_t written_since_release_ = 2;  // bytes read since the last XON, up to 2
    bool busy_hold_begun_ = false;  // Script::hold_after_wire_bytes reached
    Clock::time_point busy_until_{};
    std::mutex to_send_mutex_;
    std::vector<std::uint8_t> to_send_;  // from send_now, for the device's thread
};

}  // namespace simdev
