// What only the Windows programs do, under Wine.
//
// The port list and usb: names, on the made-up PC of
// tests/support/windows_ports.reg (imported into the Wine prefix with every
// session): two FTDI adapters alike but for their serial numbers on COM7 and
// COM12, a CH340 without one on COM3, the PC's own COM1, a printer port,
// and one end of a virtual port pair that only SERIALCOMM knows.
//
// Never waiting for Enter unless started from Explorer. Wine cannot start a
// program as Explorer does (its consoles on a terminal count two processes,
// and no Explorer is there to start it), so the waiting itself is left to
// the table of cli/explorer.h; here the real facts, read under Wine, must
// not make a program wait.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <regex>

#include "tests/support/upload.h"

using namespace testing_support;

namespace {

// Where the device must link its line to be COMn: dosdevices/comn.
std::string port_link(const Program& program, std::string port) {
    for (char& c : port) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return program.port_link.substr(0, program.port_link.rfind('/') + 1) + port;
}

class WindowsPorts : public ::testing::TestWithParam<Program> {};

TEST_P(WindowsPorts, ListShowsEachPortOnceWithTheIdentityToGive) {
    const Program& program = GetParam();
    std::vector<std::string> command = program.command;
    command.push_back("--list");
    ProcessOptions options;
    options.environment = program.environment;
    const ProcessResult result = run_process(command, options);

    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    // Wine enters the host's own serial ports too (COMn for /dev/ttyS(n-1)),
    // each as SERIALCOMM's bare name unless the fixture describes it.
    const std::regex hosts_port(R"(COM([0-9]+): \\Device\\Serial([0-9]+))");
    std::vector<std::string> described;
    for (const std::string& line : result.lines()) {
        std::smatch number;
        if (std::regex_match(line, number, hosts_port) && std::stoi(number[1]) == std::stoi(number[2]) + 1) continue;
        described.push_back(line);
    }
    EXPECT_EQ(described, (std::vector<std::string>{
                             "COM1: Communications Port (COM1)",
                             "COM3: USB-SERIAL CH340 (COM3), usb:1a86:7523 (wch.cn)",
                             "COM7: USB Serial Port (COM7), usb:0403:6001:A12345 (FTDI)",
                             "COM12: USB Serial Port (COM12), usb:0403:6001:B67890 (FTDI)",
                             "\\\\.\\CNCA0: \\Device\\com0com10",
                         }))
        << result.out;
}

struct IdentityCase {
    const char* name;
    std::vector<std::string> options;
    std::vector<std::string> environment;
    const char* device_on;  // the port the device is linked at
    const char* reason;     // after "Open Error!" and the port; empty: the file goes through
};

void PrintTo(const IdentityCase& c, std::ostream* out) { *out << c.name; }

class PortByIdentity : public ::testing::TestWithParam<std::tuple<Program, IdentityCase>> {};

TEST_P(PortByIdentity, OpensTheOneAdapterOrNamesTheCandidates) {
    const Program& program = std::get<0>(GetParam());
    const IdentityCase& c = std::get<1>(GetParam());
    ScratchDir scratch;
    const std::vector<std::uint8_t> file = {0x41, 0xFE};
    std::vector<std::string> arguments = c.options;
    arguments.push_back(file_argument(program, scratch.write("in.bin", file)));
    ProcessOptions options;
    options.environment = c.environment;
    simdev::Script script;
    script.acknowledge_blocks = program.block;
    const UploadResult run = run_upload_with(program, arguments, script, options, port_link(program, c.device_on));

    if (std::string(c.reason).empty()) {
        EXPECT_EQ(run.process.exit_code, 0) << run.process.err;
        EXPECT_EQ(run.process.err, "");
        EXPECT_EQ(run.session.wire, expected_wire(file));
        return;
    }
    const std::string given = c.options.empty() ? c.environment.at(0).substr(c.environment.at(0).find('=') + 1)
                                                : c.options.back();
    EXPECT_EQ(run.process.exit_code, 1);
    EXPECT_EQ(run.process.err,
              console_text(program, "Open Error!\n" + program.invocation + ": " + given + ": " + c.reason + "\n"));
    EXPECT_EQ(run.process.out, "");
    EXPECT_EQ(run.session.wire, std::vector<std::uint8_t>{});
}

INSTANTIATE_TEST_SUITE_P(
    Wine, PortByIdentity,
    ::testing::Combine(
        ::testing::ValuesIn(programs_under_test()),
        ::testing::Values(
            IdentityCase{"serial_chooses_the_first", {"-p", "usb:0403:6001:A12345"}, {}, "COM7", ""},
            // Two digits: the device namespace, as for -p COM12.
            IdentityCase{"serial_in_lower_case_chooses_the_second", {"--port=usb:0403:6001:b67890"}, {}, "COM12", ""},
            IdentityCase{"environment_without_serial", {}, {"PELKRON_PORT=usb:1A86:7523"}, "COM3", ""},
            IdentityCase{"two_alike", {"-p", "usb:0403:6001"}, {}, "COM7",
                         "2 ports have this identity: usb:0403:6001:A12345 on COM7, usb:0403:6001:B67890 on COM12; "
                         "add the serial number"},
            IdentityCase{"unknown_serial", {}, {"PELKRON_PORT=usb:0403:6001:C1"}, "COM7",
                         "no USB adapter has this identity; plugged in: usb:1a86:7523 on COM3, usb:0403:6001:A12345 "
                         "on COM7, usb:0403:6001:B67890 on COM12"},
            IdentityCase{"unknown_product", {"-p", "usb:0403:6015"}, {}, "COM7",
                         "no USB adapter has this identity; plugged in: usb:1a86:7523 on COM3, usb:0403:6001:A12345 "
                         "on COM7, usb:0403:6001:B67890 on COM12"})),
    [](const auto& info) { return std::get<0>(info.param).label + "_" + std::get<1>(info.param).name; });

// ------------------------------------------------------ never a needless wait

// Standard input that never ends: a FIFO this test keeps open for writing.
// A program that waited for Enter on it would wait until the time limit.
class EndlessInput {
public:
    explicit EndlessInput(const ScratchDir& scratch) : path_(scratch.path() + "/stdin") {
        if (mkfifo(path_.c_str(), 0600) == 0) writer_ = open(path_.c_str(), O_RDWR);
    }
    ~EndlessInput() {
        if (writer_ >= 0) close(writer_);
    }
    bool ready() const { return writer_ >= 0; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    int writer_ = -1;
};

class NoWait : public ::testing::TestWithParam<Program> {};

TEST_P(NoWait, NeitherWithoutAFileNorAfterAnUploadNorInAConsoleOfItsOwn) {
    const Program& program = GetParam();
    ScratchDir scratch;
    const EndlessInput input(scratch);
    ASSERT_TRUE(input.ready()) << "no FIFO for standard input";
    ProcessOptions options;
    options.stdin_path = input.path();
    options.time_limit = std::chrono::seconds(15);
    options.environment = program.environment;

    // No file: the usage line, as from a console.
    std::vector<std::string> command = program.command;
    const ProcessResult bare = run_process(command, options);
    EXPECT_FALSE(bare.timed_out) << "waited without a file";
    EXPECT_EQ(bare.exit_code, 2);
    EXPECT_EQ(bare.err.find(program.invocation + ": filename"), 0u) << bare.err;
    EXPECT_EQ(bare.out, "");

    // `start /wait` gives the program a console of its own, as Explorer
    // would, but is no Explorer.
    const ProcessResult own_console =
        run_process({program.command.at(0), "start", "/wait", windows_path(program.command.at(1))}, options);
    EXPECT_FALSE(own_console.timed_out) << "waited in a console of its own";
    EXPECT_EQ(own_console.exit_code, 2);

    // A whole upload: nothing after the echo.
    const std::vector<std::uint8_t> file = {0x41, 0xFE};
    simdev::Script script;
    script.acknowledge_blocks = program.block;
    const UploadResult run = run_upload_with(
        program, {file_argument(program, scratch.write("in.bin", file))}, script, options, program.port_link);
    EXPECT_FALSE(run.process.timed_out) << "waited after the upload";
    EXPECT_EQ(run.process.exit_code, 0) << run.process.err;
    EXPECT_EQ(run.process.lines(), expected_stdout(program, file));
}

INSTANTIATE_TEST_SUITE_P(Wine, NoWait, ::testing::ValuesIn(programs_under_test()),
                         [](const auto& info) { return info.param.label; });

INSTANTIATE_TEST_SUITE_P(Wine, WindowsPorts, ::testing::ValuesIn(programs_under_test()),
                         [](const auto& info) { return info.param.label; });

}  // namespace
