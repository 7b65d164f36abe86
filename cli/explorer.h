// Started from Explorer (a double-click, a file dropped on the .exe, a
// shortcut), a console program gets a console window of its own, which
// closes the moment the program ends: nobody could read what it said. Then,
// and only then, the programs say how the run ended and wait for Enter.
// Started from a console, a batch file, a scheduled task or with standard
// input redirected, they never wait: a script would hang.
#pragma once

#include <string>

// What the platform tells of how the program was started.
struct StartFacts {
    unsigned console_processes = 0;  // processes attached to our console; 0: no console at all
    bool input_is_console = false;   // standard input is that console, not a file or a pipe
    std::string parent_program;      // the file name of the program that started us, "" when unknown
};

// A console of our own, read from the keyboard, made for us by Explorer.
// Its own console alone is not enough: a scheduled task, or `start` in a
// batch file, makes one too, and nobody may be there to press Enter.
bool started_from_explorer(const StartFacts& facts);

// Shown after the help when started from Explorer without a file.
std::string explorer_help(const std::string& program, const std::string& port);

// One line on how the run ended, by its exit status: "pelkron: sent
// C:\fw.bin to COM7", or "pelkron: not sent: <what the status means>".
std::string explorer_outcome(const std::string& program, int status, const std::string& file,
                             const std::string& port);

constexpr char press_enter[] = "Press Enter to close this window.";
