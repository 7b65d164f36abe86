// What both senders share, run against the simulated device: the bytes on
// the wire and the echo, the command line, the port and file errors, the
// line settings, and a device that vanishes mid-transfer.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/upload.h"

using namespace testing_support;

namespace {

std::string name_of(const Program& program) { return program.label; }

// ---------------------------------------------------------------- transfers

struct FileCase {
    const char* name;
    std::vector<std::uint8_t> bytes;
};

std::vector<std::uint8_t> every_byte_value() {
    std::vector<std::uint8_t> bytes;
    for (int value = 0; value < 256; ++value) bytes.push_back(static_cast<std::uint8_t>(value));
    return bytes;
}

std::vector<FileCase> file_cases() {
    return {
        {"bytes_that_look_like_control_codes", {0x00, 0xFF, 0x10, 0x90, 0x11, 0x13, 0x0D, 0x0A, 0x1A}},
        {"two_bytes", {0x41, 0xFE}},
        {"empty", {}},
        {"every_byte_value", every_byte_value()},
        {"thousand_bytes", pattern_file(1000)},
        {"one_block", pattern_file(1024, 2)},
        {"two_blocks_exactly", pattern_file(2048, 3)},
        {"three_blocks", pattern_file(3000, 4)},
    };
}

void PrintTo(const FileCase& file, std::ostream* out) { *out << file.name; }

class Transfer : public ::testing::TestWithParam<std::tuple<Program, FileCase>> {};

TEST_P(Transfer, PutsEveryByteOnTheWireAsNibblePairsAndEchoesEachPair) {
    const Program& program = std::get<0>(GetParam());
    const FileCase& file = std::get<1>(GetParam());
    ScratchDir scratch;
    const std::string path = scratch.write("input.bin", file.bytes);

    simdev::Script script;
    script.acknowledge_blocks = program.block;
    const UploadResult run = run_upload(program, {file_argument(program, path)}, script);

    EXPECT_EQ(run.process.exit_code, 0) << run.process.err;
    EXPECT_EQ(run.process.err, "");
    EXPECT_EQ(run.session.wire, expected_wire(file.bytes));
    EXPECT_EQ(run.process.lines(), expected_stdout(program, file.bytes));
    EXPECT_EQ(run.session.all_faults(), std::vector<std::string>{});
    if (program.block) {
        std::vector<std::size_t> blocks;
        for (std::size_t left = file.bytes.size(); left > 0; left -= std::min<std::size_t>(left, 1024)) {
            blocks.push_back(std::min<std::size_t>(left, 1024));
        }
        EXPECT_EQ(run.session.block_sizes, blocks);
    }
}

INSTANTIATE_TEST_SUITE_P(BothSenders, Transfer,
                         ::testing::Combine(::testing::ValuesIn(programs_under_test()),
                                            ::testing::ValuesIn(file_cases())),
                         [](const auto& info) {
                             return name_of(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
                         });

// ------------------------------------------------ refusals before any sending

struct RefusalCase {
    const char* name;
    // Builds the arguments from the scratch folder; returns them.
    std::vector<std::string> (*arguments)(const Program&, const ScratchDir&);
    int exit_code;
    // The expected stderr, with "\n" for each line end, given the program
    // and the arguments.
    std::string (*message)(const Program& program, const std::vector<std::string>& arguments);
    bool port_touched;
};

// The usage line people and scripts know, then what was wrong.
std::string usage(const Program& program, const std::string& problem) {
    return program.invocation + ": filename\n" + program.invocation + ": " + problem + "; '" + program.name +
           " --help' lists the options\n";
}

std::string file_error(const std::string& reason, const Program& program, const std::vector<std::string>& arguments) {
    return program.invocation + ": " + arguments.at(0) + ": " + reason + "\n";
}

std::vector<RefusalCase> refusal_cases() {
    return {
        {"no_argument", [](const Program&, const ScratchDir&) { return std::vector<std::string>{}; }, 2,
         [](const Program& program, const std::vector<std::string>&) { return usage(program, "no file given"); },
         false},
        {"two_arguments",
         [](const Program& p, const ScratchDir& s) {
             const std::string file = file_argument(p, s.write("a", {1}));
             return std::vector<std::string>{file, file};
         },
         2,
         [](const Program& program, const std::vector<std::string>& arguments) {
             return usage(program, "one file at a time: '" + arguments.at(1) + "' is a second file");
         },
         false},
        // Refused when the command line is read, before the file or any port.
        {"malformed_network_address",
         [](const Program& p, const ScratchDir& s) {
             return std::vector<std::string>{"-p", "RFC2217://127.0.0.1", file_argument(p, s.write("a", {1}))};
         },
         2,
         [](const Program& program, const std::vector<std::string>&) {
             return usage(program, "no port number in 'RFC2217://127.0.0.1'");
         },
         false},
        {"missing_file",
         [](const Program& p, const ScratchDir& s) {
             return std::vector<std::string>{file_argument(p, s.path() + "/no-such-file")};
         },
         3,
         [](const Program& program, const std::vector<std::string>& arguments) {
             return file_error("No such file or directory", program, arguments);
         },
         false},
        {"directory",
         [](const Program& p, const ScratchDir& s) { return std::vector<std::string>{file_argument(p, s.path())}; },
         3,
         [](const Program& program, const std::vector<std::string>& arguments) {
             return file_error(program.directory_error, program, arguments);
         },
         false},
        // Opens fine, fails on the first read: the read error must not pass
        // for the end of the file, and no terminator may follow it.
        {"unreadable_file",
         [](const Program& p, const ScratchDir&) {
             return std::vector<std::string>{file_argument(p, "/proc/self/mem")};
         },
         3,
         [](const Program& program, const std::vector<std::string>& arguments) {
             return file_error(program.unreadable_file_error, program, arguments);
         },
         true},
    };
}

bool line_is_still_odd(const termios& line) {
    return (line.c_lflag & ICANON) && (line.c_lflag & ECHO) && (line.c_oflag & ONLCR) &&
           cfgetospeed(&line) == B9600;
}

void PrintTo(const RefusalCase& refusal, std::ostream* out) { *out << refusal.name; }

class Refusal : public ::testing::TestWithParam<std::tuple<Program, RefusalCase>> {};

TEST_P(Refusal, ReportsOnStderrWithItsExitStatusAndSendsNothing) {
    const Program& program = std::get<0>(GetParam());
    const RefusalCase& refusal = std::get<1>(GetParam());
    ScratchDir scratch;
    const std::vector<std::string> arguments = refusal.arguments(program, scratch);

    simdev::Script script;
    script.acknowledge_blocks = program.block;
    const UploadResult run = run_upload(program, arguments, script);

    EXPECT_EQ(run.process.exit_code, refusal.exit_code);
    EXPECT_EQ(run.process.err, console_text(program, refusal.message(program, arguments)));
    EXPECT_EQ(run.process.out, "");
    EXPECT_EQ(run.session.wire, std::vector<std::uint8_t>{});
    if (!refusal.port_touched) {
        EXPECT_TRUE(line_is_still_odd(run.line)) << "the port was configured";
    }
}

INSTANTIATE_TEST_SUITE_P(BothSenders, Refusal,
                         ::testing::Combine(::testing::ValuesIn(programs_under_test()),
                                            ::testing::ValuesIn(refusal_cases())),
                         [](const auto& info) {
                             return name_of(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
                         });

// ----------------------------------------------------------------- the port

class Port : public ::testing::TestWithParam<Program> {};

TEST_P(Port, MissingPortIsAnOpenError) {
    const Program& program = GetParam();
    unlink(program.port_link.c_str());
    ScratchDir scratch;
    const std::string file = file_argument(program, scratch.write("input.bin", {0x41}));

    std::vector<std::string> command = program.command;
    command.push_back(file);
    ProcessOptions options;
    options.environment = program.environment;
    const ProcessResult run = run_process(command, options);

    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, console_text(program, "Open Error!\n" + program.invocation + ": " + program.built_in_port +
                                                 ": no such port (" + program.name + " --list shows the ports here)\n"));
    EXPECT_EQ(run.out, "");
}

TEST_P(Port, PortInUseIsAnOpenErrorAndItsSettingsAreLeftAlone) {
    const Program& program = GetParam();
    if (!program.exclusive_open) GTEST_SKIP() << "this platform shares serial devices";
    ScratchDir scratch;
    const std::string file = file_argument(program, scratch.write("input.bin", {0x41}));

    simdev::SimDevice device(program.port_link);
    device.set_line(simdev::SimDevice::odd_line(device.line()));
    // Another serial program holds the port.
    const int holder = open(program.port_link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    device.start({});

    std::vector<std::string> command = program.command;
    command.push_back(file);
    const ProcessResult run = run_process(command);
    const simdev::Session session = device.stop();
    close(holder);

    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, console_text(program, "Open Error!\n" + program.invocation + ": " + program.built_in_port +
                                                 ": in use by another program\n"));
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(session.wire, std::vector<std::uint8_t>{});
    EXPECT_TRUE(line_is_still_odd(device.line()));
}

TEST_P(Port, LeavesARawLineAt1200Baud8N1WithTheProfilesFlowControl) {
    const Program& program = GetParam();
    ScratchDir scratch;
    const std::string file = file_argument(program, scratch.write("input.bin", {0x41}));
    simdev::Script script;
    script.acknowledge_blocks = program.block;
    const UploadResult run = run_upload(program, {file}, script);
    ASSERT_EQ(run.process.exit_code, 0) << run.process.err;
    const termios& line = run.line;

    // The line was left with BRKINT and INPCK: a BREAK from a resetting
    // device would have flushed our queued output.
    for (tcflag_t flag : {ISTRIP, INLCR, IGNCR, ICRNL, PARMRK, IXOFF, BRKINT, INPCK}) {
        EXPECT_FALSE(line.c_iflag & flag) << "c_iflag " << std::hex << flag;
    }
    EXPECT_TRUE(line.c_iflag & IGNBRK);
    if (program.clears_ixany) {
        EXPECT_FALSE(line.c_iflag & IXANY);
    }
    EXPECT_EQ(bool(line.c_iflag & IXON), !program.block) << "XON/XOFF only in the stream profile";
    EXPECT_FALSE(line.c_oflag & OPOST);
    for (tcflag_t flag : {ICANON, ECHO, ECHONL, ISIG, IEXTEN}) {
        EXPECT_FALSE(line.c_lflag & flag) << "c_lflag " << std::hex << flag;
    }
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    for (tcflag_t flag : {tcflag_t{PARENB}, tcflag_t{CSTOPB}, tcflag_t{CRTSCTS}}) {
        EXPECT_FALSE(line.c_cflag & flag) << "c_cflag " << std::hex << flag;
    }
    EXPECT_TRUE(line.c_cflag & CREAD);
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B1200));
    EXPECT_EQ(cfgetispeed(&line), static_cast<speed_t>(B1200));
    EXPECT_EQ(line.c_cc[VSTART], 0x11);
    EXPECT_EQ(line.c_cc[VSTOP], 0x13);
}

INSTANTIATE_TEST_SUITE_P(BothSenders, Port, ::testing::ValuesIn(programs_under_test()),
                         [](const auto& info) { return name_of(info.param); });

// -------------------------------------------- a device that vanishes mid-file

struct VanishCase {
    const char* name;
    simdev::Step step;
};

void PrintTo(const VanishCase& vanish, std::ostream* out) { *out << vanish.name; }

class Vanish : public ::testing::TestWithParam<std::tuple<Program, VanishCase>> {};

TEST_P(Vanish, WhileSendingIsAWriteErrorAndNoTerminatorFollows) {
    const Program& program = std::get<0>(GetParam());
    const VanishCase& vanish = std::get<1>(GetParam());
    if (vanish.step.kind == simdev::Step::hang_up && !can_hang_up_lines()) GTEST_SKIP() << "hanging up needs root";
    ScratchDir scratch;
    // Larger than the pseudo-terminal's buffers, so writes are still going on.
    const std::vector<std::uint8_t> file = pattern_file(512 * 1024);
    const std::string path = scratch.write("input.bin", file);

    simdev::Script script;
    script.acknowledge_blocks = program.block;
    script.at_wire_byte[1000] = {vanish.step};
    const UploadResult run = run_upload(program, {file_argument(program, path)}, script);

    EXPECT_EQ(run.process.exit_code, 4);
    // The first line as always, then the port and the system's words.
    const std::string reason_start = console_text(program, "\n") + program.invocation + ": " + program.built_in_port + ": ";
    const std::string write_error = console_text(program, "Write Error!") + reason_start;
    const std::string read_error = console_text(program, "Read Error!") + reason_start;
    if (program.block) {
        // A whole block fits in the pseudo-terminal's buffer, so the block
        // sender may already be waiting for the acknowledgement when the
        // line goes: then it is the read that fails.
        EXPECT_TRUE(run.process.err.rfind(write_error, 0) == 0 || run.process.err.rfind(read_error, 0) == 0)
            << run.process.err;
    } else {
        EXPECT_EQ(run.process.err.rfind(write_error, 0), 0u) << run.process.err;
    }
    EXPECT_EQ(std::count(run.process.err.begin(), run.process.err.end(), '\n'), 2) << run.process.err;
    EXPECT_FALSE(run.session.decoder.terminated());
    // The run stopped part-way: what was echoed is the start of the file's
    // echo, and not all of it.
    const std::vector<std::string> echoed = run.process.lines();
    const std::vector<std::string> whole = expected_stdout(program, file);
    ASSERT_LT(echoed.size(), whole.size());
    EXPECT_TRUE(std::equal(echoed.begin(), echoed.end(), whole.begin())) << "the echo is not a prefix of the file's";
}

INSTANTIATE_TEST_SUITE_P(BothSenders, Vanish,
                         ::testing::Combine(::testing::ValuesIn(programs_under_test()),
                                            ::testing::Values(VanishCase{"device_closes_its_end", simdev::close_line()},
                                                              VanishCase{"line_hung_up", simdev::hang_up()})),
                         [](const auto& info) {
                             return name_of(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
                         });

}  // namespace
