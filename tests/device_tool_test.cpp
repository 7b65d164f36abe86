// pelkron-device as a user meets it: its help and errors, a whole upload from
// each sender, the faults it reports, and an interrupted transfer.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>

#include "common/sha256.h"
#include "device/sim_device.h"
#include "tests/support/upload.h"

using namespace testing_support;

namespace {

const std::string tool = PELKRON_DEVICE_TOOL;

bool wait_for_link(const std::string& path) {
    for (int i = 0; i < 500; ++i) {
        struct stat info {};
        if (lstat(path.c_str(), &info) == 0) return true;
        usleep(10000);
    }
    return false;
}

// The names in a folder, so that a test can say no stray file was left.
std::vector<std::string> folder_entries(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(path.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// What a stream of the tool's output must be: empty, or holding a text.
struct Expected {
    bool empty;
    std::string text;
};
Expected nothing() { return {true, ""}; }
Expected containing(std::string text) { return {false, std::move(text)}; }

void expect_stream(const char* stream, const std::string& actual, const Expected& expected) {
    if (expected.empty) {
        EXPECT_EQ(actual, "") << "nothing expected on " << stream;
    } else {
        EXPECT_NE(actual.find(expected.text), std::string::npos)
            << stream << " lacks \"" << expected.text << "\":\n" << actual;
    }
}

struct CommandCase {
    const char* name;  // what the case shows, as the test's name
    std::vector<std::string> arguments;
    int exit_code;
    Expected out;
    Expected err;
};

void PrintTo(const CommandCase& c, std::ostream* out) { *out << c.name; }

class DeviceToolCommandLine : public ::testing::TestWithParam<CommandCase> {};

TEST_P(DeviceToolCommandLine, AnswersWithItsHelpOrAClearError) {
    const CommandCase& c = GetParam();
    std::vector<std::string> command = {tool};
    command.insert(command.end(), c.arguments.begin(), c.arguments.end());
    const ProcessResult run = run_process(command);
    EXPECT_EQ(run.exit_code, c.exit_code) << run.err;
    expect_stream("stdout", run.out, c.out);
    expect_stream("stderr", run.err, c.err);
}

// None of these waits for an uploader: each is answered at once.
INSTANTIATE_TEST_SUITE_P(
    , DeviceToolCommandLine,
    ::testing::Values(
        CommandCase{"help_goes_to_stdout_and_nothing_to_stderr", {"--help"}, 0,
                    containing("Usage: pelkron-device (--link PATH | --port DEVICE)"), nothing()},
        CommandCase{"no_line_is_a_usage_error", {}, 2, nothing(),
                    containing("give exactly one of --link PATH and --port DEVICE")},
        CommandCase{"two_lines_are_a_usage_error", {"--link", "/tmp/a", "--port", "/dev/null"}, 2, nothing(),
                    containing("give exactly one of --link PATH and --port DEVICE")},
        CommandCase{"unknown_option_is_named", {"--fast"}, 2, nothing(),
                    containing("pelkron-device: unknown option '--fast'\n\nUsage:")},
        CommandCase{"unknown_short_option_is_named", {"-x"}, 2, nothing(),
                    containing("pelkron-device: unknown option '-x'\n")},
        CommandCase{"option_without_its_value_is_named", {"--link"}, 2, nothing(),
                    containing("pelkron-device: option '--link' needs a value\n")},
        CommandCase{"stray_argument_is_named", {"--link", "/tmp/a", "firmware.bin"}, 2, nothing(),
                    containing("pelkron-device: unexpected argument 'firmware.bin'\n")},
        CommandCase{"missing_port_cannot_be_opened", {"--port", "/dev/no-such-port"}, 3, nothing(),
                    containing("cannot open /dev/no-such-port: No such file or directory")},
        CommandCase{"file_that_is_not_a_terminal_is_refused_as_port", {"--port", "/dev/null"}, 3, nothing(),
                    containing("not a serial port: /dev/null")},
        CommandCase{"link_in_a_missing_folder_cannot_be_made", {"--link", "/no-such-folder/com6"}, 3, nothing(),
                    containing("cannot link /no-such-folder/com6: No such file or directory")},
        CommandCase{"out_file_in_a_missing_folder_is_refused_before_waiting",
                    {"--link", PORT_UNDER_TEST, "--out", "/no-such-folder/received.bin"}, 3, nothing(),
                    containing("cannot write /no-such-folder/received.bin: No such file or directory")},
        CommandCase{"out_file_that_is_a_folder_is_refused_before_waiting",
                    {"--link", PORT_UNDER_TEST, "--out", "/tmp"}, 3, nothing(),
                    containing("cannot write /tmp: Is a directory")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DeviceTool, BusyPortIsRefused) {
    ScratchDir scratch;  // a fresh link per run, so that parallel suites never meet
    simdev::SimDevice line(scratch.path() + "/busy-line");
    const int holder = open(line.slave_path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    const ProcessResult run = run_process({tool, "--port", line.slave_path()});
    close(holder);
    EXPECT_EQ(run.exit_code, 3);
    EXPECT_NE(run.err.find("Device or resource busy"), std::string::npos) << run.err;
}

// The tool in the background on the programs' port; returns its result.
std::future<ProcessResult> start_tool(const Program& program, std::vector<std::string> options,
                                      std::atomic<int>* pid = nullptr) {
    unlink(program.port_link.c_str());
    std::vector<std::string> command = {tool, "--link", program.port_link};
    command.insert(command.end(), options.begin(), options.end());
    return std::async(std::launch::async, [command, pid] {
        ProcessOptions process;
        process.child_pid = pid;
        return run_process(command, process);
    });
}

struct ToolUpload {
    ProcessResult sender;
    ProcessResult summary;  // the tool's
};

// The program sends FILE to the tool, started with OPTIONS (and --block for
// the block sender), and the tool sums up.
ToolUpload upload_to_tool(const Program& program, std::vector<std::string> options, const std::string& file) {
    if (program.block) options.push_back("--block");
    auto device = start_tool(program, options);
    ToolUpload upload;
    if (!wait_for_link(program.port_link)) {
        ADD_FAILURE() << "the tool made no link at " << program.port_link;
    } else {
        std::vector<std::string> command = program.command;
        command.push_back(file_argument(program, file));
        upload.sender = run_process(command);
    }
    upload.summary = device.get();
    return upload;
}

class DeviceToolUpload : public ::testing::TestWithParam<Program> {};

TEST_P(DeviceToolUpload, ReceivesTheFileAndReportsItsDigest) {
    const Program& program = GetParam();
    ScratchDir scratch;
    const std::vector<std::uint8_t> file = pattern_file(2500, 11);
    const std::string path = scratch.write("input.bin", file);
    const std::string received = scratch.path() + "/received.bin";

    const auto [sender, summary] = upload_to_tool(program, {"--out", received}, path);

    EXPECT_EQ(sender.exit_code, 0) << sender.err;
    EXPECT_EQ(summary.exit_code, 0) << summary.out << summary.err;
    EXPECT_EQ(read_file(received), file);
    EXPECT_NE(summary.out.find("received 2500 bytes"), std::string::npos) << summary.out;
    EXPECT_NE(summary.out.find("sha256   " + sha256_hex(file)), std::string::npos) << summary.out;
    EXPECT_NE(summary.out.find("faults   none"), std::string::npos) << summary.out;
    EXPECT_NE(summary.out.find("out      " + received + "\n"), std::string::npos) << summary.out;
    EXPECT_EQ(folder_entries(scratch.path()), (std::vector<std::string>{"input.bin", "received.bin"}))
        << "the temporary file must have become received.bin";
    if (program.block) {
        EXPECT_NE(summary.out.find("in 3 blocks"), std::string::npos) << summary.out;
    } else {
        EXPECT_EQ(summary.out.find("block"), std::string::npos) << "stream mode has no blocks:\n" << summary.out;
    }
}

INSTANTIATE_TEST_SUITE_P(Senders, DeviceToolUpload, ::testing::ValuesIn(programs_under_test()),
                         [](const auto& info) { return info.param.label; });

// The sender's end of the line, raw, for writing wire bytes by hand.
int open_raw_line(const std::string& path) {
    const int port = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (port < 0) return port;
    termios raw{};
    tcgetattr(port, &raw);
    cfmakeraw(&raw);
    tcsetattr(port, TCSANOW, &raw);
    return port;
}

// A sender that breaks the protocol, written by hand.
TEST(DeviceTool, ReportsProtocolFaultsWithAFailingStatusAndWritesNoFile) {
    const Program program = programs_under_test().front();
    ScratchDir scratch;
    const std::string received = scratch.path() + "/received.bin";
    auto device = start_tool(program, {"--out", received});
    ASSERT_TRUE(wait_for_link(program.port_link));
    const int port = open_raw_line(program.port_link);
    ASSERT_GE(port, 0);
    const std::uint8_t wire[] = {0x04, 0x01, 0x20, 0x0F, 0x10, 0x03};
    ASSERT_EQ(write(port, wire, sizeof wire), static_cast<ssize_t>(sizeof wire));
    const ProcessResult summary = device.get();
    close(port);

    EXPECT_EQ(summary.exit_code, 1);
    EXPECT_NE(summary.out.find("faults   3"), std::string::npos) << summary.out;
    EXPECT_NE(summary.out.find("wire byte 0x20 at offset 2 is neither a nibble nor the terminator"),
              std::string::npos);
    EXPECT_NE(summary.out.find("terminator at offset 4 after half a pair"), std::string::npos);
    EXPECT_NE(summary.out.find("byte 0x03 at offset 5 after the terminator"), std::string::npos);
    EXPECT_NE(summary.out.find("out      " + received + " not written: the transfer was not complete and clean"),
              std::string::npos)
        << summary.out;
    EXPECT_EQ(folder_entries(scratch.path()), std::vector<std::string>{}) << "a faulty transfer leaves no file";
}

TEST(DeviceTool, InterruptedTransferIsReportedIncomplete) {
    const Program program = programs_under_test().front();
    std::atomic<int> pid{0};
    auto device = start_tool(program, {}, &pid);
    ASSERT_TRUE(wait_for_link(program.port_link));
    const int port = open_raw_line(program.port_link);
    ASSERT_GE(port, 0);
    const std::uint8_t wire[] = {0x04, 0x01, 0x04};
    ASSERT_EQ(write(port, wire, sizeof wire), static_cast<ssize_t>(sizeof wire));
    usleep(300000);
    kill(pid, SIGINT);  // Ctrl-C
    const ProcessResult summary = device.get();
    close(port);

    EXPECT_EQ(summary.exit_code, 1);
    EXPECT_NE(summary.out.find("received 1 byte, 3 wire bytes in"), std::string::npos) << summary.out;
    EXPECT_NE(summary.out.find("the transfer ended in the middle of a pair, with no terminator"), std::string::npos)
        << summary.out;
    EXPECT_NE(summary.out.find("stopped  by SIGINT (Ctrl-C)\n"), std::string::npos) << summary.out;
}

// Ctrl-C or SIGTERM in the middle of a paced transfer ends the tool at once
// with what the device had taken, a failing status and no output file,
// however much the paced buffer still holds.
struct SignalCase {
    const char* name;
    bool block;
    int signal_number;
    const char* signal_text;
};

void PrintTo(const SignalCase& c, std::ostream* out) { *out << c.name; }

class DeviceToolSignal : public ::testing::TestWithParam<SignalCase> {};

TEST_P(DeviceToolSignal, EndsAPacedTransferAtOnceAndWritesNoFile) {
    const SignalCase& c = GetParam();
    Program program = programs_under_test().front();
    ScratchDir scratch;
    const std::string received = scratch.path() + "/received.bin";
    std::vector<std::string> options = {"--pace", "--out", received};
    if (c.block) options.push_back("--block");
    std::atomic<int> pid{0};
    auto device = start_tool(program, options, &pid);
    ASSERT_TRUE(wait_for_link(program.port_link));
    const int port = open_raw_line(program.port_link);
    ASSERT_GE(port, 0);
    // A whole, correct upload that the paced device needs 30 s to take.
    const std::vector<std::uint8_t> wire = expected_wire(pattern_file(1800, 13));
    ASSERT_EQ(write(port, wire.data(), wire.size()), static_cast<ssize_t>(wire.size()));
    if (!c.block) {
        // Its XOFF says the device has read a buffer full and is taking it.
        pollfd pfd{port, POLLIN, 0};
        std::uint8_t byte = 0;
        while (byte != simdev::xoff && poll(&pfd, 1, 10000) > 0 && read(port, &byte, 1) == 1) {
        }
        ASSERT_EQ(byte, simdev::xoff) << "the paced device never held the sender";
    }
    while (pid == 0) usleep(1000);
    kill(pid, c.signal_number);
    const bool ended = device.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    close(port);
    ASSERT_TRUE(ended) << "the tool went on after " << c.signal_text;
    const ProcessResult summary = device.get();

    EXPECT_EQ(summary.exit_code, 1) << summary.out << summary.err;
    EXPECT_NE(summary.out.find(std::string("stopped  by ") + c.signal_text + ", "), std::string::npos) << summary.out;
    EXPECT_NE(summary.out.find(" wire bytes on the line not taken\n"), std::string::npos) << summary.out;
    EXPECT_NE(summary.out.find("no terminator"), std::string::npos) << summary.out;
    EXPECT_NE(summary.out.find("out      " + received + " not written"), std::string::npos) << summary.out;
    EXPECT_EQ(folder_entries(scratch.path()), std::vector<std::string>{})
        << "an interrupted transfer leaves neither the file nor its temporary";
}

INSTANTIATE_TEST_SUITE_P(
    , DeviceToolSignal,
    ::testing::Values(SignalCase{"ctrl_c_in_stream_mode", false, SIGINT, "SIGINT (Ctrl-C)"},
                      SignalCase{"ctrl_c_in_block_mode", true, SIGINT, "SIGINT (Ctrl-C)"},
                      SignalCase{"sigterm_in_stream_mode", false, SIGTERM, "SIGTERM"}),
    [](const auto& info) { return std::string(info.param.name); });

// Paced, the summary counts the time the device took the data, not when the
// bytes reached its line, and says "1 block" and "sent 0 times" in words.
class DeviceToolPacedSummary : public ::testing::TestWithParam<Program> {};

TEST_P(DeviceToolPacedSummary, GivesTheTimeTheDeviceTookTheData) {
    const Program& program = GetParam();
    ScratchDir scratch;
    const std::vector<std::uint8_t> file = pattern_file(60, 14);  // 121 wire bytes, about a second at 1200 baud
    const std::string path = scratch.write("input.bin", file);
    const auto [sender, summary] = upload_to_tool(program, {"--pace"}, path);

    ASSERT_EQ(sender.exit_code, 0) << sender.err;
    ASSERT_EQ(summary.exit_code, 0) << summary.out << summary.err;
    // From the first wire byte taken to the terminator: 120 bytes at 120 a second.
    double seconds = 0;
    const std::string head = program.block ? "received 60 bytes in 1 block, 121 wire bytes in "
                                           : "received 60 bytes, 121 wire bytes in ";
    const std::size_t at = summary.out.find(head);
    ASSERT_NE(at, std::string::npos) << summary.out;
    seconds = std::stod(summary.out.substr(at + head.size()));
    EXPECT_GE(seconds, 0.9) << summary.out;
    if (!program.block) {
        EXPECT_NE(summary.out.find("xoff     sent 0 times\n"), std::string::npos) << summary.out;
    }
}

INSTANTIATE_TEST_SUITE_P(, DeviceToolPacedSummary, ::testing::ValuesIn(programs_under_test()),
                         [](const auto& info) { return info.param.label; });

}  // namespace

namespace {

// Paced, the device takes the wire no faster than its line rate, holds the
// stream sender with XOFF while its buffer is full, and loses nothing.
class DevicePacing : public ::testing::TestWithParam<Program> {};

TEST_P(DevicePacing, TakesTheWireAtTheLineRateAndLosesNothing) {
    const Program& program = GetParam();
    ScratchDir scratch;
    const std::vector<std::uint8_t> file = pattern_file(3000, 12);
    const std::string path = scratch.write("input.bin", file);
    simdev::Script script;
    script.acknowledge_blocks = program.block;
    script.pace_bytes_per_second = 6000;  // fifty times 1200 baud, to keep the test short
    const UploadResult run = run_upload(program, {file_argument(program, path)}, script);

    ASSERT_EQ(run.process.exit_code, 0) << run.process.err;
    EXPECT_EQ(run.session.wire, expected_wire(file));
    EXPECT_EQ(run.session.all_faults(), std::vector<std::string>{});
    const double line_seconds = (2.0 * file.size() + 1) / script.pace_bytes_per_second;
    const double took = std::chrono::duration<double>(run.session.terminated_at - run.session.first_byte_at).count();
    EXPECT_GE(took, 0.9 * line_seconds) << "the device took the wire faster than its line";
    if (!program.block) {
        EXPECT_GE(run.session.xoffs_sent, 1u) << "the device never held the sender";
    }
}

INSTANTIATE_TEST_SUITE_P(Senders, DevicePacing, ::testing::ValuesIn(programs_under_test()),
                         [](const auto& info) { return info.param.label; });

}  // namespace
