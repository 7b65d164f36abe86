#include "tests/vm/machine.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vm {

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

bool starts_with(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

std::string after(const std::string& text, const std::string& prefix) { return text.substr(prefix.size()); }

}  // namespace

std::string ftdi_device(const std::string& id) {
    return "usb-serial,id=" + id + ",bus=xhci.0,chardev=port,serial=" + ftdi_serial;
}

std::string kernel_command_line(const std::vector<std::string>& runs) {
    // loglevel=1: the kernel's own messages (a USB disconnect, say) must not
    // break into the middle of the init's report lines on the shared console.
    std::string line = "console=ttyS0 loglevel=1 panic=-1";
    for (const std::string& run : runs) line += " pk.run=" + run;
    return line;
}

Machine::Machine(MachineConfig config) : config_(std::move(config)) {
    monitor_path_ = config_.work_dir + "/monitor.sock";
    log_path_ = config_.work_dir + "/qemu.log";
    unlink(monitor_path_.c_str());

    std::vector<std::string> argv = {
        "qemu-system-x86_64", "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot",
        "-machine", "pc", "-accel", config_.accel, "-m", "256", "-smp", "1",
        "-kernel", config_.kernel, "-initrd", config_.initrd, "-append", kernel_command_line(config_.runs),
        "-chardev", "stdio,id=console,signal=off", "-serial", "chardev:console",
        "-chardev", "serial,id=port,path=" + config_.port_tty,
        "-monitor", "unix:" + monitor_path_ + ",server=on,wait=off",
    };
    if (config_.adapter == Adapter::uart_16550) {
        argv.insert(argv.end(), {"-serial", "chardev:port"});
    } else {
        argv.insert(argv.end(), {"-device", "qemu-xhci,id=xhci", "-device", ftdi_device("ftdi")});
    }

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) fail("socketpair");
    const int log = open(log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (log < 0) fail("open " + log_path_);

    std::vector<char*> args;
    for (std::string& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) fail("fork");
    if (pid_ == 0) {
        dup2(pair[1], 0);
        dup2(pair[1], 1);
        dup2(log, 2);
        execvp(args[0], args.data());
        dprintf(2, "cannot start %s: %s\n", args[0], std::strerror(errno));
        _exit(127);
    }
    close(pair[1]);
    close(log);
    console_ = pair[0];
    reader_ = std::thread([this] { read_console(); });
}

Machine::~Machine() {
    if (pid_ > 0) {
        // quit ends QEMU at once; the guest has nothing left to write back.
        try {
            monitor("quit");
        } catch (const std::exception&) {
        }
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    if (console_ >= 0) shutdown(console_, SHUT_RDWR);
    if (reader_.joinable()) reader_.join();
    if (console_ >= 0) close(console_);
    if (monitor_ >= 0) close(monitor_);
    unlink(monitor_path_.c_str());
}

void Machine::read_console() {
    std::string pending;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(console_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        const Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> lock(mutex_);
        console_text_.append(buffer, static_cast<std::size_t>(n));
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            while (!line.empty() && line.back() == '\r') line.pop_back();
            if (starts_with(line, "PK ")) reports_.push_back({now, after(line, "PK ")});
        }
        arrived_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    console_closed_ = true;
    arrived_.notify_all();
}

std::optional<ConsoleLine> Machine::next_report(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_until(lock, deadline, [this] { return !reports_.empty() || console_closed_; });
    if (reports_.empty()) return std::nullopt;
    ConsoleLine line = reports_.front();
    reports_.pop_front();
    return line;
}

void Machine::send_line(const std::string& line) {
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = send(console_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail("writing to the guest's console");
        done += static_cast<std::size_t>(n);
    }
}

bool Machine::qemu_running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

bool Machine::wait_ready(std::string& failure, std::chrono::milliseconds time_limit) {
    const Clock::time_point deadline = Clock::now() + time_limit;
    for (;;) {
        std::optional<ConsoleLine> line = next_report(deadline);
        if (!line) {
            failure = qemu_running() ? "the guest did not become ready in time"
                                     : "QEMU ended before the guest was ready: this machine cannot run the "
                                       "test machine (QEMU's messages below say why)";
            return false;
        }
        if (line->text == "ready") return true;
        if (starts_with(line->text, "insmod-failed")) {
            failure = "the guest could not load a module: " + line->text;
            return false;
        }
    }
}

bool Machine::go(std::size_t number, std::string& failure, std::chrono::milliseconds time_limit) {
    const Clock::time_point deadline = Clock::now() + time_limit;
    current_ = GuestRun{};
    send_line("go " + std::to_string(number));
    for (;;) {
        std::optional<ConsoleLine> line = next_report(deadline);
        if (!line) {
            failure = "the guest did not start run " + std::to_string(number);
            return false;
        }
        if (starts_with(line->text, "stty ")) {
            std::istringstream fields(after(line->text, "stty "));
            fields >> current_.stty_status >> current_.stty_settings;
        } else if (starts_with(line->text, "start ")) {
            current_.started_at = line->at;
            return true;
        } else if (starts_with(line->text, "unknown")) {
            failure = "the guest says: " + line->text;
            return false;
        }
    }
}

GuestRun Machine::finish_run(std::chrono::milliseconds time_limit) {
    const Clock::time_point deadline = Clock::now() + time_limit;
    GuestRun run = current_;
    for (;;) {
        std::optional<ConsoleLine> line = next_report(deadline);
        if (!line) {
            run.failure = qemu_running() ? "the run did not end in time" : "QEMU ended";
            return run;
        }
        const std::string& text = line->text;
        if (starts_with(text, "status ")) {
            run.exit_status = std::atoi(after(text, "status ").c_str());
            run.ended_at = line->at;
        } else if (starts_with(text, "time ")) {
            std::istringstream fields(after(text, "time "));
            double user = 0, system = 0;
            if (fields >> run.elapsed_seconds >> user >> system) run.cpu_seconds = user + system;
        } else if (starts_with(text, "stdout ")) {
            std::istringstream fields(after(text, "stdout "));
            fields >> run.stdout_sha256 >> run.stdout_lines;
        } else if (starts_with(text, "other ")) {
            run.other_lines.push_back(after(text, "other "));
        } else if (starts_with(text, "stderr ")) {
            run.stderr_text += after(text, "stderr ") + "\n";
        } else if (starts_with(text, "done")) {
            run.finished = true;
            return run;
        }
    }
}

std::string Machine::monitor(const std::string& command) {
    const auto read_to_prompt = [this]() {
        std::string answer;
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
        while (answer.find("(qemu) ") == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) throw std::runtime_error("QEMU's monitor did not answer");
            pollfd pfd{monitor_, POLLIN, 0};
            if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
            char buffer[1024];
            const ssize_t n = read(monitor_, buffer, sizeof buffer);
            if (n <= 0) break;  // QEMU closed it (after quit)
            answer.append(buffer, static_cast<std::size_t>(n));
        }
        return answer;
    };
    if (monitor_ < 0) {
        monitor_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (monitor_ < 0) fail("socket");
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (monitor_path_.size() >= sizeof address.sun_path) throw std::runtime_error("monitor path too long");
        std::strcpy(address.sun_path, monitor_path_.c_str());
        if (connect(monitor_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(monitor_);
            monitor_ = -1;
            fail("connect " + monitor_path_);
        }
        read_to_prompt();  // the banner
    }
    const std::string line = command + "\n";
    if (send(monitor_, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
        fail("writing to QEMU's monitor");
    }
    std::string answer = read_to_prompt();
    // The monitor echoes the command line; what follows up to the prompt is
    // its answer.
    const std::size_t echo_end = answer.find('\n');
    if (echo_end != std::string::npos) answer.erase(0, echo_end + 1);
    const std::size_t prompt = answer.rfind("(qemu) ");
    if (prompt != std::string::npos) answer.erase(prompt);
    return answer;
}

std::string Machine::console_log() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return console_text_;
}

std::string Machine::qemu_log() const {
    std::ifstream log(log_path_);
    std::ostringstream text;
    text << log.rdbuf();
    return text.str();
}

}  // namespace vm
