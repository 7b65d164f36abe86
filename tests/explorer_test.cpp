// Started from Explorer or not, as a function of what Windows reports, and
// what the window says before it closes.
#include <gtest/gtest.h>

#include "cli/explorer.h"

namespace {

struct StartCase {
    const char* name;
    StartFacts facts;
    bool wait;
};

void PrintTo(const StartCase& c, std::ostream* out) { *out << c.name; }

class StartedFrom : public ::testing::TestWithParam<StartCase> {};

TEST_P(StartedFrom, WaitsForEnterOnlyInAWindowExplorerMadeForIt) {
    EXPECT_EQ(started_from_explorer(GetParam().facts), GetParam().wait);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StartedFrom,
    ::testing::Values(
        // A double-click, a file dropped on the .exe or a shortcut, the Run box.
        StartCase{"explorer", {1, true, "explorer.exe"}, true},
        StartCase{"explorer_in_capitals", {1, true, "EXPLORER.EXE"}, true},
        // cmd, PowerShell, Windows Terminal, a batch file: their console is shared.
        StartCase{"command_prompt", {2, true, "cmd.exe"}, false},
        StartCase{"powershell", {3, true, "powershell.exe"}, false},
        StartCase{"batch_file_started_from_explorer", {2, true, "cmd.exe"}, false},
        // "start pelkron fw.bin" in a batch file: a console of its own.
        StartCase{"start_in_a_batch_file", {1, true, "cmd.exe"}, false},
        // The Task Scheduler: Windows 10 and 11, then Windows 7.
        StartCase{"scheduled_task", {1, true, "svchost.exe"}, false},
        StartCase{"scheduled_task_on_windows_7", {1, true, "taskeng.exe"}, false},
        StartCase{"input_redirected", {1, false, "explorer.exe"}, false},
        // A program that starts us without a console (a service, a GUI tool
        // with pipes).
        StartCase{"no_console", {0, false, "explorer.exe"}, false},
        StartCase{"parent_gone", {1, true, ""}, false},
        StartCase{"a_program_named_like_it", {1, true, "myexplorer.exe"}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ExplorerWindow, SaysInOneLineHowTheRunEnded) {
    EXPECT_EQ(explorer_outcome("pelkron", 0, "C:\\fw.bin", "COM7"),
              "pelkron: sent C:\\fw.bin to COM7: the device has the whole file");
    EXPECT_EQ(explorer_outcome("pelkron2", 1, "C:\\fw.bin", "usb:0403:6001"),
              "pelkron2: the device does not have the whole file: the port cannot be opened or refused a setting "
              "(exit status 1)");
    EXPECT_EQ(explorer_outcome("pelkron", 3, "C:\\fw.bin", "COM6"),
              "pelkron: the device does not have the whole file: the file cannot be opened or read (exit status 3)");
    EXPECT_EQ(explorer_outcome("pelkron", 4, "C:\\fw.bin", "COM6"),
              "pelkron: the device does not have the whole file: the port failed during the transfer (exit status 4)");
    EXPECT_EQ(explorer_outcome("pelkron", 5, "C:\\fw.bin", "COM6"),
              "pelkron: the device does not have the whole file: --timeout ran out (exit status 5)");
}

TEST(ExplorerWindow, HelpSaysHowToDropAFileAndSetThePortForGood) {
    const std::string help = explorer_help("pelkron2", "COM6");
    for (const char* part : {"drop the file to send on pelkron2.exe", "It goes to COM6.", "pelkron2 --list",
                             "setx PELKRON_PORT COM7", "setx PELKRON_PORT usb:0403:6001:A12345"}) {
        EXPECT_NE(help.find(part), std::string::npos) << part << " is missing from:\n" << help;
    }
}

}  // namespace
