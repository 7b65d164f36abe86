#include "tests/support/terminal.h"

#include <fstream>
#include <stdexcept>
#include <thread>

#include "tests/support/process.h"

namespace testing_support {

namespace {

std::string quoted(const std::string& text) {
    std::string result = "'";
    for (char c : text) {
        if (c == '\'') {
            result += "'\\''";
        } else {
            result += c;
        }
    }
    return result + "'";
}

}  // namespace

TerminalPane::TerminalPane(const std::vector<std::string>& command, const std::vector<std::string>& environment,
                           const std::string& stdout_path)
    : socket_(scratch_.path() + "/tmux"), status_file_(scratch_.path() + "/status") {
    // After the command the pane shows "[status N]" where the shell's
    // prompt would come, and the status goes to a file; then the pane stays
    // as it is until the server is ended.
    std::string line = "env -u PELKRON_PORT";
    for (const std::string& entry : environment) line += " " + quoted(entry);
    for (const std::string& argument : command) line += " " + quoted(argument);
    if (!stdout_path.empty()) line += " > " + quoted(stdout_path);
    const std::string script = scratch_.path() + "/run.sh";
    // The shell outlives a Ctrl-C typed for the command (under Wine it gets
    // SIGINT as well), so that it can still tell how the command ended; the
    // command itself starts with SIGINT as it should be.
    std::ofstream(script) << "trap true INT\n"
                          << line << "\n"
                          << "status=$?\n"
                          << "echo \"[status $status]\"\n"
                          << "echo $status > " << quoted(status_file_ + ".new") << "\n"
                          << "mv " << quoted(status_file_ + ".new") << " " << quoted(status_file_) << "\n"
                          << "exec sleep 600\n";
    const ProcessResult started = tmux({"new-session", "-d", "-x", "120", "-y", "30", "sh " + quoted(script)});
    if (started.exit_code != 0) throw std::runtime_error("tmux could not start a pane: " + started.err);
}

TerminalPane::~TerminalPane() { tmux({"kill-server"}); }

ProcessResult TerminalPane::tmux(const std::vector<std::string>& arguments) const {
    // -u and a UTF-8 locale: the pane's characters as they are, not as '_'.
    std::vector<std::string> command = {"tmux", "-u", "-f", "/dev/null", "-S", socket_};
    command.insert(command.end(), arguments.begin(), arguments.end());
    ProcessOptions options;
    options.time_limit = std::chrono::seconds(20);
    options.environment = {"LC_ALL=C.UTF-8"};
    return run_process(command, options);
}

bool TerminalPane::press(const std::string& key) { return tmux({"send-keys", key}).exit_code == 0; }

int TerminalPane::wait(std::chrono::seconds limit) {
    const auto until = Clock::now() + limit;
    while (Clock::now() < until) {
        std::ifstream status(status_file_);
        int code = -1;
        if (status >> code) return code;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

std::vector<std::string> TerminalPane::screen() const {
    std::vector<std::string> lines = tmux({"capture-pane", "-p", "-J"}).lines();
    for (std::string& line : lines) line.erase(line.find_last_not_of(' ') + 1);
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    return lines;
}

}  // namespace testing_support
