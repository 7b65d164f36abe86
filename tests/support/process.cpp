#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace testing_support {

std::vector<std::string> ProcessResult::lines() const {
    std::vector<std::string> text;
    for (const auto& line : out_lines) text.push_back(line.second);
    return text;
}

namespace {

void take_lines(std::string& pending, ProcessResult& result) {
    std::size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.pop_back();  // Windows consoles end lines with CR LF
        result.out_lines.emplace_back(Clock::now(), line);
        pending.erase(0, end + 1);
    }
}

// Until the child has called exec its memory is a copy of ours: count it
// only once its name is no longer ours.
long peak_rss_of(pid_t pid) {
    static const std::string own_name = [] {
        std::string name;
        std::getline(std::ifstream("/proc/self/comm"), name);
        return name;
    }();
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Name:", 0) == 0 && line.substr(line.find_first_not_of(" \t", 5)) == own_name) return 0;
        if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return 0;
}

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options) {
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    const Clock::time_point started = Clock::now();
    const pid_t child = fork();
    if (child < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (child == 0) {
        setpgid(0, 0);  // so that a time-out can end the child and all it started
        if (options.discard_stdout) {
            const int null_out = open("/dev/null", O_WRONLY);
            if (null_out >= 0) dup2(null_out, STDOUT_FILENO);
        } else {
            dup2(out_pipe[1], STDOUT_FILENO);
        }
        dup2(err_pipe[1], STDERR_FILENO);
        const int null_in = open("/dev/null", O_RDONLY);
        if (null_in >= 0) dup2(null_in, STDIN_FILENO);
        if (!options.working_directory.empty() && chdir(options.working_directory.c_str()) != 0) _exit(126);
        for (const std::string& entry : options.environment) putenv(const_cast<char*>(entry.c_str()));
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (options.child_pid) *options.child_pid = child;

    ProcessResult result;
    std::string pending_out;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    bool exited = false;
    Clock::time_point exited_at{};
    int status = 0;
    for (;;) {
        const bool out_open = fds[0].fd >= 0, err_open = fds[1].fd >= 0;
        if (!out_open && !err_open && exited) break;
        // Whatever the child left running must not keep us reading forever.
        if (exited && Clock::now() - exited_at > std::chrono::seconds(2)) break;
        if (!exited && !result.timed_out && Clock::now() - started > options.time_limit) {
            kill(-child, SIGKILL);
            kill(child, SIGKILL);
            result.timed_out = true;
        }
        if (poll(fds, 2, 10) > 0) {
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                char buffer[4096];
                const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n <= 0) {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    continue;
                }
                if (i == 0) {
                    result.out.append(buffer, static_cast<std::size_t>(n));
                    pending_out.append(buffer, static_cast<std::size_t>(n));
                    take_lines(pending_out, result);
                } else {
                    result.err.append(buffer, static_cast<std::size_t>(n));
                }
            }
        }
        if (options.sample_peak_rss && !exited) {
            result.peak_rss_kib = std::max(result.peak_rss_kib, peak_rss_of(child));
        }
        rusage usage{};
        if (!exited && wait4(child, &status, WNOHANG, &usage) == child) {
            result.cpu_seconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                                 usage.ru_stime.tv_usec / 1e6;

            exited = true;
            exited_at = Clock::now();
            result.elapsed = exited_at - started;
        }
    }
    for (pollfd& fd : fds) {
        if (fd.fd >= 0) close(fd.fd);
    }
    if (!pending_out.empty()) result.out_lines.emplace_back(Clock::now(), pending_out);
    if (WIFEXITED(status) && !result.timed_out) result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

}  // namespace testing_support
