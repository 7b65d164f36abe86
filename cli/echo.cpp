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

void echo_pair(NibblePair pair) {
    // "%02x %02x": each nibble is below 16, so two digits are "0" and one hex digit.
    static const char hex_digits[] = "0123456789abcdef";
    const char line[] = {'0', hex_digits[pair.high], ' ', '0', hex_digits[pair.low], '\n'};
    echo_line(line, sizeof line);
}

void echo_read(std::uint32_t count, unsigned char buffer) {
    char line[16];
    const int length = std::snprintf(line, sizeof line, "%u - %02x\n", static_cast<unsigned>(count), buffer);
    echo_line(line, static_cast<std::size_t>(length));
}

bool echo_complete() { return echo_failure == 0; }

int echo_error() { return echo_failure; }
