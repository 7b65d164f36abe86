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
#include "device/out_file.h"
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

// What a stream of the tool's output must be: empty, holding a text, or
// exactly a text.
struct Expected {
    enum Kind { empty, holding, exactly } kind;
    std::string text;
};
Expected nothing() { return {Expected::empty, ""}; }
Expected containing(std::string text) { return {Expected::holding, std::move(text)}; }
Expected just(std::string text) { return {Expected::exactly, std::move(text)}; }

void expect_stream(const char* stream, const std::string& actual, const Expected& expected) {
    switch (expected.kind) {
    case Expected::empty: EXPECT_EQ(actual, "") << "nothing expected on " << stream; break;
    case Expected::holding:
        EXPECT_NE(actual.find(expected.text), std::string::npos)
            << stream << " lacks \"" << expected.text << "\":\n" << actual;
        break;
    case Expected::exactly: EXPECT_EQ(actual, expected.text) << "on " << stream; break;
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

// A mistake is one line: what was wrong, and where the help is.
Expected wrong_use(const std::string& problem) {
    return just("pelkron-device: " + problem + "; 'pelkron-device --help' lists the options\n");
}

// None of these waits for an uploader: each is answered at once.
INSTANTIATE_TEST_SUITE_P(
    , DeviceToolCommandLine,
    ::testing::Values(
        CommandCase{"help_goes_to_stdout_and_nothing_to_stderr", {"--help"}, 0,
                    containing("Usage: pelkron-device [OPTION]... --link PATH\n"), nothing()},
        CommandCase{"short_help_too", {"-h"}, 0, containing("  -V, --version"), nothing()},
        CommandCase{"help_wins_over_a_mistake_after_it", {"--help", "--fast"}, 0, containing("Exit status:"),
                    nothing()},
        CommandCase{"no_line_is_a_usage_error", {}, 2, nothing(),
                    wrong_use("give exactly one of --link PATH and --port DEVICE")},
        CommandCase{"two_lines_are_a_usage_error", {"--link", "/tmp/a", "--port", "/dev/null"}, 2, nothing(),
                    wrong_use("give exactly one of --link PATH and --port DEVICE")},
        CommandCase{"unknown_option_is_named", {"--fast"}, 2, nothing(), wrong_use("unknown option '--fast'")},
        CommandCase{"unknown_short_option_is_named", {"-x"}, 2, nothing(), wrong_use("unknown option '-x'")},
        CommandCase{"option_without_its_value_is_named", {"--link"}, 2, nothing(),
                    wrong_use("option '--link' needs a value")},
        CommandCase{"stray_argument_is_named", {"--link", "/tmp/a", "firmware.bin"}, 2, nothing(),
                    wrong_use("unexpected argument 'firmware.bin'")},
        CommandCase{"idle_time_must_be_positive", {"--link", "/tmp/a", "--idle", "0"}, 2, nothing(),
                    wrong_use("option '--idle' needs a number of seconds above 0, not '0'")},
        CommandCase{"stray_bytes_are_hex", {"--link", "/tmp/a", "--stray", "55,xy"}, 2, nothing(),
                    wrong_use("option '--stray' needs bytes in hex separated by commas, such as 55,aa, not '55,xy'")},
        CommandCase{"stray_bytes_are_bytes", {"--link", "/tmp/a", "--stray", "155"}, 2, nothing(),
                    wrong_use("option '--stray' needs bytes in hex separated by commas, such as 55,aa, not '155'")},
        CommandCase{"hold_after_a_count_of_bytes", {"--link", "/tmp/a", "--hold-after", "-5"}, 2, nothing(),
                    wrong_use("option '--hold-after' needs a whole number of bytes, not '-5'")},
        CommandCase{"hang_up_after_a_count_of_bytes", {"--link", "/tmp/a", "--hang-up-after", "1k"}, 2, nothing(),
                    wrong_use("option '--hang-up-after' needs a whole number of bytes, not '1k'")},
        CommandCase{"hold_for_says_how_long_not_when", {"--link", "/tmp/a", "--hold-for", "2"}, 2, nothing(),
                    wrong_use("--hold-for needs --hold-after, which says when to hold")},
        CommandCase{"no_ack_only_in_block_mode", {"--link", "/tmp/a", "--no-ack"}, 2, nothing(),
                    wrong_use("--no-ack acknowledges nothing without --block")},
        CommandCase{"missing_port_cannot_be_opened", {"--port", "/dev/no-such-port"}, 3, nothing(),
                    containing("cannot open /dev/no-such-port: No such file or directory")},
        CommandCase{"file_that_is_not_a_terminal_is_refused_as_port", {"--port", "/dev/null"}, 3, nothing(),
                    containing("not a serial port: /dev/null")},
        CommandCase{"link_in_a_missing_folder_cannot_be_made", {"--link", "/no-such-folder/com6"}, 3, nothing(),
                    containing("cannot link /no-such-folder/com6: No such file or directory")},
        CommandCase{"out_file_in_a_missing_folder_is_refused_before_waiting",
                    {"--link", PORT_UNDER_TEST, "--out", "/no-such-folder/received.bin"}, 3, nothing(),
                    containing("cannot write /no-such-folder/received.bin: No such file or directory")},
        CommandCase{"first_of_several_out_files_is_refused_before_waiting",
                    {"--link", PORT_UNDER_TEST, "--repeat", "--out", "/no-such-folder/received.bin"}, 3, nothing(),
                    containing("cannot write /no-such-folder/received-1.bin: No such file or directory")},
        CommandCase{"out_file_that_is_a_folder_is_refused_before_waiting",
                    {"--link", PORT_UNDER_TEST, "--out", "/tmp"}, 3, nothing(),
                    containing("cannot write /tmp: Is a directory")}),
    [](const auto& info) { return std::string(info.param.name); });

// The version is the project's, the one the senders say.
TEST(DeviceTool, SaysTheVersionOfTheSenders) {
    const ProcessResult sender = run_process({programs_under_test().front().command.front(), "--version"});
    const std::string sender_version = sender.out.substr(0, sender.out.find('\n'));
    const std::string version = sender_version.substr(sender_version.find(' ') + 1);
    ASSERT_FALSE(version.empty()) << sender.out;
    for (const char* option : {"-V", "--version"}) {
        const ProcessResult run = run_process({tool, option});
        EXPECT_EQ(run.exit_code, 0) << option;
        EXPECT_EQ(run.out.rfind("pelkron-device " + version + "\n", 0), 0u) << option << ": " << run.out;
        EXPECT_EQ(run.err, "") << option;
    }
}

// The names of several uploads' files: a number before the extension.
TEST(DeviceTool, NumbersTheFilesOfSeveralUploads) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"received.bin", "received-2.bin"},   {"dump", "dump-2"},
        {"out/received.bin", "out/received-2.bin"}, {"dir.d/dump", "dir.d/dump-2"},
        {".hidden", ".hidden-2"},             {"firmware.tar.gz", "firmware.tar-2.gz"}};
    for (const auto& [name, second] : cases) EXPECT_EQ(device_tool::numbered_name(name, 2), second) << name;
}

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
                                      std::atomic<int>* pid = nullptr, ProcessOptions process = {}) {
    unlink(program.port_link.c_str());
    std::vector<std::string> command = {tool, "--link", program.port_link};
    command.insert(command.end(), options.begin(), options.end());
    process.child_pid = pid;
    return std::async(std::launch::async, [command, process] { return run_process(command, process); });
}

// Ctrl-C for the tool, once it runs.
void interrupt(const std::atomic<int>& pid, int signal_number = SIGINT) {
    ASSERT_TRUE(wait_until([&] { return pid != 0; }, std::chrono::seconds(10))) << "the tool never started";
    kill(pid, signal_number);
}

struct ToolUpload {
    ProcessResult sender;
    ProcessResult summary;  // the tool's
    Clock::time_point sender_ended{};
};

struct UploadPlan {
    std::vector<std::string> device_options;  // --block is added for the block sender
    std::vector<std::string> sender_options;  // before the file
    bool interrupt_device = false;            // Ctrl-C the tool once the sender has ended
    // Ctrl-C the sender this long after its start, unless 0.
    std::chrono::milliseconds interrupt_sender_after{0};
    ProcessOptions device_process;
    ProcessOptions sender_process;
};

// The program sends FILE to the tool, started as the plan says, and the
// tool sums up.
ToolUpload upload_to_tool(const Program& program, UploadPlan plan, const std::string& file) {
    if (program.block) plan.device_options.push_back("--block");
    std::atomic<int> pid{0};
    auto device = start_tool(program, plan.device_options, &pid, plan.device_process);
    ToolUpload upload;
    if (!wait_for_link(program.port_link)) {
        ADD_FAILURE() << "the tool made no link at " << program.port_link;
    } else {
        std::vector<std::string> command = program.command;
        command.insert(command.end(), plan.sender_options.begin(), plan.sender_options.end());
        command.push_back(file_argument(program, file));
        std::atomic<int> sender_pid{0};
        plan.sender_process.child_pid = &sender_pid;
        auto sender = std::async(std::launch::async, [&] { return run_process(command, plan.sender_process); });
        if (plan.interrupt_sender_after.count() > 0 &&
            sender.wait_for(plan.interrupt_sender_after) == std::future_status::timeout) {
            interrupt(sender_pid);
        }
        upload.sender = sender.get();
        upload.sender_ended = Clock::now();
    }
    if (plan.interrupt_device) interrupt(pid);
    upload.summary = device.get();
    return upload;
}

ToolUpload upload_to_tool(const Program& program, std::vector<std::string> device_options, const std::string& file) {
    UploadPlan plan;
    plan.device_options = std::move(device_options);
    return upload_to_tool(program, std::move(plan), file);
}

class DeviceToolUpload : public ::testing::TestWithParam<Program> {};

TEST_P(DeviceToolUpload, ReceivesTheFileAndReportsItsDigest) {
    const Program& program = GetParam();
    ScratchDir scratch;
    const std::vector<std::uint8_t> file = pattern_file(2500, 11);
    const std::string path = scratch.write("input.bin", file);
    const std::string received = scratch.path() + "/received.bin";

    const auto [sender, summary, sender_ended] = upload_to_tool(program, {"--out", received}, path);

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
    ASSERT_TRUE(wait_until([&] { return pid != 0; }, std::chrono::seconds(10))) << "the tool never got a process id";
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
    const auto [sender, summary, sender_ended] = upload_to_tool(program, {"--pace"}, path);

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

namespace {

double seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

// The longest time between two echo lines, or between the last and the
// sender's end: the longest a write waited.
double longest_wait(const ToolUpload& upload) {
    const auto& lines = upload.sender.out_lines;
    double longest = lines.empty() ? 0 : seconds(upload.sender_ended - lines.back().first);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        longest = std::max(longest, seconds(lines[i].first - lines[i - 1].first));
    }
    return longest;
}

// The number after `label` in the tool's summary, or -1.
double number_after(const std::string& summary, const std::string& label) {
    const std::size_t at = summary.find(label);
    return at == std::string::npos ? -1 : std::atof(summary.c_str() + at + label.size());
}

// The line is raw before anyone has touched it: a program that restores
// what it found (ser2net) must not leave echo or line editing behind.
TEST(DeviceTool, MakesItsLineRaw) {
    const Program program = programs_under_test().front();
    std::atomic<int> pid{0};
    auto device = start_tool(program, {}, &pid);
    ASSERT_TRUE(wait_for_link(program.port_link)) << "the tool made no link";
    termios line{};
    const int port = open(program.port_link.c_str(), O_RDWR | O_NOCTTY);
    const bool read_it = port >= 0 && tcgetattr(port, &line) == 0;
    if (port >= 0) close(port);
    interrupt(pid);
    device.get();
    ASSERT_TRUE(read_it) << "cannot read the settings of " << program.port_link;
    EXPECT_EQ(line.c_lflag & (ECHO | ECHONL | ICANON | ISIG | IEXTEN), 0u) << "echo or line editing is on";
    EXPECT_EQ(line.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON), 0u) << "input is translated";
    EXPECT_EQ(line.c_oflag & OPOST, 0u) << "output is translated";
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
}

// Paced like a 1200-baud line, the device holds the stream sender often
// and briefly: --timeout 5 never runs out, no write waits more than a few
// seconds, and the sender is held as long as the device says on its status
// line, no longer. (It used to hold it for 11 to 14 s.) The file would take
// the line minutes, far more than a pseudo-terminal lets through before an
// XOFF takes effect on a busy machine; the sender is stopped after several
// holds.
TEST(DeviceTool, PacedHoldsAreShortAndTheSenderSeesThem) {
    const Program program = stream_programs().front();
    ScratchDir scratch;
    const std::string path = scratch.write("input.bin", pattern_file(20 * 1000, 15));
    UploadPlan plan;
    plan.device_options = {"--pace"};
    plan.sender_options = {"--timeout", "5"};
    plan.interrupt_sender_after = std::chrono::seconds(8);
    plan.interrupt_device = true;
    plan.device_process.stderr_on_terminal = true;
    const ToolUpload upload = upload_to_tool(program, plan, path);
    const ProcessResult& sender = upload.sender;
    const ProcessResult& summary = upload.summary;

    EXPECT_EQ(sender.signal, SIGINT) << "the sender did not run until it was stopped: " << sender.err;
    const double sender_longest = longest_wait(upload);
    const double device_longest = number_after(summary.out, ", the longest hold ");
    EXPECT_GE(number_after(summary.out, "xoff     sent "), 2) << summary.out;
    EXPECT_GT(device_longest, 1.0) << summary.out;
    EXPECT_LT(device_longest, 2.5) << summary.out;
    EXPECT_LT(sender_longest, 4.0) << "a write waited that long";
    EXPECT_GT(sender_longest, 1.0) << "the sender never saw a hold";
    EXPECT_LE(sender_longest, device_longest + 1.0) << "the sender was held longer than the device says";
    EXPECT_NE(summary.err.find(" holds (longest "), std::string::npos)
        << "the status line does not show the holds:\n" << summary.err;
}

// One upload after another, each with its summary and its file; one that
// its uploader abandoned ends when the line has been quiet and leaves no
// file; Ctrl-C ends the tool. The middle sender is held for good once
// past the first two files' size, and interrupted there.
TEST(DeviceTool, RepeatServesUploadAfterUploadAndSumsUpEach) {
    const Program program = stream_programs().front();
    ScratchDir scratch;
    const std::vector<std::uint8_t> first = pattern_file(500, 16);
    const std::vector<std::uint8_t> last = pattern_file(700, 17);
    const std::string first_path = scratch.write("first.bin", first);
    const std::string middle_path = scratch.write("middle.bin", pattern_file(100 * 1000, 18));
    const std::string last_path = scratch.write("last.bin", last);
    ScratchDir output;
    const std::string summary_path = scratch.path() + "/summary.txt";
    ProcessOptions device_process;
    device_process.stdout_path = summary_path;
    device_process.time_limit = std::chrono::seconds(60);
    std::atomic<int> device_pid{0};
    auto device = start_tool(program,
                             {"--repeat", "--out", output.path() + "/received.bin", "--hold-after", "1000", "--idle",
                              "1"},
                             &device_pid, device_process);
    ASSERT_TRUE(wait_for_link(program.port_link)) << "the tool made no link";
    auto summary_shows = [&](const std::string& text) {
        for (int i = 0; i < 1000; ++i) {
            const std::vector<std::uint8_t> bytes = read_file(summary_path);
            if (std::string(bytes.begin(), bytes.end()).find(text) != std::string::npos) return true;
            usleep(10000);
        }
        return false;
    };
    auto send = [&](const std::string& path, std::atomic<int>* pid = nullptr) {
        ProcessOptions options;
        options.child_pid = pid;
        std::vector<std::string> command = program.command;
        command.push_back(path);
        return run_process(command, options);
    };

    const ProcessResult one = send(first_path);
    std::atomic<int> sender_pid{0};
    auto two = std::async(std::launch::async, [&] { return send(middle_path, &sender_pid); });
    usleep(500 * 1000);  // well into the hold after 1000 bytes
    interrupt(sender_pid);
    const ProcessResult interrupted_sender = two.get();
    const bool abandoned_seen = summary_shows("stopped  the line was quiet for 1 s\n");
    const ProcessResult three = abandoned_seen ? send(last_path) : ProcessResult{};
    const bool last_seen = abandoned_seen && summary_shows("upload   3\n") && summary_shows("out      ");
    interrupt(device_pid);
    const ProcessResult tool_run = device.get();
    const std::vector<std::uint8_t> summary_bytes = read_file(summary_path);
    const std::string summary(summary_bytes.begin(), summary_bytes.end());

    ASSERT_TRUE(abandoned_seen) << "the tool never ended the abandoned upload:\n" << summary << tool_run.err;
    ASSERT_TRUE(last_seen) << "the tool never summed up the last upload:\n" << summary << tool_run.err;
    EXPECT_EQ(one.exit_code, 0) << one.err;
    EXPECT_EQ(interrupted_sender.signal, SIGINT);
    EXPECT_EQ(three.exit_code, 0) << three.err;
    EXPECT_EQ(tool_run.exit_code, 1) << "one upload was incomplete:\n" << summary;

    // Three summaries in turn, split at their "upload" lines.
    std::vector<std::string> uploads;
    for (std::size_t at = summary.find("upload   "); at != std::string::npos;) {
        const std::size_t next = summary.find("upload   ", at + 1);
        uploads.push_back(summary.substr(at, next - at));
        at = next;
    }
    ASSERT_EQ(uploads.size(), 3u) << summary;
    EXPECT_EQ(uploads[0].rfind("upload   1\nreceived 500 bytes, 1001 wire bytes", 0), 0u) << uploads[0];
    EXPECT_NE(uploads[0].find("faults   none\nout      " + output.path() + "/received-1.bin\n"), std::string::npos)
        << uploads[0];
    EXPECT_EQ(uploads[1].rfind("upload   2\n", 0), 0u) << uploads[1];
    EXPECT_NE(uploads[1].find("xoff     sent 1 time, the longest hold "), std::string::npos) << uploads[1];
    EXPECT_NE(uploads[1].find("no terminator"), std::string::npos) << uploads[1];
    EXPECT_NE(uploads[1].find("received-2.bin not written"), std::string::npos) << uploads[1];
    EXPECT_EQ(uploads[2].rfind("upload   3\nreceived 700 bytes, 1401 wire bytes", 0), 0u) << uploads[2];
    EXPECT_NE(uploads[2].find("faults   none\nout      " + output.path() + "/received-3.bin\n"), std::string::npos)
        << uploads[2];
    EXPECT_EQ(folder_entries(output.path()), (std::vector<std::string>{"received-1.bin", "received-3.bin"}));
    EXPECT_EQ(read_file(output.path() + "/received-1.bin"), first);
    EXPECT_EQ(read_file(output.path() + "/received-3.bin"), last);
}

// Faults a user can switch on, against the real senders.

TEST(DeviceToolFault, NoAcknowledgementKeepsTheBlockSenderWaiting) {
    const Program program = block_programs().front();
    ScratchDir scratch;
    const std::string path = scratch.write("input.bin", pattern_file(1500, 19));
    UploadPlan plan;
    plan.device_options = {"--no-ack"};
    plan.sender_options = {"--timeout", "2"};
    plan.interrupt_device = true;  // it would wait for ever
    const auto [sender, summary, sender_ended] = upload_to_tool(program, plan, path);

    EXPECT_EQ(sender.exit_code, 5) << sender.err;
    EXPECT_NE(sender.err.find("timed out: no acknowledgement of block 1 within 2 s"), std::string::npos)
        << sender.err;
    // It waited, a read a second, and nothing came.
    const std::vector<std::string> reads = read_lines(sender.lines());
    EXPECT_GE(reads.size(), 1u);
    for (const std::string& line : reads) EXPECT_EQ(line.substr(0, 4), "0 - ") << line;
    EXPECT_EQ(summary.exit_code, 1);
    EXPECT_NE(summary.out.find("received 1024 bytes in 1 block, 2048 wire bytes"), std::string::npos) << summary.out;
    EXPECT_NE(summary.out.find("no terminator arrived"), std::string::npos) << summary.out;
}

struct HoldCase {
    const char* name;
    std::vector<std::string> hold;            // the tool's options
    std::vector<std::string> sender_options;
    int exit_code;
    double shortest_wait;                     // for the sender's longest write, in s
};

void PrintTo(const HoldCase& c, std::ostream* out) { *out << c.name; }

class DeviceToolHold : public ::testing::TestWithParam<HoldCase> {};

// The stream sender is still writing at 1000 bytes (the file is larger
// than what a pseudo-terminal takes in before an XOFF acts) and waits out
// the hold, or gives up after its --timeout.
TEST_P(DeviceToolHold, HoldsTheStreamSenderWithXoff) {
    const HoldCase& c = GetParam();
    const Program program = stream_programs().front();
    ScratchDir scratch;
    const std::string path = scratch.write("input.bin", pattern_file(100 * 1000, 20));
    UploadPlan plan;
    plan.device_options = c.hold;
    plan.sender_options = c.sender_options;
    plan.interrupt_device = c.exit_code != 0;  // held for ever, the uploader gone: only Ctrl-C ends it
    const ToolUpload upload = upload_to_tool(program, plan, path);
    const ProcessResult& sender = upload.sender;
    const ProcessResult& summary = upload.summary;

    EXPECT_EQ(sender.exit_code, c.exit_code) << sender.err;
    EXPECT_GE(longest_wait(upload), c.shortest_wait) << "the sender was never held that long";
    EXPECT_NE(summary.out.find("xoff     sent 1 time, the longest hold "), std::string::npos) << summary.out;
    EXPECT_GE(number_after(summary.out, "the longest hold "), c.shortest_wait) << summary.out;
    EXPECT_GE(number_after(summary.out, "received "), 1000) << summary.out;
    EXPECT_EQ(summary.exit_code, c.exit_code == 0 ? 0 : 1) << summary.out;
}

INSTANTIATE_TEST_SUITE_P(
    , DeviceToolHold,
    ::testing::Values(HoldCase{"for_a_while", {"--hold-after", "1000", "--hold-for", "1"}, {}, 0, 0.9},
                      HoldCase{"for_ever", {"--hold-after", "1000"}, {"--timeout", "2"}, 5, 1.9}),
    [](const auto& info) { return std::string(info.param.name); });

class DeviceToolStray : public ::testing::TestWithParam<Program> {};

// Bytes that mean nothing: the block sender prints them and waits on for
// the acknowledgement; the stream sender never reads them.
TEST_P(DeviceToolStray, SendsBytesThatMeanNothing) {
    const Program& program = GetParam();
    ScratchDir scratch;
    const std::vector<std::uint8_t> file = pattern_file(2500, 21);
    const std::string path = scratch.write("input.bin", file);
    const std::string received = scratch.path() + "/received.bin";
    const auto [sender, summary, sender_ended] = upload_to_tool(program, {"--stray", "55,AA", "--out", received}, path);

    EXPECT_EQ(sender.exit_code, 0) << sender.err;
    EXPECT_EQ(summary.exit_code, 0) << summary.out;
    EXPECT_EQ(read_file(received), file);
    EXPECT_NE(summary.out.find("stray    0x55 0xaa sent 2 times\nfaults   none\n"), std::string::npos) << summary.out;
    if (program.block) {
        const std::vector<std::string> stray_then_acknowledgement = {"1 - 55", "1 - aa", "1 - 90"};
        std::vector<std::string> expected;
        for (int block = 0; block < 2; ++block) {
            expected.insert(expected.end(), stray_then_acknowledgement.begin(), stray_then_acknowledgement.end());
        }
        expected.push_back("1 - 90");  // the short last block: no stray bytes
        EXPECT_EQ(read_lines(sender.lines()), expected);
    } else {
        EXPECT_EQ(sender.lines(), pair_lines(file));
    }
}

INSTANTIATE_TEST_SUITE_P(Senders, DeviceToolStray, ::testing::ValuesIn(programs_under_test()),
                         [](const auto& info) { return info.param.label; });

class DeviceToolHangUp : public ::testing::TestWithParam<Program> {};

// The device drops the line after 1000 bytes, as one switched off: the
// sender fails (writing, or the block sender perhaps already waiting) and
// the device has taken nothing after it.
TEST_P(DeviceToolHangUp, DropsTheLine) {
    const Program& program = GetParam();
    ScratchDir scratch;
    const std::string path = scratch.write("input.bin", pattern_file(100 * 1000, 22));
    const auto [sender, summary, sender_ended] = upload_to_tool(program, {"--hang-up-after", "1000"}, path);

    EXPECT_EQ(sender.exit_code, 4) << sender.err;
    const bool port_failed = sender.err.rfind("Write Error!\n", 0) == 0 ||
                             (program.block && sender.err.rfind("Read Error!\n", 0) == 0);
    EXPECT_TRUE(port_failed) << sender.err;
    EXPECT_EQ(summary.exit_code, 1);
    EXPECT_NE(summary.out.find("received 1000 bytes"), std::string::npos) << summary.out;
    EXPECT_NE(summary.out.find("stopped  the device hung up the line after 1000 bytes (--hang-up-after)\n"),
              std::string::npos)
        << summary.out;
}

INSTANTIATE_TEST_SUITE_P(Senders, DeviceToolHangUp, ::testing::ValuesIn(programs_under_test()),
                         [](const auto& info) { return info.param.label; });

}  // namespace
