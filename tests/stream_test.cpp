// pelkron under the device's XOFF/XON.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/upload.h"

using namespace testing_support;

namespace {

class StreamSender : public ::testing::TestWithParam<Program> {};

// The device holds the sender with XOFF after 400 wire bytes, sends a stray
// byte while holding (which must not release it), then releases it with XON.
TEST_P(StreamSender, XoffHoldsTheSenderAndOnlyXonReleasesIt) {
    const Program& program = GetParam();
    ScratchDir scratch;
    // Far more than the pseudo-terminal can buffer, and enough that a sender
    // that ignored the XOFF would still be sending during the hold.
    const std::vector<std::uint8_t> file = pattern_file(program.about_a_second_of_file);
    const std::string path = scratch.write("input.bin", file);

    simdev::Script script;
    script.at_wire_byte[400] = {
        simdev::send({simdev::xoff}),
        simdev::watch(200, 500),  // what was already on its way, then nothing
        simdev::send({0x41}),
        simdev::watch(0, 400),    // a stray byte is not XON
        simdev::send({simdev::xon}),
    };
    const UploadResult run = run_upload(program, {file_argument(program, path)}, script);

    ASSERT_EQ(run.process.exit_code, 0) << run.process.err;
    EXPECT_EQ(run.session.wire, expected_wire(file));
    ASSERT_EQ(run.session.watches.size(), 2u);
    EXPECT_EQ(run.session.watches[0].arrived, 0u) << "bytes arrived while XOFF was in force";
    if (program.clears_ixany) {
        EXPECT_EQ(run.session.watches[1].arrived, 0u) << "a stray byte released the XOFF";
    }

    // The echo follows the wire even into a pipe: every pair that reached
    // the device before XON had been echoed before XON.
    const simdev::Clock::time_point released = run.session.sent.back().at;
    const std::size_t wire_before_release = run.session.sent.back().arrived_before;
    const auto echoed_before_release =
        std::count_if(run.process.out_lines.begin(), run.process.out_lines.end(),
                      [&](const auto& line) { return line.first < released; });
    EXPECT_EQ(static_cast<std::size_t>(echoed_before_release), wire_before_release / 2);
    EXPECT_LT(wire_before_release, run.session.wire.size() / 2) << "the sender was never held";
}

// A device that stops reading and holds the line, like one that is busy
// writing to its memory, simply slows the sender down.
TEST_P(StreamSender, RepeatedHoldsLoseNothing) {
    const Program& program = GetParam();
    ScratchDir scratch;
    const std::vector<std::uint8_t> file = pattern_file(3000, 7);
    const std::string path = scratch.write("input.bin", file);

    simdev::Script script;
    for (std::size_t at : {100u, 101u, 2000u, 4001u, 5998u}) {
        script.at_wire_byte[at] = {simdev::send({simdev::xoff}), simdev::pause(50), simdev::send({simdev::xon})};
    }
    const UploadResult run = run_upload(program, {file_argument(program, path)}, script);

    EXPECT_EQ(run.process.exit_code, 0) << run.process.err;
    EXPECT_EQ(run.session.wire, expected_wire(file));
    EXPECT_EQ(run.process.lines(), pair_lines(file));
}

// Under a time limit a held write waits in slices of a second, asking each
// time whether the line has moved: a hold of several slices, shorter than
// the limit, loses and repeats nothing.
TEST_P(StreamSender, HoldOfSeveralSecondsWithinTheTimeLimitLosesNothing) {
    const Program& program = GetParam();
    ScratchDir scratch;
    const std::vector<std::uint8_t> file = pattern_file(program.about_a_second_of_file, 11);
    const std::string path = scratch.write("input.bin", file);

    simdev::Script script;
    script.at_wire_byte[400] = {simdev::send({simdev::xoff}), simdev::watch(300, 2200), simdev::send({simdev::xon})};
    const UploadResult run = run_upload(program, {"--timeout", "5", file_argument(program, path)}, script);

    ASSERT_EQ(run.process.exit_code, 0) << run.process.err;
    EXPECT_EQ(run.process.err, "");
    EXPECT_EQ(run.session.wire, expected_wire(file));
    ASSERT_EQ(run.session.watches.size(), 1u);
    EXPECT_EQ(run.session.watches[0].arrived, 0u) << "bytes arrived while XOFF was in force";
    EXPECT_EQ(run.process.lines(), pair_lines(file));
}

INSTANTIATE_TEST_SUITE_P(Platforms, StreamSender, ::testing::ValuesIn(stream_programs()),
                         [](const auto& info) { return info.param.label; });

}  // namespace
