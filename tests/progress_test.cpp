// The progress line on a terminal, as a user at one sees it: during a held
// line, against a device that takes the wire at the line's speed, and the
// summary at the end. Native only: Wine gives a Windows program no console
// on a pseudo-terminal, so it never shows the line there.
#include <gtest/gtest.h>

#include <cstdio>

#include "common/sha256.h"
#include "tests/support/upload.h"

using namespace testing_support;

namespace {

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The line's words for a number of bytes.
std::string amount(std::size_t bytes) {
    char text[32];
    if (bytes < 1024) {
        std::snprintf(text, sizeof text, "%zu B", bytes);
    } else {
        std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
    }
    return text;
}

// "M:SS left" in a drawing of the line, in seconds; -1 when it has none.
int time_left(const std::string& piece) {
    const std::size_t at = piece.find(" left");
    if (at == std::string::npos) return -1;
    const std::size_t start = piece.rfind(' ', at - 1) + 1;
    int minutes = 0, secs = 0;
    if (std::sscanf(piece.c_str() + start, "%d:%d", &minutes, &secs) != 2) return -1;
    return minutes * 60 + secs;
}

class ProgressLine : public ::testing::TestWithParam<Program> {
protected:
    // With --quiet and standard error on a terminal, the line shows.
    UploadResult send_quietly(const std::vector<std::uint8_t>& file, simdev::Script script,
                              std::vector<std::string> options = {}) {
        const Program& program = GetParam();
        script.acknowledge_blocks = program.block;
        options.push_back("--quiet");
        options.push_back(file_argument(program, scratch_.write("in.bin", file)));
        ProcessOptions process;
        process.stderr_on_terminal = true;
        process.time_limit = std::chrono::seconds(40);
        return run_upload_with(program, options, script, process, program.port_link);
    }
    ScratchDir scratch_;
};

class StreamProgressLine : public ProgressLine {};

// The device holds the line for two and a half seconds: the line is redrawn
// meanwhile, says so, and counts what the device had before the hold.
TEST_P(StreamProgressLine, SaysTheDeviceHoldsTheLineWithTheBytesThatWentOut) {
    const std::vector<std::uint8_t> file = pattern_file(GetParam().about_a_second_of_file, 41);
    simdev::Script script;
    // Reading on through the hold, so that what was in flight when it began
    // counts as received before it.
    script.at_wire_byte[400] = {simdev::send({simdev::xoff}), simdev::watch(300, 2200), simdev::send({simdev::xon})};
    const UploadResult run = send_quietly(file, script);

    ASSERT_EQ(run.process.exit_code, 0) << run.process.err;
    EXPECT_EQ(run.session.wire, expected_wire(file));
    EXPECT_EQ(run.process.out, "");
    const std::size_t before_release = run.session.sent.back().arrived_before;
    std::vector<std::string> held;
    for (const auto& piece : run.process.err_pieces) {
        if (piece.second.find("held by the device for ") != std::string::npos) held.push_back(piece.second);
    }
    ASSERT_EQ(run.session.watches.size(), 1u);
    EXPECT_EQ(run.session.watches[0].arrived, 0u) << "the hold did not hold";
    ASSERT_GE(held.size(), 2u) << "not redrawn every second during the hold:\n" << run.process.err;
    EXPECT_NE(held.back().find("held by the device for 2 s"), std::string::npos) << held.back();
    for (const std::string& piece : held) {
        EXPECT_EQ(piece.rfind(amount(before_release / 2) + " of ", 0), 0u)
            << piece << "\nthe device had " << before_release << " wire bytes";
    }
}

// A device that takes the wire at 1200 baud: the time left, drawn at any
// moment, never promises the end sooner than it came. The line shows
// whole seconds (half a second either way), and pelkron2's device answers
// a short block only after 300 ms of quiet.
TEST_P(ProgressLine, TimeLeftIsNeverLessThanTheLineNeedsAndASummaryEndsIt) {
    const std::vector<std::uint8_t> file = pattern_file(300, 42);
    simdev::Script script;
    script.pace_bytes_per_second = 120;
    const UploadResult run = send_quietly(file, script);

    ASSERT_EQ(run.process.exit_code, 0) << run.process.err;
    EXPECT_EQ(run.session.wire, expected_wire(file));
    EXPECT_EQ(run.process.out, "");
    const Clock::time_point ended = run.session.terminated_at;
    int drawn = 0;
    for (const auto& piece : run.process.err_pieces) {
        const int left = time_left(piece.second);
        if (left < 0) continue;
        ++drawn;
        const double really_left = seconds(ended - piece.first);
        EXPECT_GE(left + 1.0, really_left) << piece.second << ": " << really_left << " s were left";
        EXPECT_LE(left, really_left + 3.0) << piece.second << ": " << really_left << " s were left";
    }
    // pelkron2 waits for the device to take its block, redrawing at every
    // read. pelkron may put the whole file into the pseudo-terminal at
    // once, before the device holds it, and end: then only the first
    // drawing says how long the rest takes.
    EXPECT_GE(drawn, GetParam().block ? 4 : 1) << run.process.err;
    ASSERT_FALSE(run.process.err_pieces.empty());
    const std::string& summary = run.process.err_pieces.back().second;
    EXPECT_EQ(summary.rfind("sent 300 bytes in ", 0), 0u) << summary;
    EXPECT_NE(summary.find(", sha256 " + sha256_hex(file)), std::string::npos) << summary;
    EXPECT_EQ(run.process.err.substr(run.process.err.size() - 2), "\r\n");
}

INSTANTIATE_TEST_SUITE_P(Native, ProgressLine, ::testing::ValuesIn(programs_under_test()),
                         [](const auto& info) { return info.param.label; });
INSTANTIATE_TEST_SUITE_P(Native, StreamProgressLine, ::testing::ValuesIn(stream_programs()),
                         [](const auto& info) { return info.param.label; });

}  // namespace
