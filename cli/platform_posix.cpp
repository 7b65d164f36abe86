#include "cli/platform.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>

#include "cli/progress.h"
#include "link/port.h"

namespace {

void on_fatal_signal(int signal_number) {
    port_release_on_signal();
    if (progress_line_drawn) {
        const ssize_t written = write(STDERR_FILENO, "\n", 1);
        (void)written;
    }
    // Die of the same signal, so that the shell and scripts see it.
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

}  // namespace

void prepare_process() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1) {
            // The lowest free number is this one.
            if (open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) != fd) _exit(127);
        }
    }
    signal(SIGPIPE, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = on_fatal_signal;
    sigemptyset(&action.sa_mask);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous {};
        // A signal that was ignored when we started (nohup, a background
        // job) stays ignored.
        if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        sigaction(signal_number, &action, nullptr);
    }
}

char** command_line_arguments(int&, char** argv) { return argv; }

std::string environment_value(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::FILE* open_input_file(const std::string& name) { return std::fopen(name.c_str(), "rb"); }

const char* help_switch() { return nullptr; }

bool is_terminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

void print_text(std::FILE* stream, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stream, format, arguments);
    va_end(arguments);
}

void make_binary(std::FILE*) {}

bool is_directory(std::FILE* input) {
    struct stat info {};
    return fstat(fileno(input), &info) == 0 && S_ISDIR(info.st_mode);
}

long long file_size(std::FILE* input) {
    struct stat info {};
    if (fstat(fileno(input), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
    return static_cast<long long>(info.st_size);
}

bool started_from_explorer() { return false; }

void wait_for_enter() {}
