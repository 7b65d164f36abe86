#include "tests/support/process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

extern char** environ;

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

void take_pieces(std::string& pending, ProcessResult& result) {
    std::size_t end;
    while ((end = pending.find_first_of("\r\n")) != std::string::npos) {
        if (end > 0) result.err_pieces.emplace_back(Clock::now(), pending.substr(0, end));
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

// The child's environment: ours without PELKRON_PORT, then the additions.
std::vector<std::string> child_environment(const std::vector<std::string>& additions) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry; ++entry) {
        if (std::strncmp(*entry, "PELKRON_PORT=", 13) == 0) continue;
        entries.emplace_back(*entry);
    }
    for (const std::string& addition : additions) {
        const std::string name = addition.substr(0, addition.find('=') + 1);
        entries.erase(std::remove_if(entries.begin(), entries.end(),
                                     [&](const std::string& e) { return e.rfind(name, 0) == 0; }),
                      entries.end());
        entries.push_back(addition);
    }
    return entries;
}

// execvp's search, done before forking: only async-signal-safe calls may
// follow a fork in a process that has other threads (the simulated device).
std::string resolve(const std::string& program) {
    if (program.find('/') != std::string::npos) return program;
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= folders.size()) {
        const std::size_t end = std::min(folders.find(':', start), folders.size());
        const std::string candidate = folders.substr(start, end - start) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return program;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (std::string& s : strings) result.push_back(&s[0]);
    result.push_back(nullptr);
    return result;
}

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options) {
    // Everything the child needs is made here, before the fork.
    std::vector<std::string> arguments = argv;
    const std::string program = resolve(arguments.at(0));
    std::vector<std::string> environment = child_environment(options.environment);
    std::vector<char*> argument_pointers = pointers(arguments);
    std::vector<char*> environment_pointers = pointers(environment);
    const bool close_in = std::count(options.closed_descriptors.begin(), options.closed_descriptors.end(), 0) > 0;
    const bool close_out = std::count(options.closed_descriptors.begin(), options.closed_descriptors.end(), 1) > 0;
    const bool close_err = std::count(options.closed_descriptors.begin(), options.closed_descriptors.end(), 2) > 0;

    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    int err_terminal = -1;  // the slave, for the child
    if (options.stderr_on_terminal) {
        close(err_pipe[0]);
        close(err_pipe[1]);
        err_pipe[0] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (err_pipe[0] < 0 || grantpt(err_pipe[0]) != 0 || unlockpt(err_pipe[0]) != 0) {
            throw std::runtime_error("cannot make a pseudo-terminal for stderr");
        }
        err_terminal = open(ptsname(err_pipe[0]), O_RDWR | O_NOCTTY | O_CLOEXEC);
        err_pipe[1] = err_terminal;
    }
    const int in_file = open(options.stdin_path.c_str(), O_RDONLY | O_CLOEXEC);
    const int out_file =
        options.discard_stdout ? open("/dev/null", O_WRONLY | O_CLOEXEC)
        : options.stdout_path.empty() ? -1
                                      : open(options.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (in_file < 0) throw std::runtime_error("cannot open " + options.stdin_path);
    const char* working_directory = options.working_directory.empty() ? nullptr : options.working_directory.c_str();

    const Clock::time_point started = Clock::now();
    const pid_t child = fork();
    if (child < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (child == 0) {
        setpgid(0, 0);  // so that a time-out can end the child and all it started
        dup2(in_file, STDIN_FILENO);
        dup2(out_file >= 0 ? out_file : out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        if (close_in) close(STDIN_FILENO);
        if (close_out) close(STDOUT_FILENO);
        if (close_err) close(STDERR_FILENO);
        if (working_directory && chdir(working_directory) != 0) _exit(126);
        if (options.gid >= 0 && (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(options.gid)) != 0)) _exit(126);
        if (options.uid >= 0 && setuid(static_cast<uid_t>(options.uid)) != 0) _exit(126);
        execve(program.c_str(), argument_pointers.data(), environment_pointers.data());
        _exit(127);
    }
    close(in_file);
    if (out_file >= 0) close(out_file);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (options.child_pid) *options.child_pid = child;

    ProcessResult result;
    std::string pending_out, pending_err;
    std::size_t out_bytes = 0;
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
                if (n <= 0) {  // a pseudo-terminal whose slave has closed says EIO
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    continue;
                }
                if (i == 0) {
                    result.out.append(buffer, static_cast<std::size_t>(n));
                    pending_out.append(buffer, static_cast<std::size_t>(n));
                    take_lines(pending_out, result);
                    out_bytes += static_cast<std::size_t>(n);
                    if (options.stop_reading_stdout_after > 0 && out_bytes >= options.stop_reading_stdout_after) {
                        close(fds[0].fd);
                        fds[0].fd = -1;
                    }
                } else {
                    result.err.append(buffer, static_cast<std::size_t>(n));
                    pending_err.append(buffer, static_cast<std::size_t>(n));
                    take_pieces(pending_err, result);
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
    if (!pending_err.empty()) result.err_pieces.emplace_back(Clock::now(), pending_err);
    if (WIFEXITED(status) && !result.timed_out) result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const Clock::time_point deadline = Clock::now() + limit;
    for (;;) {
        if (done()) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace testing_support
