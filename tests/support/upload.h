// Runs a sender against the simulated device and collects what each side saw.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "device/sim_device.h"
#include "tests/support/process.h"

namespace testing_support {

// One build of one sender, as the tests start it.
struct Program {
    std::string label;                 // for test names: letters, digits and _
    std::string name;                  // "pelkron" or "pelkron2", as its hints name it
    std::string invocation;            // what the program sees as its own name
    std::vector<std::string> command;  // everything before the file argument
    std::string port_link;             // where the simulated device must link its line
    std::string built_in_port;         // the port it opens when given none, as messages name it
    // What a time-out's last line tells the user to type for the settings
    // the built-in port keeps from others (Windows' DSR handshake); "" when
    // the platform keeps none.
    std::string settings_reset;
    // Ports other than the built-in one, as the program is told them (-p or
    // PELKRON_PORT) and where the simulated device must link its line for
    // each: on Windows COM7 and COM12 (two digits need the \\.\ form).
    struct OtherPort {
        std::string name;
        std::string link;
    };
    std::vector<OtherPort> other_ports;
    // Ports the system describes whether or not anything is linked there:
    // under Wine those of the registry fixture (tests/support/windows_ports.reg).
    std::vector<std::string> registered_ports;
    bool block = false;                // pelkron2
    std::vector<std::string> environment;
    // Wine keeps IXANY as it finds it and shares serial devices; the tests
    // that need those are left to the native builds.
    bool clears_ixany = true;
    bool exclusive_open = true;
    // The program is a Windows program under Wine: it takes file names as
    // Windows paths (Z:\ and backslashes).
    bool windows_paths = false;
    // How a line printed with "\n" reaches a pipe: Windows programs write
    // text streams with CR LF.
    std::string line_end = "\n";
    // Why a directory given as the file is refused: POSIX opens it and we
    // refuse it as a directory; Windows refuses to open it at all.
    std::string directory_error = "Is a directory";
    // Why reading /proc/self/mem fails at offset 0: the kernel says EIO;
    // Wine gives a Windows program ERROR_NOT_READY, which its C runtime
    // reports as EINVAL.
    std::string unreadable_file_error = "Input/output error";
    // Why an echo into a pipe nobody reads fails: EPIPE, which Windows'
    // C runtime reports as EINVAL.
    std::string broken_pipe_error = "Broken pipe";
    // A file the program takes about a second to send over an unpaced
    // pseudo-terminal, even if it ignored flow control: long enough to be
    // still sending through a hold, short enough to finish well within a
    // test's time limit. Natively a one-byte write costs a system call
    // (about half a million wire bytes a second); under Wine it is a round
    // trip through wineserver (about thirty thousand).
    std::size_t about_a_second_of_file = 256 * 1024;
};

std::vector<Program> programs_under_test();
std::vector<Program> stream_programs();
std::vector<Program> block_programs();

// A scratch folder that removes itself.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string write(const std::string& name, const std::vector<std::uint8_t>& bytes) const;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The bytes of a file; none when it cannot be read.
std::vector<std::uint8_t> read_file(const std::string& path);

struct UploadResult {
    ProcessResult process;
    simdev::Session session;
    termios line{};  // the line settings after the run
};

// Starts a fresh simulated device with the line in a cooked, odd state,
// runs the program with the given arguments and stops the device.
UploadResult run_upload(const Program& program, const std::vector<std::string>& arguments,
                        simdev::Script script, std::chrono::milliseconds time_limit = std::chrono::seconds(30));

// Has the device send these bytes before a program opens its port, where
// they wait to be read, on a raw line so that they wait as they are.
// Returns false when they have not arrived within five seconds.
bool send_before_the_run(simdev::SimDevice& device, const std::vector<std::uint8_t>& bytes);

// Hanging a line up (TIOCVHANGUP) takes root; other users skip those cases.
bool can_hang_up_lines();

// Runs the program with the given arguments and process options (the
// program's environment is added to the options' own) against a device
// linked at `link` that runs `script`.
UploadResult run_upload_with(const Program& program, const std::vector<std::string>& arguments,
                             simdev::Script script, ProcessOptions options, const std::string& link);

// A path as Windows programs under Wine take it: Z: and backslashes.
std::string windows_path(const std::string& path);
// Arguments as the program expects them (a Windows path under Wine).
std::string file_argument(const Program& program, const std::string& path);

// Console text as the program writes it: every "\n" becomes its line end.
std::string console_text(const Program& program, const std::string& text);

// The wire bytes and the echo lines a correct run produces.
std::vector<std::uint8_t> expected_wire(const std::vector<std::uint8_t>& file);
std::vector<std::string> pair_lines(const std::vector<std::uint8_t>& file);
// For the block sender: the pair lines with one "1 - 90" after each block.
std::vector<std::string> expected_stdout(const Program& program, const std::vector<std::uint8_t>& file);

std::vector<std::uint8_t> pattern_file(std::size_t size, std::uint32_t seed = 1);
std::vector<std::string> read_lines(const std::vector<std::string>& lines);  // lines like "1 - 90"

}  // namespace testing_support

namespace testing_support {
// Readable test parameters in gtest's output.
inline void PrintTo(const Program& program, std::ostream* out) { *out << program.label; }
}  // namespace testing_support
