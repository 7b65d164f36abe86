// A QEMU virtual machine with Debian's kernel, whose init runs the senders
// on the guest's real serial drivers (see tests/vm/init).
//
// The guest's console is QEMU's stdio, a socket pair to us; the port under
// test is a host tty that QEMU passes on to either a 16550 UART (the guest's
// /dev/ttyS1) or an emulated FTDI USB adapter (/dev/ttyUSB0); the monitor is
// a Unix socket, through which the adapter can be pulled out and put back.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace vm {

using Clock = std::chrono::steady_clock;

enum class Adapter {
    uart_16550,  // the second 16550 of a PC: the 8250 driver's /dev/ttyS1
    ftdi_usb     // QEMU's FTDI USB serial adapter on xHCI: ftdi_sio's /dev/ttyUSB0
};

// The FTDI adapter's USB serial number, for ports chosen by usb:VID:PID:SERIAL.
constexpr char ftdi_serial[] = "PK0001";

// QEMU's -device (and device_add) for the FTDI adapter with this id.
std::string ftdi_device(const std::string& id);

struct MachineConfig {
    std::string kernel;
    std::string initrd;
    Adapter adapter = Adapter::uart_16550;
    std::string port_tty;           // the host end of the port under test
    std::string work_dir;           // monitor socket and QEMU's own messages
    std::vector<std::string> runs;  // PORT:ARG0,ARG1,... as the init takes them
    std::string accel = "tcg";      // "kvm" only where it works
};

struct ConsoleLine {
    Clock::time_point at;
    std::string text;  // without "PK " and the line end
};

// What the init reported about one run.
struct GuestRun {
    bool finished = false;            // "PK done" came
    std::string failure;              // why not, when it did not
    int stty_status = -1;             // of the hostile stty; -1 when no port was given
    std::string stty_settings;        // the port's settings after it, as stty -g gives them
    int exit_status = -1;
    double elapsed_seconds = -1;      // busybox time: real, user, system
    double cpu_seconds = -1;          // user plus system
    std::string stdout_sha256;
    std::size_t stdout_lines = 0;
    std::vector<std::string> other_lines;  // stdout lines that are not pairs, the first 50
    std::string stderr_text;               // the lines, each ended by "\n"
    Clock::time_point started_at{};   // "PK start" arrived
    Clock::time_point ended_at{};     // "PK status" arrived
};

class Machine {
public:
    // Starts QEMU; throws std::runtime_error when it cannot start.
    explicit Machine(MachineConfig config);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Waits for the init's "PK ready". False (with the reason in failure)
    // when it did not come in time.
    bool wait_ready(std::string& failure, std::chrono::milliseconds time_limit = std::chrono::seconds(60));
    // Says "go NUMBER" (counted from 1 in config.runs) and returns once the
    // init says it starts the program.
    bool go(std::size_t number, std::string& failure, std::chrono::milliseconds time_limit = std::chrono::seconds(20));
    // Collects the reports of the run started last.
    GuestRun finish_run(std::chrono::milliseconds time_limit);

    // One command on QEMU's human monitor; returns what it answered.
    std::string monitor(const std::string& command);

    // Everything the console said so far, and QEMU's own messages: for
    // failure messages.
    std::string console_log() const;
    std::string qemu_log() const;

private:
    std::optional<ConsoleLine> next_report(Clock::time_point deadline);
    void send_line(const std::string& line);
    void read_console();
    bool qemu_running();

    MachineConfig config_;
    pid_t pid_ = -1;
    int console_ = -1;
    int monitor_ = -1;
    std::string monitor_path_;
    std::string log_path_;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<ConsoleLine> reports_;  // "PK " lines not yet taken
    std::string console_text_;         // everything, for failure messages
    bool console_closed_ = false;
    GuestRun current_;
};

// The guest's kernel command line for these runs.
std::string kernel_command_line(const std::vector<std::string>& runs);

}  // namespace vm
