// The one clock for time limits, the drain's watch and the progress line's
// rate: milliseconds that only go forward, whatever is done to the time of
// day. One per platform, beside its serial backend (CLOCK_MONOTONIC on
// POSIX, GetTickCount64 on Windows, where std::chrono::steady_clock is the
// wall clock under MinGW's win32 threads).
#pragma once

#include <chrono>

long long monotonic_ms();

// The same clock for code that counts in std::chrono.
struct MonotonicClock {
    using duration = std::chrono::milliseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<MonotonicClock>;
    static constexpr bool is_steady = true;
    static time_point now() { return time_point(duration(monotonic_ms())); }
};
