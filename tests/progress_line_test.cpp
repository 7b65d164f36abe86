// What the progress line says at a given moment: the bytes that have left
// the driver, and a time left that is never less than the line needs.
#include <gtest/gtest.h>

#include "cli/progress.h"

namespace {

using Clock = Progress::Clock;

struct LineCase {
    const char* name;
    Progress progress;  // `started` is filled in
    double elapsed_s;   // since the port was opened
    long driver_queued;
    double waited_s;    // pelkron2: into the acknowledgement wait under way
    const char* text;
    long long held_ms = 0;  // the port has held a write up so long
};

void PrintTo(const LineCase& c, std::ostream* out) { *out << c.name; }

Progress run(long long total, long long sent) {
    Progress progress;
    progress.total = total;
    progress.sent = sent;
    return progress;
}

// pelkron2 in block `block`, after `acknowledged` acknowledgements that
// cost `acknowledgement_s` beyond the line's time.
Progress blocks(Progress progress, long long block, long long acknowledged, double acknowledgement_s,
                bool waiting) {
    progress.block = block;
    progress.blocks = (progress.total + 1023) / 1024;
    progress.acknowledged = acknowledged;
    progress.acknowledgement_s = acknowledgement_s;
    progress.waiting = waiting;
    return progress;
}

Progress terminated(Progress progress) {
    progress.terminator_written = true;
    return progress;
}

class ProgressLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(ProgressLine, SaysWhatIsOnTheLineAndHowLongTheRestTakes) {
    const LineCase& c = GetParam();
    Progress progress = c.progress;
    progress.started = Clock::time_point{} + std::chrono::hours(1);
    const auto at = [&](double s) {
        return progress.started + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
    };
    progress.wait_started = at(c.elapsed_s - c.waited_s);
    EXPECT_EQ(progress_text(progress, c.driver_queued, c.held_ms, at(c.elapsed_s)), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ProgressLine,
    ::testing::Values(
        // 6000 pairs' bytes and the terminator at 120 a second.
        LineCase{"nothing_sent_yet", run(3000, 0), 0, 0, 0, "0 B of 2.9 KiB (0 %), 0:50 left"},
        // A pseudo-terminal or a server takes everything at once and says
        // nothing of it: the line cannot have carried more than 120 bytes.
        LineCase{"all_taken_by_a_port_that_tells_nothing", run(3000, 3000), 1, -1, 0,
                 "2.9 KiB of 2.9 KiB (100 %), 60 B/s, 0:49 left"},
        // A UART's driver has 4000 of them still queued: 48 bytes are out.
        LineCase{"queued_in_the_driver", run(39936, 2048), 0.8, 4000, 0, "48 B of 39.0 KiB (0 %), 11:05 left"},
        // Half the file in 100 s, where the line alone would have taken 25 s.
        LineCase{"a_device_that_holds_often", run(3000, 1500), 100, 0, 0,
                 "1.5 KiB of 2.9 KiB (50 %), 15 B/s, 1:40 left"},
        LineCase{"held_by_the_device", run(3000, 1500), 100, 0, 0,
                 "1.5 KiB of 2.9 KiB (50 %), 15 B/s, 1:40 left, held by the device for 12 s", 12400},
        LineCase{"held_less_than_a_second_is_not_said", run(3000, 1500), 100, 0, 0,
                 "1.5 KiB of 2.9 KiB (50 %), 15 B/s, 1:40 left", 900},
        LineCase{"block_sender_port_takes_nothing", blocks(run(3000, 500), 1, 0, 0, false), 10, 0, 0,
                 "500 B of 2.9 KiB (16 %), 50 B/s, 0:50 left, block 1 of 3, the port has taken nothing for 3 s",
                 3000},
        // The last block is out and was on the line long ago; the first
        // acknowledgement took 20 s beyond the line's time, this wait has
        // lasted 5 s of it.
        LineCase{"last_acknowledgement_awaited", blocks(run(2048, 2048), 2, 1, 20, true), 60, 0, 5,
                 "2.0 KiB of 2.0 KiB (100 %), 34 B/s, 0:15 left, block 2 of 2, waiting for its acknowledgement"},
        LineCase{"standard_input_has_no_total", run(-1, 1500), 100, 0, 0, "1.5 KiB, 15 B/s"},
        LineCase{"everything_on_the_line", terminated(run(3000, 3000)), 60, 0, 0,
                 "2.9 KiB of 2.9 KiB (100 %), 50 B/s"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Summary, SaysBytesTimeAndDigest) {
    const std::string digest(64, 'a');
    EXPECT_EQ(summary_text(2500, 41.66, digest), "sent 2500 bytes in 41.7 s, sha256 " + digest);
    EXPECT_EQ(summary_text(1, 0.04, digest), "sent 1 byte in 0.0 s, sha256 " + digest);
    EXPECT_EQ(summary_text(39936, 666, digest), "sent 39936 bytes in 11:06, sha256 " + digest);
}

}  // namespace
