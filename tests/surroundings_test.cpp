// The programs in unkind surroundings: closed standard descriptors and an
// echo nobody reads any more.
#include <unistd.h>

#include <gtest/gtest.h>


#include "tests/support/upload.h"

using namespace testing_support;

namespace {

// ---------------------------------------------- closed standard descriptors

struct ClosedCase {
    const char* name;
    std::vector<int> closed;
    bool file_exists;
    int exit_code;
};

void PrintTo(const ClosedCase& c, std::ostream* out) { *out << c.name; }

class ClosedDescriptors : public ::testing::TestWithParam<std::tuple<Program, ClosedCase>> {};

// Started by cron or a service with descriptors closed, the input file and
// the port must not take their numbers: the wire carries exactly the file
// (or nothing), never an echo line or a message.
TEST_P(ClosedDescriptors, NeitherEchoNorMessagesReachTheWire) {
    const Program& program = std::get<0>(GetParam());
    const ClosedCase& c = std::get<1>(GetParam());
    if (program.windows_paths) {
        // Windows handles are no small numbers to reuse; but Wine's own
        // start-up takes Unix descriptors 0-2 for its files when they are
        // closed, before the program runs.
        GTEST_SKIP() << "Wine itself reuses closed descriptors 0-2 before a Windows program starts";
    }
    ScratchDir scratch;
    const std::vector<std::uint8_t> file = {0x41, 0xFE, 0x0A};
    const std::string path = c.file_exists ? scratch.write("in.bin", file) : scratch.path() + "/missing.bin";
    simdev::Script script;
    script.acknowledge_blocks = program.block;
    ProcessOptions options;
    options.closed_descriptors = c.closed;
    const UploadResult run = run_upload_with(program, {file_argument(program, path)}, script, options,
                                             program.port_link);

    EXPECT_EQ(run.process.exit_code, c.exit_code);
    EXPECT_EQ(run.session.wire, c.file_exists ? expected_wire(file) : std::vector<std::uint8_t>{});
    EXPECT_EQ(run.session.all_faults(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    BothSenders, ClosedDescriptors,
    ::testing::Combine(::testing::ValuesIn(programs_under_test()),
                       ::testing::Values(ClosedCase{"stdin_and_stdout", {0, 1}, true, 0},
                                         ClosedCase{"all_three", {0, 1, 2}, true, 0},
                                         ClosedCase{"stdout_and_stderr_with_a_missing_file", {1, 2}, false, 3})),
    [](const auto& info) { return std::get<0>(info.param).label + "_" + std::get<1>(info.param).name; });

// ----------------------------------------------- an echo that cannot be written

struct EchoGoneCase {
    const char* name;
    std::string stdout_path;        // a file for stdout, or "" for a pipe
    std::size_t reader_stops_after;  // the pipe's reader goes away after so many bytes
    bool broken_pipe;  // the reason is the platform's words for a closed pipe
    const char* reason;
};

void PrintTo(const EchoGoneCase& c, std::ostream* out) { *out << c.name; }

class EchoGone : public ::testing::TestWithParam<std::tuple<Program, EchoGoneCase>> {};

// `pelkron f | head -1`, or a log on a full disk: the upload is the job and
// the echo only its report, so the whole file and the terminator go out,
// and one line at the end says the echo is incomplete.
TEST_P(EchoGone, TheUploadFinishesAndOneLineSaysWhy) {
    const Program& program = std::get<0>(GetParam());
    const EchoGoneCase& c = std::get<1>(GetParam());
    ScratchDir scratch;
    // Far more echo than a pipe holds, so the reader is gone before the end.
    const std::vector<std::uint8_t> file = pattern_file(20000, 31);
    simdev::Script script;
    script.acknowledge_blocks = program.block;
    ProcessOptions options;
    options.stdout_path = c.stdout_path;
    options.stop_reading_stdout_after = c.reader_stops_after;
    const UploadResult run = run_upload_with(program, {file_argument(program, scratch.write("in.bin", file))},
                                             script, options, program.port_link);

    EXPECT_EQ(run.process.signal, 0);
    EXPECT_EQ(run.process.exit_code, 0) << run.process.err;
    EXPECT_EQ(run.session.wire, expected_wire(file));
    EXPECT_EQ(run.process.err,
              console_text(program, program.invocation + ": the echo on standard output is incomplete: " +
                                        (c.broken_pipe ? program.broken_pipe_error : std::string(c.reason)) + "\n"));
}

INSTANTIATE_TEST_SUITE_P(
    BothSenders, EchoGone,
    ::testing::Combine(::testing::ValuesIn(programs_under_test()),
                       ::testing::Values(EchoGoneCase{"reader_goes_away", "", 6, true, ""},
                                         EchoGoneCase{"disk_full", "/dev/full", 0, false, "No space left on device"})),
    [](const auto& info) { return std::get<0>(info.param).label + "_" + std::get<1>(info.param).name; });

}  // namespace
