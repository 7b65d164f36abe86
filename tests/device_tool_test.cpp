// pelkron-device as a user meets it: its help and errors, a whole upload from
// each sender, the faults it reports, and an interrupted transfer.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <iterator>
#include <thread>

#include "device/sha256.h"
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

std::vector<std::uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct CommandCase {
    const char* name;
    std::vector<std::string> arguments;
    int exit_code;
    const char* out_contains;
    const char* err_contains;
};

void PrintTo(const CommandCase& c, std::ostream* out) { *out << c.name; }

class DeviceToolCommandLine : public ::testing::TestWithParam<CommandCase> {};

TEST_P(DeviceToolCommandLine, AnswersWithItsHelpOrAClearError) {
    const CommandCase& c = GetParam();
    std::vector<std::string> command = {tool};
    command.insert(command.end(), c.arguments.begin(), c.arguments.end());
    const ProcessResult run = run_process(command);
    EXPECT_EQ(run.exit_code, c.exit_code) << run.err;
    EXPECT_NE(run.out.find(c.out_contains), std::string::npos) << run.out;
    EXPECT_NE(run.err.find(c.err_contains), std::string::npos) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeviceToolCommandLine,
    ::testing::Values(
        CommandCase{"help", {"--help"}, 0, "Usage: pelkron-device (--link PATH | --port DEVICE)", ""},
        CommandCase{"no_line", {}, 2, "", "give exactly one of --link PATH and --port DEVICE"},
        CommandCase{"two_lines", {"--link", "/tmp/a", "--port", "/dev/null"}, 2, "", "give exactly one of"},
        CommandCase{"unknown_option", {"--fast"}, 2, "", "unknown option"},
        CommandCase{"missing_port", {"--port", "/dev/no-such-port"}, 3, "",
                    "cannot open /dev/no-such-port: No such file or directory"},
        CommandCase{"not_a_serial_port", {"--port", "/dev/null"}, 3, "", "not a serial port: /dev/null"},
        CommandCase{"link_in_missing_folder", {"--link", "/no-such-folder/com6"}, 3, "",
                    "cannot link /no-such-folder/com6: No such file or directory"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DeviceTool, BusyPortIsRefused) {
    simdev::SimDevice line("/tmp/pelkron-device-test-busy");
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

class DeviceToolUpload : public ::testing::TestWithParam<Program> {};

TEST_P(DeviceToolUpload, ReceivesTheFileAndReportsItsDigest) {
    const Program& program = GetParam();
    ScratchDir scratch;
    const std::vector<std::uint8_t> file = pattern_file(2500, 11);
    const std::string path = scratch.write("input.bin", file);
    const std::string received = scratch.path() + "/received.bin";

    std::vector<std::string> options = {"--out", received};
    if (program.block) options.push_back("--block");
    auto device = start_tool(program, options);
    ASSERT_TRUE(wait_for_link(program.port_link));
    std::vector<std::string> command = program.command;
    command.push_back(file_argument(program, path));
    const ProcessResult sender = run_process(command);
    const ProcessResult summary = device.get();

    EXPECT_EQ(sender.exit_code, 0) << sender.err;
    EXPECT_EQ(summary.exit_code, 0) << summary.out << summary.err;
    EXPECT_EQ(read_file(received), file);
    EXPECT_NE(summary.out.find("received 2500 bytes"), std::string::npos) << summary.out;
    EXPECT_NE(summary.out.find("sha256   " + simdev::sha256_hex(file)), std::string::npos) << summary.out;
    EXPECT_NE(summary.out.find("faults   none"), std::string::npos) << summary.out;
    if (program.block) {
        EXPECT_NE(summary.out.find("in 3 blocks"), std::string::npos) << summary.out;
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
TEST(DeviceTool, ReportsProtocolFaultsWithAFailingStatus) {
    const Program program = programs_under_test().front();
    auto device = start_tool(program, {});
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
    EXPECT_NE(summary.out.find("received 1 bytes"), std::string::npos) << summary.out;
    EXPECT_NE(summary.out.find("the transfer ended in the middle of a pair, with no terminator"), std::string::npos)
        << summary.out;
}

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
