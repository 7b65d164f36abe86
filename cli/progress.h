// The status line of a long transfer: on standard error, rewritten in place
// no more than four times a second, and at least once a second while the
// port holds a write up. It shows when standard error is a terminal and the
// echo does not go there (standard output is a file or a pipe, or --quiet).
// After a complete transfer a summary line takes its place: the bytes sent,
// the time taken and the SHA-256 of the file; otherwise it ends with a line
// end where it stands.
//
// The line tells what is on the line, not what the driver has taken: the
// bytes that have left the driver's queue, and a time left worked out from
// the line's speed (1200 baud 8N1 carries 120 wire bytes a second), for
// the bytes not yet written and those still queued, never less than that,
// more when the rate measured so far is lower (a device that holds the
// line often) or when pelkron2's acknowledgements have taken time of their
// own.
#pragma once

#include <csignal>
#include <string>

#include "link/clock.h"
#include "link/port.h"

constexpr double line_wire_bytes_per_second = 120;

struct Progress {
    // Not std::chrono::steady_clock: under MinGW that is the wall clock.
    using Clock = MonotonicClock;
    bool on = false;
    long long total = -1;      // file bytes, -1 when unknown (standard input)
    long long sent = 0;        // file bytes whose pair has been written
    bool terminator_written = false;
    long long block = 0;       // pelkron2: the block being sent or acknowledged, from 1
    long long blocks = 0;      // pelkron2: how many blocks in all, 0 when unknown
    bool waiting = false;      // pelkron2: waiting for the acknowledgement
    // pelkron2: what the acknowledgements have cost beyond the line's own time.
    long long acknowledged = 0;        // blocks acknowledged so far
    double acknowledgement_s = 0;      // their waits beyond what the line needed, in all
    Clock::time_point wait_started{};  // the wait under way
    double wait_line_s = 0;            // what the line still needed when it began
    Clock::time_point started{};
    Clock::time_point drawn_at{};
    std::size_t drawn_length = 0;
};

// Set while a status line stands unfinished on the terminal, for a fatal
// signal's handler that must end it.
extern volatile std::sig_atomic_t progress_line_drawn;

void progress_start(Progress& progress, bool on, long long total, bool in_blocks);
void progress_draw(Progress& progress, PortConnection& port, bool even_if_recent);

// The hot path: one test when the line is off.
inline void progress_pair_sent(Progress& progress, PortConnection& port) {
    ++progress.sent;
    if (progress.on) progress_draw(progress, port, false);
}

// A write or drain has come back while it waits: the line says how long the
// port has held it (PortConnection::held_ms).
void progress_port_waits(Progress& progress, PortConnection& port);

// pelkron2: the wait for a block's acknowledgement begins, and ends with it.
void progress_wait_begins(Progress& progress, PortConnection& port);
void progress_acknowledged(Progress& progress);

// Ends the line: with `summary` in its place after a complete transfer,
// else where it stands.
void progress_end(Progress& progress, const std::string& summary = "");

// The line as it reads at `now` with the driver's queue as the port counts
// it (-1: it cannot tell) and the port holding a write up for `held_ms`.
std::string progress_text(const Progress& progress, long driver_queued, long long held_ms,
                          Progress::Clock::time_point now);

// "sent 2500 bytes in 41.7 s, sha256 ..."
std::string summary_text(long long bytes, double seconds, const std::string& sha256);
