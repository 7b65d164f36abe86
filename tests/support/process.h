// Runs a program to its end with a time limit, capturing stdout (line by
// line, with arrival times), stderr and the exit status.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

using Clock = std::chrono::steady_clock;

struct ProcessResult {
    int exit_code = -1;       // -1 when killed by a signal or the time limit
    int signal = 0;
    bool timed_out = false;
    std::string out;
    std::string err;
    std::vector<std::pair<Clock::time_point, std::string>> out_lines;  // without the line end
    // Stderr in pieces ended by "\r" or "\n", with arrival times: each
    // drawing of a status line rewritten in place is one.
    std::vector<std::pair<Clock::time_point, std::string>> err_pieces;
    Clock::duration elapsed{};
    double cpu_seconds = 0;  // user plus system time of the child
    // The program's own peak (VmHWM), sampled while it runs when asked for:
    // the kernel's ru_maxrss would also count the process it was forked from.
    long peak_rss_kib = 0;

    std::vector<std::string> lines() const;
};

struct ProcessOptions {
    std::chrono::milliseconds time_limit{20000};
    // NAME=value entries added to ours. PELKRON_PORT is never passed on
    // from ours: a developer's setting must not steer the programs under test.
    std::vector<std::string> environment;
    std::string working_directory;
    bool discard_stdout = false;  // for long runs whose echo nobody reads
    bool sample_peak_rss = false;  // fills ProcessResult::peak_rss_kib
    std::atomic<int>* child_pid = nullptr;  // set once the child runs, for signalling it
    std::string stdin_path = "/dev/null";
    std::string stdout_path;               // a file for stdout instead of our pipe (e.g. /dev/full)
    std::vector<int> closed_descriptors;   // of 0, 1, 2: closed in the child, as cron may leave them
    // Stop reading stdout after this many bytes and close our end, as `head`
    // does; 0 reads to the end.
    std::size_t stop_reading_stdout_after = 0;
    bool stderr_on_terminal = false;       // stderr is a pseudo-terminal (read into `err`)
    // Run as this user instead of ours (only root can); -1 keeps ours.
    int uid = -1;
    int gid = -1;
};

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// Asks `done` every few milliseconds until it says yes or the limit has
// passed. Tells which: a test that waits for something says what did not
// happen rather than waiting for ever.
bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit);

}  // namespace testing_support
