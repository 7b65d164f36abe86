// A terminal as a user has one: a pane of a private tmux server, with a
// command running in it. Wine gives a Windows program there a real console
// (its conhost draws it on the pane), so that what the pane shows in the
// end is what a user at a console would have seen, and keys typed into it
// reach the program as a console's keys do (Ctrl-C).
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/upload.h"

namespace testing_support {

class TerminalPane {
public:
    // Starts `command` in a new pane, 120 columns by 30 lines, with the
    // environment additions and its standard output sent to `stdout_path`
    // ("" leaves it on the terminal). Standard input and error stay on the
    // terminal. When it ends, the shell writes "[status N]" after it, as a
    // prompt would come. Throws when tmux cannot start.
    TerminalPane(const std::vector<std::string>& command, const std::vector<std::string>& environment,
                 const std::string& stdout_path);
    ~TerminalPane();
    TerminalPane(const TerminalPane&) = delete;
    TerminalPane& operator=(const TerminalPane&) = delete;

    // Types a key as tmux names it ("C-c"); false when tmux could not.
    bool press(const std::string& key);
    // Waits until the command has ended: its exit status, or -1 when it has
    // not ended within the limit.
    int wait(std::chrono::seconds limit);
    // The lines the pane shows, without their trailing blanks; wrapped lines
    // are joined.
    std::vector<std::string> screen() const;

private:
    ProcessResult tmux(const std::vector<std::string>& arguments) const;
    ScratchDir scratch_;
    std::string socket_;
    std::string status_file_;
};

}  // namespace testing_support
