// Runs a program to its end with a time limit, capturing stdout (line by
// line, with arrival times), stderr and the exit status.
#pragma once

#include <atomic>
#include <chrono>
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
    Clock::duration elapsed{};
    double cpu_seconds = 0;  // user plus system time of the child
    // The program's own peak (VmHWM), sampled while it runs when asked for:
    // the kernel's ru_maxrss would also count the process it was forked from.
    long peak_rss_kib = 0;

    std::vector<std::string> lines() const;
};

struct ProcessOptions {
    std::chrono::milliseconds time_limit{20000};
    std::vector<std::string> environment;  // NAME=value entries added to ours
    std::string working_directory;
    bool discard_stdout = false;  // for long runs whose echo nobody reads
    bool sample_peak_rss = false;  // fills ProcessResult::peak_rss_kib
    std::atomic<int>* child_pid = nullptr;  // set once the child runs, for signalling it
};

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options = {});

}  // namespace testing_support
