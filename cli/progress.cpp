#include "cli/progress.h"

#include <algorithm>
#include <cstdio>

#include "wire/nibble.h"

volatile std::sig_atomic_t progress_line_drawn = 0;

namespace {

using Clock = Progress::Clock;
constexpr auto redraw_interval = std::chrono::milliseconds(250);

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

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

long long wire_written(const Progress& progress) { return 2 * progress.sent + (progress.terminator_written ? 1 : 0); }

// Wire bytes written and not yet on the line: what the driver says it
// holds, and at least what the line cannot have carried since the port was
// opened (a pseudo-terminal, or a server on the network, tells nothing of
// the buffers on the way).
long long still_queued(const Progress& progress, long driver_queued, double elapsed_s) {
    const long long written = wire_written(progress);
    const long long uncarried = written - static_cast<long long>(elapsed_s * line_wire_bytes_per_second);
    return std::clamp(std::max<long long>(driver_queued, uncarried), 0LL, written);
}

// pelkron2: what the acknowledgements still to come will cost beyond the
// line's time, if they take what the earlier ones took.
double acknowledgements_left_s(const Progress& progress, Clock::time_point now) {
    if (progress.acknowledged == 0 || progress.blocks == 0) return 0;
    const double each = progress.acknowledgement_s / static_cast<double>(progress.acknowledged);
    double left = each * static_cast<double>(progress.blocks - progress.acknowledged);
    if (progress.waiting) left -= std::clamp(seconds(now - progress.wait_started) - progress.wait_line_s, 0.0, each);
    return std::max(left, 0.0);
}

void draw(Progress& progress, const std::string& text, const char* end) {
    // Spaces over whatever the last line had beyond this one: a plain
    // carriage return works on every console.
    std::string line = text;
    if (line.size() < progress.drawn_length) line.append(progress.drawn_length - line.size(), ' ');
    progress.drawn_length = text.size();
    std::fprintf(stderr, "\r%s%s", line.c_str(), end);
    std::fflush(stderr);
}

}  // namespace

std::string progress_text(const Progress& progress, long driver_queued, long long held_ms, Clock::time_point now) {
    const double elapsed = seconds(now - progress.started);
    const long long written = wire_written(progress);
    const long long queued = still_queued(progress, driver_queued, elapsed);
    const long long on_line = written - queued;

    // What has left the driver, as the driver counts it.
    const long long gone = std::min(progress.sent, (written - std::clamp<long long>(driver_queued, 0, written)) / 2);
    std::string line = amount(static_cast<double>(gone));
    if (progress.total >= 0) {
        const long long percent = progress.total > 0 ? gone * 100 / progress.total : 100;
        line += " of " + amount(static_cast<double>(progress.total)) + " (" + std::to_string(percent) + " %)";
    }
    // Over the whole run, holds and acknowledgement waits included; never
    // above the line's speed, since `queued` holds back what the line
    // cannot have carried.
    const bool measured = elapsed >= 1 && on_line > 0;
    const double rate = measured ? std::min(line_wire_bytes_per_second, on_line / elapsed) : line_wire_bytes_per_second;
    if (measured) line += ", " + amount(rate / 2) + "/s";
    if (progress.total >= 0) {
        const long long to_write = 2 * (progress.total - progress.sent) + (progress.terminator_written ? 0 : 1);
        const double by_line = (to_write + queued) / line_wire_bytes_per_second + acknowledgements_left_s(progress, now);
        const double by_rate = (to_write + queued) / rate;
        const double left = std::max(by_line, by_rate);
        if (left > 0) line += ", " + duration(left) + " left";
    }
    if (progress.block > 0) {
        // After the last block the count would run one past the end.
        const long long block = progress.blocks > 0 && progress.block > progress.blocks ? progress.blocks : progress.block;
        line += ", block " + std::to_string(block);
        if (progress.blocks > 0) line += " of " + std::to_string(progress.blocks);
        if (progress.waiting) line += ", waiting for its acknowledgement";
    }
    if (held_ms >= 1000) {
        // pelkron2's line has no flow control: nothing of the device holds it.
        line += progress.block > 0 ? ", the port has taken nothing for " : ", held by the device for ";
        line += std::to_string(held_ms / 1000) + " s";
    }
    return line;
}

std::string summary_text(long long bytes, double seconds, const std::string& sha256) {
    char time_taken[32];
    if (seconds < 60) {
        std::snprintf(time_taken, sizeof time_taken, "%.1f s", seconds);
    } else {
        std::snprintf(time_taken, sizeof time_taken, "%s", duration(seconds).c_str());
    }
    return "sent " + std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes") + " in " + time_taken + ", sha256 " +
           sha256;
}

void progress_start(Progress& progress, bool on, long long total, bool in_blocks) {
    progress = Progress{};
    progress.on = on;
    progress.total = total;
    progress.block = in_blocks ? 1 : 0;
    progress.blocks = in_blocks && total >= 0 ? (total + block_length - 1) / block_length : 0;
    progress.started = Clock::now();
    progress.drawn_at = progress.started;
    if (on) {
        draw(progress, progress_text(progress, -1, 0, progress.started), "");
        progress_line_drawn = 1;
    }
}

void progress_draw(Progress& progress, PortConnection& port, bool even_if_recent) {
    const Clock::time_point now = Clock::now();
    if (!even_if_recent && now - progress.drawn_at < redraw_interval) return;
    progress.drawn_at = now;
    draw(progress, progress_text(progress, port_output_queued(port), port.held_ms, now), "");
    progress_line_drawn = 1;
}

void progress_port_waits(Progress& progress, PortConnection& port) {
    if (progress.on) progress_draw(progress, port, true);
}

void progress_wait_begins(Progress& progress, PortConnection& port) {
    progress.waiting = true;
    if (!progress.on) return;
    progress.wait_started = Clock::now();
    const double elapsed = seconds(progress.wait_started - progress.started);
    progress.wait_line_s = still_queued(progress, port_output_queued(port), elapsed) / line_wire_bytes_per_second;
    progress_draw(progress, port, true);
}

void progress_acknowledged(Progress& progress) {
    progress.waiting = false;
    ++progress.block;
    if (!progress.on) return;
    ++progress.acknowledged;
    progress.acknowledgement_s += std::max(seconds(Clock::now() - progress.wait_started) - progress.wait_line_s, 0.0);
}

void progress_end(Progress& progress, const std::string& summary) {
    if (!progress.on) return;
    if (summary.empty()) {
        std::fputc('\n', stderr);
        std::fflush(stderr);
    } else {
        draw(progress, summary, "\n");
    }
    progress_line_drawn = 0;
    progress.on = false;
}
