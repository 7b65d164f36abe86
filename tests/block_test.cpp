// pelkron2's acknowledgement wait and purge.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/upload.h"

using namespace testing_support;

namespace {

class BlockSender : public ::testing::TestWithParam<Program> {
protected:
    UploadResult send(const std::vector<std::uint8_t>& file, simdev::Script script) {
        const std::string path = scratch_.write("input.bin", file);
        script.acknowledge_blocks = true;
        return run_upload(GetParam(), {file_argument(GetParam(), path)}, script);
    }
    ScratchDir scratch_;
};

// The lines printed between the pair lines of block k and those of block k+1.
std::vector<std::string> wait_after_block(const std::vector<std::string>& lines, std::size_t block) {
    std::vector<std::string> wait;
    std::size_t pairs = 0;
    for (const std::string& line : lines) {
        const bool is_read = line.find(" - ") != std::string::npos;
        if (!is_read) {
            ++pairs;
            if (pairs > (block + 1) * 1024) break;
        } else if (pairs > block * 1024) {
            wait.push_back(line);
        }
    }
    return wait;
}

TEST_P(BlockSender, StrayBytesArePrintedAndOnlyTheAcknowledgementEndsTheWait) {
    const std::vector<std::uint8_t> file = pattern_file(1500);
    simdev::Script script;
    // XON and XOFF mean nothing to the block sender: they are read as data.
    script.at_wire_byte[100] = {simdev::send({simdev::xoff})};
    script.block_reply[0] = {simdev::send({simdev::xon, 0x55}), simdev::pause(100),
                             simdev::send({simdev::acknowledgement})};
    const UploadResult run = send(file, script);

    ASSERT_EQ(run.process.exit_code, 0) << run.process.err;
    EXPECT_EQ(run.session.wire, expected_wire(file));
    EXPECT_EQ(wait_after_block(run.process.lines(), 0),
              (std::vector<std::string>{"1 - 13", "1 - 11", "1 - 55", "1 - 90"}));
    EXPECT_EQ(wait_after_block(run.process.lines(), 1), std::vector<std::string>{"1 - 90"});
    EXPECT_EQ(run.session.all_faults(), std::vector<std::string>{});
}

// Both acknowledgements are in before the purge: the second must be thrown
// away, not taken as the acknowledgement of the next block (which the
// device gives only after a pause).
TEST_P(BlockSender, PurgeDiscardsWhatCameWithTheAcknowledgement) {
    const std::vector<std::uint8_t> file = pattern_file(2500, 5);
    simdev::Script script;
    script.block_reply[0] = {simdev::send({simdev::acknowledgement, simdev::acknowledgement, 0x42})};
    script.block_reply[1] = {simdev::pause(400), simdev::send({simdev::acknowledgement})};
    const UploadResult run = send(file, script);

    ASSERT_EQ(run.process.exit_code, 0) << run.process.err;
    EXPECT_EQ(run.session.wire, expected_wire(file));
    EXPECT_EQ(run.session.all_faults(), std::vector<std::string>{}) << "a block went out before its acknowledgement";
    EXPECT_EQ(run.session.block_sizes, (std::vector<std::size_t>{1024, 1024, 452}));
    EXPECT_EQ(wait_after_block(run.process.lines(), 0), std::vector<std::string>{"1 - 90"});
    EXPECT_EQ(wait_after_block(run.process.lines(), 1), std::vector<std::string>{"1 - 90"});
}

// An acknowledgement the device sent before this run (to a run that was
// interrupted, say) is waiting in the port when the program opens it: it
// must not acknowledge this run's first block, which the device never does.
TEST_P(BlockSender, AcknowledgementFromBeforeTheRunAcknowledgesNothing) {
    const Program& program = GetParam();
    const std::vector<std::uint8_t> file = pattern_file(1500, 9);
    simdev::SimDevice device(program.port_link);
    simdev::Script script;
    script.acknowledge_blocks = true;
    script.block_reply[0] = {};  // never
    device.start(script);
    ASSERT_TRUE(send_before_the_run(device, {simdev::acknowledgement}));

    std::vector<std::string> command = program.command;
    command.insert(command.end(), {"--timeout", "2", file_argument(program, scratch_.write("input.bin", file))});
    ProcessOptions options;
    options.environment = program.environment;
    const ProcessResult run = run_process(command, options);
    const simdev::Session session = device.stop();

    EXPECT_EQ(run.exit_code, 5) << run.err;
    EXPECT_EQ(session.wire.size(), 2 * 1024u) << "the second block went out";
    EXPECT_FALSE(session.decoder.terminated());
    for (const std::string& line : read_lines(run.lines())) EXPECT_EQ(line.substr(0, 4), "0 - ");
}

// A quiet second prints a count of 0 with what the transfer buffer still
// holds: the low nibble of the block's last byte.
TEST_P(BlockSender, SilentDevicePrintsAZeroCountAboutOnceASecond) {
    std::vector<std::uint8_t> file = pattern_file(1024, 6);
    file.back() = 0x41;
    simdev::Script script;
    script.block_reply[0] = {simdev::pause(2500), simdev::send({simdev::acknowledgement})};
    const UploadResult run = send(file, script);

    ASSERT_EQ(run.process.exit_code, 0) << run.process.err;
    const std::vector<std::string> wait = wait_after_block(run.process.lines(), 0);
    ASSERT_GE(wait.size(), 3u);
    EXPECT_LE(wait.size(), 4u);
    EXPECT_EQ(wait.back(), "1 - 90");
    for (std::size_t i = 0; i + 1 < wait.size(); ++i) EXPECT_EQ(wait[i], "0 - 01");
    EXPECT_EQ(run.session.wire, expected_wire(file));
}

struct GoneCase {
    const char* name;
    simdev::Step step;
};

void PrintTo(const GoneCase& gone, std::ostream* out) { *out << gone.name; }

class BlockSenderDeviceGone : public ::testing::TestWithParam<std::tuple<Program, GoneCase>> {};

// A vanished device is not a quiet one: the wait ends at once with an
// error instead of printing "0 - xx" forever.
TEST_P(BlockSenderDeviceGone, DuringTheWaitIsAReadError) {
    const Program& program = std::get<0>(GetParam());
    ScratchDir scratch;
    const std::vector<std::uint8_t> file = pattern_file(3000, 8);
    const std::string path = scratch.write("input.bin", file);
    simdev::Script script;
    script.acknowledge_blocks = true;
    const simdev::Step& gone = std::get<1>(GetParam()).step;
    if (gone.kind == simdev::Step::hang_up && !can_hang_up_lines()) GTEST_SKIP() << "hanging up needs root";
    script.block_reply[1] = {gone};
    const UploadResult run = run_upload(program, {file_argument(program, path)}, script, std::chrono::seconds(15));

    EXPECT_FALSE(run.process.timed_out);
    EXPECT_EQ(run.process.exit_code, 4);
    // The first line as always, then the port and the system's words.
    EXPECT_EQ(run.process.err.rfind(console_text(program, "Read Error!\n") + program.invocation + ": " +
                                        program.built_in_port + ": ",
                                    0),
              0u)
        << run.process.err;
    EXPECT_EQ(std::count(run.process.err.begin(), run.process.err.end(), '\n'), 2) << run.process.err;
    EXPECT_FALSE(run.session.decoder.terminated());
    const std::vector<std::string> wait = wait_after_block(run.process.lines(), 1);
    EXPECT_LE(wait.size(), 2u) << "the wait kept going on a dead line";
    for (const std::string& line : wait) EXPECT_EQ(line.substr(0, 4), "0 - ");
}

INSTANTIATE_TEST_SUITE_P(Platforms, BlockSender, ::testing::ValuesIn(block_programs()),
                         [](const auto& info) { return info.param.label; });

INSTANTIATE_TEST_SUITE_P(Platforms, BlockSenderDeviceGone,
                         ::testing::Combine(::testing::ValuesIn(block_programs()),
                                            ::testing::Values(GoneCase{"device_closes_its_end", simdev::close_line()},
                                                              GoneCase{"line_hung_up", simdev::hang_up()})),
                         [](const auto& info) {
                             return std::get<0>(info.param).label + "_" + std::get<1>(info.param).name;
                         });

}  // namespace
