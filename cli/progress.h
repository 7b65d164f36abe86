// The status line of a long transfer: on standard error, rewritten in place
// no more than four times a second, when standard error is a terminal and
// standard output is not (the echo goes to a file or a pipe). It ends with
// a line end when the run ends, whatever the outcome.
#pragma once

#include <csignal>

#include "link/clock.h"

struct Progress {
    bool on = false;
    long long total = -1;      // file bytes, -1 when unknown (standard input)
    long long sent = 0;        // file bytes whose pair has gone out
    long long block = 0;       // pelkron2: the block being sent or acknowledged, from 1
    long long blocks = 0;      // pelkron2: how many blocks in all, 0 when unknown
    bool waiting = false;      // pelkron2: waiting for the acknowledgement
    MonotonicClock::time_point started{};
    MonotonicClock::time_point drawn_at{};
    std::size_t drawn_length = 0;
};

// Set while a status line stands unfinished on the terminal, for a fatal
// signal's handler that must end it.
extern volatile std::sig_atomic_t progress_line_drawn;

void progress_start(Progress& progress, bool on, long long total, bool in_blocks);
void progress_draw(Progress& progress, bool even_if_recent);
void progress_end(Progress& progress);

// The hot path: one test when the line is off.
inline void progress_pair_sent(Progress& progress) {
    ++progress.sent;
    if (progress.on) progress_draw(progress, false);
}
