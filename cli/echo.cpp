#include "cli/echo.h"

#include <cerrno>
#include <cstdio>

namespace {

int echo_failure = 0;  // the errno of the first line that failed; 0 while none has

}  // namespace

void echo_line(const char* text, std::size_t length) {
    if (echo_failure != 0) return;
    errno = 0;
    if (std::fwrite(text, 1, length, stdout) != length || std::fflush(stdout) != 0) {
        echo_failure = errno != 0 ? errno : EIO;
        // What could not be written must not come out later, half a line
        // in the middle of someone else's output.
        std::clearerr(stdout);
    }
}

bool echo_complete() { return echo_failure == 0; }

int echo_error() { return echo_failure; }
