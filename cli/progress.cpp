#include "cli/progress.h"

#include <cstdio>
#include <string>

volatile std::sig_atomic_t progress_line_drawn = 0;

namespace {

using Clock = MonotonicClock;
constexpr auto redraw_interval = std::chrono::milliseconds(250);

std::string amount(double bytes) {
    char text[32];
    if (bytes < 1024) {
        std::snprintf(text, sizeof text, "%.0f B", bytes);
    } else if (bytes < 1024.0 * 1024) {
        std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024);
    } else {
        std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024));
    }
    return text;
}

std::string duration(double seconds) {
    const long long whole = static_cast<long long>(seconds + 0.5);
    char text[32];
    if (whole >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
    }
    return text;
}

}  // namespace

void progress_start(Progress& progress, bool on, long long total, bool in_blocks) {
    progress.on = on;
    progress.total = total;
    progress.sent = 0;
    progress.block = in_blocks ? 1 : 0;
    progress.blocks = in_blocks && total >= 0 ? (total + 1023) / 1024 : 0;
    progress.started = Clock::now();
    progress.drawn_at = Clock::time_point{};
    if (on) progress_draw(progress, true);
}

void progress_draw(Progress& progress, bool even_if_recent) {
    const Clock::time_point now = Clock::now();
    if (!even_if_recent && now - progress.drawn_at < redraw_interval) return;
    progress.drawn_at = now;

    const double seconds = std::chrono::duration<double>(now - progress.started).count();
    const double rate = seconds > 0.5 ? progress.sent / seconds : 0;
    std::string line = amount(static_cast<double>(progress.sent));
    if (progress.total >= 0) {
        const long long percent = progress.total > 0 ? progress.sent * 100 / progress.total : 100;
        line += " of " + amount(static_cast<double>(progress.total)) + " (" + std::to_string(percent) + " %)";
    }
    if (rate > 0) {
        line += ", " + amount(rate) + "/s";
        if (progress.total >= 0 && progress.sent < progress.total) {
            line += ", " + duration((progress.total - progress.sent) / rate) + " left";
        }
    }
    if (progress.block > 0) {
        // After the last block the count would run one past the end.
        const long long block = progress.blocks > 0 && progress.block > progress.blocks ? progress.blocks : progress.block;
        line += ", block " + std::to_string(block);
        if (progress.blocks > 0) line += " of " + std::to_string(progress.blocks);
        if (progress.waiting) line += ", waiting for its acknowledgement";
    }
    // Spaces over whatever the last line had beyond this one: a plain
    // carriage return works on every console.
    const std::size_t length = line.size();
    if (length < progress.drawn_length) line.append(progress.drawn_length - length, ' ');
    progress.drawn_length = length;
    std::fprintf(stderr, "\r%s", line.c_str());
    std::fflush(stderr);
    progress_line_drawn = 1;
}

void progress_end(Progress& progress) {
    if (!progress.on) return;
    progress_draw(progress, true);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    progress_line_drawn = 0;
    progress.on = false;
}
