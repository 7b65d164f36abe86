// The command line as users meet it, run against the simulated device: the
// port chosen at run time, help and version, "--" and "-", time limits, the
// progress line and the port list.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "tests/support/upload.h"

using namespace testing_support;

namespace {

bool line_untouched(const termios& line) {
    return (line.c_lflag & ICANON) && (line.c_lflag & ECHO) && cfgetospeed(&line) == B9600;
}

// ------------------------------------------------------- the port at run time

struct PortChoiceCase {
    const char* name;
    // The arguments before the file and the environment, given the port the
    // device is on (wanted) and one where nobody is (elsewhere).
    std::vector<std::string> (*options)(const std::string& wanted);
    std::vector<std::string> (*environment)(const std::string& wanted, const std::string& elsewhere);
    std::size_t other_port;  // which of the program's other ports the device is on
};

void PrintTo(const PortChoiceCase& c, std::ostream* out) { *out << c.name; }

std::vector<std::string> none(const std::string&) { return {}; }
std::vector<std::string> no_environment(const std::string&, const std::string&) { return {}; }

std::vector<PortChoiceCase> port_choice_cases() {
    return {
        {"short_option", [](const std::string& port) { return std::vector<std::string>{"-p", port}; },
         no_environment, 0},
        {"long_option", [](const std::string& port) { return std::vector<std::string>{"--port", port}; },
         no_environment, 1},
        {"long_option_with_equals", [](const std::string& port) { return std::vector<std::string>{"--port=" + port}; },
         no_environment, 0},
        {"environment", none,
         [](const std::string& port, const std::string&) { return std::vector<std::string>{"PELKRON_PORT=" + port}; },
         1},
        {"option_over_environment", [](const std::string& port) { return std::vector<std::string>{"-p", port}; },
         [](const std::string&, const std::string& elsewhere) {
             return std::vector<std::string>{"PELKRON_PORT=" + elsewhere};
         },
         0},
    };
}

class PortChoice : public ::testing::TestWithParam<std::tuple<Program, PortChoiceCase>> {};

TEST_P(PortChoice, ReachesTheDeviceOnThePortGiven) {
    const Program& program = std::get<0>(GetParam());
    const PortChoiceCase& c = std::get<1>(GetParam());
    const Program::OtherPort& port = program.other_ports.at(c.other_port);
    const Program::OtherPort& elsewhere = program.other_ports.at(1 - c.other_port);
    unlink(elsewhere.link.c_str());
    unlink(program.port_link.c_str());  // the built-in port must not be the one that works
    ScratchDir scratch;
    const std::vector<std::uint8_t> file = {0x41, 0xFE, 0x10, 0x90};

    std::vector<std::string> arguments = c.options(port.name);
    arguments.push_back(file_argument(program, scratch.write("input.bin", file)));
    ProcessOptions options;
    options.environment = c.environment(port.name, elsewhere.name);
    simdev::Script script;
    script.acknowledge_blocks = program.block;
    const UploadResult run = run_upload_with(program, arguments, script, options, port.link);

    EXPECT_EQ(run.process.exit_code, 0) << run.process.err;
    EXPECT_EQ(run.process.err, "");
    EXPECT_EQ(run.session.wire, expected_wire(file));
    EXPECT_EQ(run.process.lines(), expected_stdout(program, file));
}

INSTANTIATE_TEST_SUITE_P(BothSenders, PortChoice,
                         ::testing::Combine(::testing::ValuesIn(programs_under_test()),
                                            ::testing::ValuesIn(port_choice_cases())),
                         [](const auto& info) {
                             return std::get<0>(info.param).label + "_" + std::get<1>(info.param).name;
                         });

class CommandLine : public ::testing::TestWithParam<Program> {
protected:
    ProcessResult run(const std::vector<std::string>& arguments, ProcessOptions options = {}) {
        std::vector<std::string> command = GetParam().command;
        command.insert(command.end(), arguments.begin(), arguments.end());
        options.environment.insert(options.environment.end(), GetParam().environment.begin(),
                                   GetParam().environment.end());
        return run_process(command, options);
    }
    ScratchDir scratch_;
};

TEST_P(CommandLine, MissingPortGivenWithAnOptionIsNamedWithTheReason) {
    const Program& program = GetParam();
    const Program::OtherPort& port = program.other_ports.at(0);
    unlink(port.link.c_str());
    const ProcessResult result = run({"-p", port.name, file_argument(program, scratch_.write("in.bin", {1}))});

    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, console_text(program, "Open Error!\n" + program.invocation + ": " + port.name +
                                                    ": no such port (" + program.name +
                                                    " --list shows the ports here)\n"));
    EXPECT_EQ(result.out, "");
}

TEST_P(CommandLine, MalformedUsbIdentityIsAnOpenErrorThatSaysTheForm) {
    const Program& program = GetParam();
    const ProcessResult result = run({"-p", "usb:0403", file_argument(program, scratch_.write("in.bin", {1}))});

    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, console_text(program, "Open Error!\n" + program.invocation +
                                                    ": usb:0403: not a USB identity: give usb:VID:PID or "
                                                    "usb:VID:PID:SERIAL, VID and PID in hexadecimal (" +
                                                    program.name + " --list shows them)\n"));
    EXPECT_EQ(result.out, "");
}

// Help and version are answered without touching the port. Anything after
// them is wrong use: a file given there would not be sent.
TEST_P(CommandLine, HelpAndVersionLeaveThePortUntouched) {
    const Program& program = GetParam();
    for (const char* option : {"--help", "-h", "--version", "-V"}) {
        for (const bool with_file : {false, true}) {
            simdev::SimDevice device(program.port_link);
            device.set_line(simdev::SimDevice::odd_line(device.line()));
            device.start({});
            const std::string file = file_argument(program, scratch_.write("in.bin", {1}));
            const ProcessResult result = with_file ? run({option, file}) : run({option});
            const simdev::Session session = device.stop();
            EXPECT_EQ(session.wire, std::vector<std::uint8_t>{}) << option;
            EXPECT_TRUE(line_untouched(device.line())) << option << " configured the port";
            if (with_file) {
                EXPECT_EQ(result.exit_code, 2) << option;
                EXPECT_EQ(result.err, console_text(program, program.invocation + ": filename\n" + program.invocation +
                                                                ": " + option + " takes no file or other argument: '" +
                                                                file + "'; '" + program.name +
                                                                " --help' lists the options\n"));
                EXPECT_EQ(result.out, "") << option;
                continue;
            }

            EXPECT_EQ(result.exit_code, 0) << option;
            EXPECT_EQ(result.err, "") << option;
            const bool help = option[1] == 'h' || option[2] == 'h';
            if (help) {
                EXPECT_EQ(result.out.rfind("Usage: " + program.name + " [OPTION]... FILE", 0), 0u) << result.out;
                for (const char* mentioned : {"--port", "--timeout", "--quiet", "--list", "--version", "PELKRON_PORT",
                                              "  5  "}) {
                    EXPECT_NE(result.out.find(mentioned), std::string::npos) << option << " lacks " << mentioned;
                }
            } else {
                EXPECT_EQ(result.out.rfind(program.name + " " + PELKRON_VERSION + console_text(program, "\n"), 0), 0u)
                    << result.out;
                EXPECT_NE(result.out.find("MIT"), std::string::npos) << result.out;
            }
            EXPECT_NE(result.out.find(program.built_in_port), std::string::npos) << option << ": " << result.out;
        }
    }
}

// --quiet: the same bytes on the wire, nothing on standard output, and
// with standard error no terminal nothing there either.
TEST_P(CommandLine, QuietSendsEveryByteAndEchoesNothing) {
    const Program& program = GetParam();
    std::vector<std::uint8_t> file = pattern_file(2500, 26);
    for (int value = 0; value < 256; ++value) file[static_cast<std::size_t>(value)] = static_cast<std::uint8_t>(value);
    simdev::Script script;
    script.acknowledge_blocks = program.block;
    // A stray byte in a wait: its read line is not printed either.
    if (program.block) script.block_reply[0] = {simdev::send({0x55, simdev::acknowledgement})};
    const UploadResult run =
        run_upload(program, {"-q", file_argument(program, scratch_.write("in.bin", file))}, script);

    EXPECT_EQ(run.process.exit_code, 0) << run.process.err;
    EXPECT_EQ(run.process.out, "");
    EXPECT_EQ(run.process.err, "");
    EXPECT_EQ(run.session.wire, expected_wire(file));
    EXPECT_EQ(run.session.all_faults(), std::vector<std::string>{});
}

TEST_P(CommandLine, DoubleDashSendsAFileNamedLikeAnOption) {
    const Program& program = GetParam();
    const std::vector<std::uint8_t> file = {0x2D, 0x70};
    const std::string path = scratch_.write("-p", file);
    simdev::Script script;
    script.acknowledge_blocks = program.block;
    ProcessOptions options;
    options.working_directory = scratch_.path();
    const UploadResult run = run_upload_with(program, {"--", "-p"}, script, options, program.port_link);

    EXPECT_EQ(run.process.exit_code, 0) << run.process.err;
    EXPECT_EQ(run.session.wire, expected_wire(file));
}

TEST_P(CommandLine, DashSendsStandardInputBitExact) {
    const Program& program = GetParam();
    std::vector<std::uint8_t> file = pattern_file(2500, 21);
    file[0] = 0x0D;
    file[1] = 0x0A;
    file[2] = 0x1A;  // what a text-mode standard input would translate or stop at
    simdev::Script script;
    script.acknowledge_blocks = program.block;
    ProcessOptions options;
    options.stdin_path = scratch_.write("stdin.bin", file);
    const UploadResult run = run_upload_with(program, {"-"}, script, options, program.port_link);

    EXPECT_EQ(run.process.exit_code, 0) << run.process.err;
    EXPECT_EQ(run.process.err, "");
    EXPECT_EQ(run.session.wire, expected_wire(file));
    EXPECT_EQ(run.process.lines(), expected_stdout(program, file));
}

// An input that is no file at all is named as standard input.
TEST_P(CommandLine, UnreadableStandardInputIsAnInputError) {
    const Program& program = GetParam();
    if (program.windows_paths) GTEST_SKIP() << "Windows has no directory to read as standard input";
    simdev::Script script;
    ProcessOptions options;
    options.stdin_path = scratch_.path();  // a directory
    const UploadResult run = run_upload_with(program, {"-"}, script, options, program.port_link);

    EXPECT_EQ(run.process.exit_code, 3);
    EXPECT_EQ(run.process.err, program.invocation + ": standard input: Is a directory\n");
    EXPECT_EQ(run.session.wire, std::vector<std::uint8_t>{});
}

// A status line on stderr when that is a terminal and the echo goes to a
// file; the echo itself is untouched. A summary line ends it.
TEST_P(CommandLine, ShowsProgressOnATerminalWhileTheEchoGoesToAFile) {
    const Program& program = GetParam();
    if (program.windows_paths) {
        GTEST_SKIP() << "Wine draws a Windows program's console on the terminal itself; the Windows tests read "
                        "the status line off a terminal pane";
    }
    const std::vector<std::uint8_t> file = pattern_file(3000, 22);
    simdev::Script script;
    script.acknowledge_blocks = program.block;
    script.pace_bytes_per_second = 6000;  // about a second, so that the line is redrawn
    ProcessOptions options;
    options.stderr_on_terminal = true;
    options.stdout_path = scratch_.path() + "/echo.txt";
    const UploadResult run =
        run_upload_with(program, {file_argument(program, scratch_.write("in.bin", file))}, script, options,
                        program.port_link);

    ASSERT_EQ(run.process.exit_code, 0) << run.process.err;
    EXPECT_EQ(run.session.wire, expected_wire(file));
    const std::string& err = run.process.err;
    EXPECT_GE(std::count(err.begin(), err.end(), '\r'), 2) << err;  // drawn and redrawn in place
    EXPECT_NE(err.find(" of 2.9 KiB ("), std::string::npos) << err;
    if (program.block) {
        EXPECT_NE(err.find("block 3 of 3, waiting for its acknowledgement"), std::string::npos) << err;
    }
    // One line in the end, the summary: the terminal turns its line end into CR LF.
    ASSERT_FALSE(run.process.err_pieces.empty());
    EXPECT_EQ(run.process.err_pieces.back().second.rfind("sent 3000 bytes in ", 0), 0u) << err;
    EXPECT_EQ(err.substr(err.size() - 2), "\r\n") << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    std::ifstream echo(options.stdout_path);
    std::string line;
    std::vector<std::string> lines;
    while (std::getline(echo, line)) lines.push_back(line);
    EXPECT_EQ(lines, expected_stdout(program, file));
}

TEST_P(CommandLine, ListNamesOnlyPortsThatExist) {
    const Program& program = GetParam();
    // Under Wine a port exists for Windows programs when the prefix links it;
    // the registry fixture's ports are listed all the same (windows_test
    // checks those lines).
    const Program::OtherPort& port = program.other_ports.at(1);
    const ProcessResult result = run({"--list"});

    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    ASSERT_FALSE(result.lines().empty());
    if (result.lines() == std::vector<std::string>{"No serial ports found."}) return;
    for (const std::string& line : result.lines()) {
        const std::string name = line.substr(0, line.find(':'));
        if (std::count(program.registered_ports.begin(), program.registered_ports.end(), name) > 0) continue;
        if (program.windows_paths) {
            ASSERT_EQ(name.rfind("COM", 0), 0u) << line;
            std::string link = name;
            std::transform(link.begin(), link.end(), link.begin(), ::tolower);
            EXPECT_EQ(access((port.link.substr(0, port.link.rfind('/') + 1) + link).c_str(), F_OK), 0) << line;
        } else {
            struct stat info {};
            EXPECT_EQ(stat(name.c_str(), &info), 0) << line;
            EXPECT_TRUE(S_ISCHR(info.st_mode)) << line;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BothSenders, CommandLine, ::testing::ValuesIn(programs_under_test()),
                         [](const auto& info) { return info.param.label; });

// ------------------------------------------------------------------ time-outs

class TimeLimit : public ::testing::TestWithParam<Program> {};

// The device never answers: with --timeout the sender gives up instead of
// waiting for ever, and sends no terminator.
TEST_P(TimeLimit, EndsAHopelessWaitWithStatus5AndNoTerminator) {
    const Program& program = GetParam();
    ScratchDir scratch;
    simdev::Script script;
    std::vector<std::uint8_t> file;
    if (program.block) {
        file = pattern_file(1500, 23);
        script.acknowledge_blocks = true;
        script.block_reply[0] = {};  // silence
    } else {
        // More than the pseudo-terminal buffers, held by an XOFF that never ends.
        file = pattern_file(64 * 1024, 24);
        script.at_wire_byte[400] = {simdev::send({simdev::xoff})};
    }
    const UploadResult run = run_upload(
        program, {"--timeout", "2", file_argument(program, scratch.write("in.bin", file))}, script,
        std::chrono::seconds(20));

    EXPECT_EQ(run.process.exit_code, 5) << run.process.err;
    EXPECT_LT(run.process.elapsed, std::chrono::seconds(10));
    EXPECT_FALSE(run.session.decoder.terminated());
    const std::string expected_reason =
        program.block ? "timed out: no acknowledgement of block 1 within 2 s of its last byte; no terminator sent"
                      : "timed out: the device has held the line for 2 s (XOFF without XON); no terminator sent";
    std::string expected_err = program.invocation + ": " + program.built_in_port + ": " + expected_reason + "\n";
    if (!program.settings_reset.empty()) {
        expected_err += program.invocation + ": " + program.built_in_port +
                        ": if the port's own DSR handshake held it: " + program.settings_reset + "\n";
    }
    EXPECT_EQ(run.process.err, console_text(program, expected_err));
    if (program.block) {
        // The wait went on printing its lines until it gave up.
        const std::vector<std::string> reads = read_lines(run.process.lines());
        EXPECT_GE(reads.size(), 1u);
        for (const std::string& line : reads) EXPECT_EQ(line.substr(0, 4), "0 - ");
        EXPECT_EQ(run.session.wire.size(), 2 * 1024u) << "the second block went out";
    }
}

// A time limit never cuts short a transfer that keeps moving.
TEST_P(TimeLimit, DoesNotDisturbATransferThatKeepsMoving) {
    const Program& program = GetParam();
    ScratchDir scratch;
    const std::vector<std::uint8_t> file = pattern_file(2500, 25);
    simdev::Script script;
    script.acknowledge_blocks = program.block;
    if (!program.block) {
        script.at_wire_byte[400] = {simdev::send({simdev::xoff}), simdev::pause(500), simdev::send({simdev::xon})};
    } else {
        script.block_reply[0] = {simdev::pause(500), simdev::send({simdev::acknowledgement})};
    }
    const UploadResult run =
        run_upload(program, {"--timeout=2", file_argument(program, scratch.write("in.bin", file))}, script);

    EXPECT_EQ(run.process.exit_code, 0) << run.process.err;
    EXPECT_EQ(run.process.err, "");
    EXPECT_EQ(run.session.wire, expected_wire(file));
}

INSTANTIATE_TEST_SUITE_P(BothSenders, TimeLimit, ::testing::ValuesIn(programs_under_test()),
                         [](const auto& info) { return info.param.label; });

}  // namespace
