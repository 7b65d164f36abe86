// The Windows programs as Windows users meet them, under Wine: file names in
// any language, messages on a console, the progress line with the echo sent
// to NUL or a file, Ctrl-C, "/?", and a wall clock that jumps.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <thread>

#include "common/sha256.h"
#include "tests/support/terminal.h"
#include "tests/support/upload.h"

using namespace testing_support;

namespace {

// ------------------------------------------------------------------ locales

// Wine takes a Windows program's ANSI code page from the locale it runs in:
// the Western 1252 from C.UTF-8, the Cyrillic 1251 from ru_RU.UTF-8. Either
// way Wine's own file names are UTF-8, as on the Linux side.
const std::string western = "C.UTF-8";
const std::string russian = "ru_RU.UTF-8";

// ru_RU.UTF-8 is made once per build folder from Debian's locales package
// (localedef needs no root when the locale goes into a folder of our own).
std::string generated_locales() {
    const std::string folder = TEST_LOCALES;
    const std::string ctype = folder + "/" + russian + "/LC_CTYPE";
    if (access(ctype.c_str(), R_OK) != 0) {
        mkdir(folder.c_str(), 0755);
        ProcessOptions options;
        options.time_limit = std::chrono::seconds(60);
        const ProcessResult made = run_process({"localedef", "-i", "ru_RU", "-f", "UTF-8", folder + "/" + russian}, options);
        if (access(ctype.c_str(), R_OK) != 0) {
            ADD_FAILURE() << "localedef could not make " << russian << " (status " << made.exit_code
                          << "; is Debian's locales package installed?): " << made.err;
        }
    }
    return folder;
}

std::vector<std::string> with_locale(const Program& program, const std::string& locale) {
    std::vector<std::string> environment = program.environment;
    environment.push_back("LC_ALL=" + locale);
    if (locale == russian) environment.push_back("LOCPATH=" + generated_locales());
    return environment;
}

Program in_locale(Program program, const std::string& locale) {
    program.environment = with_locale(program, locale);
    return program;
}

// --------------------------------------------------------- names and files

struct NameCase {
    const char* label;
    std::string locale;
    std::string name;
    std::string look_alike;  // what Windows' best-fit mapping makes of the name in that locale, or ""
};

void PrintTo(const NameCase& c, std::ostream* out) { *out << c.label; }

class FileName : public ::testing::TestWithParam<std::tuple<Program, NameCase>> {};

// Any name Explorer can show uploads exactly that file, even with a file
// beside it whose name the ANSI code page makes of it.
TEST_P(FileName, UploadsExactlyTheFileNamed) {
    const Program& program = std::get<0>(GetParam());
    const NameCase& c = std::get<1>(GetParam());
    ScratchDir scratch;
    const std::vector<std::uint8_t> file = pattern_file(1500, 41);
    const std::string path = scratch.write(c.name, file);
    if (!c.look_alike.empty()) scratch.write(c.look_alike, pattern_file(1500, 42));
    simdev::Script script;
    script.acknowledge_blocks = program.block;
    const UploadResult run = run_upload(in_locale(program, c.locale), {file_argument(program, path)}, script);

    EXPECT_EQ(run.process.exit_code, 0) << run.process.err;
    EXPECT_EQ(run.process.err, "");
    EXPECT_EQ(run.session.wire, expected_wire(file));
    EXPECT_EQ(run.process.lines(), expected_stdout(program, file));
}

INSTANTIATE_TEST_SUITE_P(
    BothSenders, FileName,
    ::testing::Combine(::testing::ValuesIn(programs_under_test()),
                       ::testing::Values(NameCase{"umlaut_beside_its_look_alike_in_1251", russian, "Prüfung.bin",
                                                  "Prufung.bin"},
                                         NameCase{"chinese_in_1251", russian, "固件.bin", ""},
                                         NameCase{"cyrillic_in_1251", russian, "прошивка.bin", ""},
                                         NameCase{"chinese_in_1252", western, "固件.bin", ""},
                                         NameCase{"cyrillic_in_1252", western, "прошивка.bin", ""})),
    [](const auto& info) { return std::get<0>(info.param).label + "_" + std::get<1>(info.param).label; });

struct MessageCase {
    const char* label;
    std::string locale;
    std::string name;
    std::string bytes;  // the name as the message in a pipe carries it
};

void PrintTo(const MessageCase& c, std::ostream* out) { *out << c.label; }

class NameInAPipe : public ::testing::TestWithParam<MessageCase> {};

// A file or a pipe gets the ANSI code page's bytes, as it always has, and
// UTF-8 when the name has no form there: never a look-alike or "?".
TEST_P(NameInAPipe, IsInTheAnsiCodePageOrElseUtf8) {
    const MessageCase& c = GetParam();
    const Program program = in_locale(stream_programs().at(0), c.locale);
    ScratchDir scratch;
    const std::string missing = scratch.path() + "/" + c.name;
    std::vector<std::string> command = program.command;
    command.push_back(file_argument(program, missing));
    ProcessOptions options;
    options.environment = program.environment;
    const ProcessResult result = run_process(command, options);

    EXPECT_EQ(result.exit_code, 3);
    EXPECT_EQ(result.err, program.invocation + ": " + file_argument(program, scratch.path()) + "\\" + c.bytes +
                              ": No such file or directory\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    PelkronExe, NameInAPipe,
    ::testing::Values(MessageCase{"umlauts_in_1252", western, "Größe.bin", "Gr\xF6\xDF" "e.bin"},
                      MessageCase{"umlauts_in_1251", russian, "Größe.bin", "Größe.bin"},
                      MessageCase{"cyrillic_in_1251", russian, "прошивка.bin",
                                  "\xEF\xF0\xEE\xF8\xE8\xE2\xEA\xE0.bin"},
                      MessageCase{"chinese_in_1252", western, "固件.bin", "固件.bin"}),
    [](const auto& info) { return std::string(info.param.label); });

// --------------------------------------------------------------------- "/?"

class HelpSwitch : public ::testing::TestWithParam<Program> {};

TEST_P(HelpSwitch, SlashQuestionMarkShowsTheHelpAndLeavesThePortAlone) {
    const Program& program = GetParam();
    std::vector<std::string> command = program.command;
    command.push_back("/?");
    ProcessOptions options;
    options.environment = program.environment;
    simdev::SimDevice device(program.port_link);
    device.start({});
    const ProcessResult result = run_process(command, options);
    const simdev::Session session = device.stop();

    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out.rfind("Usage: " + program.name + " [OPTION]... FILE\r\n", 0), 0u) << result.out;
    // The help names the switch and what to type when a kept DSR handshake
    // holds the line.
    EXPECT_NE(result.out.find("--help             show this help (also /?)"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("  " + program.settings_reset + "\r\n"), std::string::npos) << result.out;
    EXPECT_EQ(session.wire, std::vector<std::uint8_t>{});
}

INSTANTIATE_TEST_SUITE_P(BothSenders, HelpSwitch, ::testing::ValuesIn(programs_under_test()),
                         [](const auto& info) { return info.param.label; });

// ------------------------------------------------------------ the console

std::vector<std::string> pane_command(const Program& program, const std::vector<std::string>& arguments) {
    std::vector<std::string> command = program.command;
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

std::string on_screen(const std::vector<std::string>& screen) {
    std::string text;
    for (const std::string& line : screen) text += line + "\n";
    return text;
}

// The line on the screen that holds `text`, or -1.
int line_with(const std::vector<std::string>& screen, const std::string& text) {
    for (std::size_t i = 0; i < screen.size(); ++i) {
        if (screen[i].find(text) != std::string::npos) return static_cast<int>(i);
    }
    return -1;
}

struct RedirectCase {
    const char* label;
    bool to_nul;  // > NUL (Wine's /dev/null), else > a file
};

void PrintTo(const RedirectCase& c, std::ostream* out) { *out << c.label; }

class ConsoleProgress : public ::testing::TestWithParam<std::tuple<Program, RedirectCase>> {};

// In a console with the echo sent elsewhere, the status line shows the
// transfer; NUL is no console, even though the C runtime calls it a
// terminal.
TEST_P(ConsoleProgress, ShowsTheStatusLineWithTheEchoRedirected) {
    const Program& program = std::get<0>(GetParam());
    const RedirectCase& c = std::get<1>(GetParam());
    ScratchDir scratch;
    const std::vector<std::uint8_t> file = pattern_file(3000, 43);
    const std::string echo = scratch.path() + "/echo.txt";
    simdev::SimDevice device(program.port_link);
    simdev::Script script;
    script.acknowledge_blocks = program.block;
    script.pace_bytes_per_second = 6000;  // about a second, so that the line is redrawn
    device.start(script);
    TerminalPane pane(pane_command(program, {file_argument(program, scratch.write("in.bin", file))}),
                      with_locale(program, western), c.to_nul ? "/dev/null" : echo);
    const int status = pane.wait(std::chrono::seconds(40));
    const simdev::Session session = device.stop();
    const std::vector<std::string> screen = pane.screen();

    ASSERT_EQ(status, 0) << "the run did not end well within 40 s:\n" << on_screen(screen);
    EXPECT_EQ(session.wire, expected_wire(file));
    // After a complete transfer the summary takes the status line's place,
    // and comes only where the status line showed.
    const int progress = line_with(screen, "sent 3000 bytes in ");
    EXPECT_GE(progress, 0) << on_screen(screen);
    if (progress >= 0) {
        EXPECT_NE(screen[progress].find(", sha256 " + sha256_hex(file)), std::string::npos) << screen[progress];
    }
    // Ended with a line end: what the shell printed next starts a line.
    EXPECT_EQ(line_with(screen, "[status 0]"), progress + 1) << on_screen(screen);
    if (!c.to_nul) {
        std::vector<std::string> lines;
        std::ifstream in(echo);
        for (std::string line; std::getline(in, line);) lines.push_back(line.substr(0, line.find('\r')));
        EXPECT_EQ(lines, expected_stdout(program, file));
    }
}

INSTANTIATE_TEST_SUITE_P(BothSenders, ConsoleProgress,
                         ::testing::Combine(::testing::ValuesIn(programs_under_test()),
                                            ::testing::Values(RedirectCase{"to_nul", true},
                                                              RedirectCase{"to_a_file", false})),
                         [](const auto& info) {
                             return std::get<0>(info.param).label + "_" + std::get<1>(info.param).label;
                         });

class ConsoleMessage : public ::testing::TestWithParam<NameCase> {};

// The console shows the name as it was typed, whatever its code page.
TEST_P(ConsoleMessage, NamesTheFileAsTyped) {
    const NameCase& c = GetParam();
    const Program program = stream_programs().at(0);
    ScratchDir scratch;
    TerminalPane pane(pane_command(program, {file_argument(program, scratch.path() + "/" + c.name)}),
                      with_locale(program, c.locale), "");
    const int status = pane.wait(std::chrono::seconds(30));
    const std::vector<std::string> screen = pane.screen();

    EXPECT_EQ(status, 3) << on_screen(screen);
    EXPECT_GE(line_with(screen, "\\" + c.name + ": No such file or directory"), 0) << on_screen(screen);
}

INSTANTIATE_TEST_SUITE_P(PelkronExe, ConsoleMessage,
                         ::testing::Values(NameCase{"umlauts_in_1251", russian, "Größe.bin", ""},
                                           NameCase{"chinese_in_1252", western, "固件.bin", ""}),
                         [](const auto& info) { return std::string(info.param.label); });

// ------------------------------------------------------------------- Ctrl-C

class CtrlC : public ::testing::TestWithParam<Program> {};

// Ctrl-C while the device holds the transfer: the status line is ended, the
// run ends with the status Windows gives a program ended by Ctrl-C (never
// 0, and no "Write Error!" of its own), and the port serves the next run.
// (Whether the purge throws away what the driver still queues cannot be
// seen here: a pseudo-terminal held by XOFF queues nothing.)
TEST_P(CtrlC, EndsTheRunAsInterruptedAndThePortServesTheNextRun) {
    const Program& program = GetParam();
    ScratchDir scratch;
    // More than a held line takes in for the stream sender; for the block
    // sender more than the first block, which is never acknowledged.
    const std::vector<std::uint8_t> file = pattern_file(program.block ? 3000 : program.about_a_second_of_file, 44);
    const std::string path = scratch.write("in.bin", file);
    simdev::SimDevice device(program.port_link);
    termios line = simdev::SimDevice::odd_line(device.line());
    line.c_iflag &= ~static_cast<tcflag_t>(IXANY);
    device.set_line(line);
    simdev::Script held;
    held.acknowledge_blocks = program.block;
    if (program.block) {
        held.block_reply[0] = {};  // the first block is never acknowledged
    } else {
        held.at_wire_byte[400] = {simdev::send({simdev::xoff})};  // never released
    }
    device.start(held);
    TerminalPane pane(pane_command(program, {file_argument(program, path)}), with_locale(program, western),
                      scratch.path() + "/echo.txt");
    const bool started = wait_until([&] { return device.progress().wire_bytes >= 400; }, std::chrono::seconds(30));
    ASSERT_TRUE(started) << "the transfer did not start within 30 s:\n" << on_screen(pane.screen());
    std::this_thread::sleep_for(std::chrono::milliseconds(700));  // held, with the status line drawn
    ASSERT_TRUE(pane.press("C-c"));
    const int status = pane.wait(std::chrono::seconds(20));
    const simdev::Session interrupted = device.stop();
    const std::vector<std::string> screen = pane.screen();

    EXPECT_EQ(status, static_cast<int>(0xC000013A & 0xFF)) << "STATUS_CONTROL_C_EXIT, as Wine passes it on\n"
                                                           << on_screen(screen);
    EXPECT_FALSE(interrupted.decoder.terminated());
    const int progress = line_with(screen, program.block ? "of 2.9 KiB" : "of 16.0 KiB");
    EXPECT_GE(progress, 0) << on_screen(screen);
    EXPECT_GT(line_with(screen, "[status " + std::to_string(status) + "]"), progress) << on_screen(screen);
    EXPECT_EQ(line_with(screen, "Error"), -1) << on_screen(screen);

    // The device lets go of the line for the next run.
    line.c_iflag &= ~static_cast<tcflag_t>(IXON);
    device.set_line(line);
    simdev::Script script;
    script.acknowledge_blocks = program.block;
    device.start(script);
    std::vector<std::string> command = program.command;
    command.push_back(file_argument(program, path));
    ProcessOptions options;
    options.environment = program.environment;
    options.discard_stdout = true;
    const ProcessResult next = run_process(command, options);
    const simdev::Session session = device.stop();
    EXPECT_EQ(next.exit_code, 0) << next.err;
    EXPECT_EQ(session.wire, expected_wire(file));
}

INSTANTIATE_TEST_SUITE_P(BothSenders, CtrlC, ::testing::ValuesIn(programs_under_test()),
                         [](const auto& info) { return info.param.label; });

// -------------------------------------------------------- the clock jumps

struct JumpCase {
    const char* label;
    const char* offset;  // libfaketime's offset of the wall clock from the real time
};

void PrintTo(const JumpCase& c, std::ostream* out) { *out << c.label; }

class ClockJump : public ::testing::TestWithParam<JumpCase> {};

// --timeout counts real seconds: moving the wall clock (libfaketime, for the
// Windows program only) neither ends the wait at once nor makes it last an
// hour.
TEST_P(ClockJump, LeavesTheAcknowledgementTimeOutAlone) {
    const JumpCase& c = GetParam();
    const Program program = block_programs().at(0);
    ASSERT_NE(std::string(FAKETIME_LIBRARY), "") << "libfaketime is missing (Debian's faketime package)";
    ASSERT_NE(std::string(WINE64_LOADER), "") << "Wine's 64-bit loader is missing";
    ScratchDir scratch;
    const std::string clock_file = scratch.path() + "/faketime";
    std::ofstream(clock_file) << "+0\n";
    const std::vector<std::uint8_t> file = pattern_file(1500, 45);
    simdev::SimDevice device(program.port_link);
    simdev::Script script;
    script.acknowledge_blocks = true;
    script.block_reply[0] = {};  // silence
    device.start(script);

    // The 64-bit loader itself: Debian's wine starts the 32-bit one first,
    // which cannot load the 64-bit library and says so on stderr.
    std::vector<std::string> command = {WINE64_LOADER, program.command.at(1), "--timeout", "5",
                                        file_argument(program, scratch.write("in.bin", file))};
    ProcessOptions options;
    options.time_limit = std::chrono::seconds(40);
    options.environment = program.environment;
    options.environment.insert(options.environment.end(),
                               {std::string("LD_PRELOAD=") + FAKETIME_LIBRARY, "FAKETIME_TIMESTAMP_FILE=" + clock_file,
                                "FAKETIME_NO_CACHE=1", "DONT_FAKE_MONOTONIC=1"});
    auto running = std::async(std::launch::async, [&] { return run_process(command, options); });
    wait_until([&] { return device.progress().wire_bytes >= simdev::block_wire_bytes; }, std::chrono::seconds(30));
    // A second and a half into the five-second wait.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    std::ofstream(clock_file) << c.offset << "\n";
    const ProcessResult result = running.get();
    device.stop();

    EXPECT_EQ(result.exit_code, 5) << result.err;
    EXPECT_NE(result.err.find("timed out: no acknowledgement of block 1 within 5 s"), std::string::npos)
        << result.err;
    // About one read a second for five seconds: four at the very least.
    EXPECT_GE(read_lines(result.lines()).size(), 4u) << result.out;
}

INSTANTIATE_TEST_SUITE_P(PelkronExe, ClockJump,
                         ::testing::Values(JumpCase{"two_minutes_forward", "+120"},
                                           JumpCase{"an_hour_back", "-3600"}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
