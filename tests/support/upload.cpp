#include "tests/support/upload.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace testing_support {

std::vector<Program> stream_programs() {
    std::vector<Program> programs;
    for (const Program& program : programs_under_test()) {
        if (!program.block) programs.push_back(program);
    }
    return programs;
}

std::vector<Program> block_programs() {
    std::vector<Program> programs;
    for (const Program& program : programs_under_test()) {
        if (program.block) programs.push_back(program);
    }
    return programs;
}

ScratchDir::ScratchDir() {
    char name[] = "/tmp/pelkron-test-XXXXXX";
    if (!mkdtemp(name)) throw std::runtime_error("mkdtemp failed");
    path_ = name;
}

ScratchDir::~ScratchDir() {
    const std::string command = "rm -rf '" + path_ + "'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", path_.c_str());
}

std::string ScratchDir::write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
    const std::string file = path_ + "/" + name;
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + file);
    return file;
}

std::vector<std::uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

UploadResult run_upload(const Program& program, const std::vector<std::string>& arguments,
                        simdev::Script script, std::chrono::milliseconds time_limit) {
    ProcessOptions options;
    options.time_limit = time_limit;
    return run_upload_with(program, arguments, std::move(script), options, program.port_link);
}

UploadResult run_upload_with(const Program& program, const std::vector<std::string>& arguments,
                             simdev::Script script, ProcessOptions options, const std::string& link) {
    simdev::SimDevice device(link);
    termios odd = simdev::SimDevice::odd_line(device.line());
    if (!program.clears_ixany) odd.c_iflag &= ~static_cast<tcflag_t>(IXANY);
    // A line left by `stty sane`: a BREAK would flush our output, and
    // parity would be checked.
    odd.c_iflag |= BRKINT | INPCK;
    odd.c_iflag &= ~static_cast<tcflag_t>(IGNBRK);
    device.set_line(odd);
    device.start(std::move(script));

    std::vector<std::string> command = program.command;
    command.insert(command.end(), arguments.begin(), arguments.end());
    options.environment.insert(options.environment.begin(), program.environment.begin(), program.environment.end());

    UploadResult result;
    result.process = run_process(command, options);
    result.session = device.stop();
    result.line = device.line();
    return result;
}

bool send_before_the_run(simdev::SimDevice& device, const std::vector<std::uint8_t>& bytes) {
    termios raw = device.line();
    cfmakeraw(&raw);
    device.set_line(raw);
    device.send_now(bytes);
    const int fd = open(device.slave_path().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    int waiting = 0;
    for (auto end = Clock::now() + std::chrono::seconds(5); Clock::now() < end;) {
        if (ioctl(fd, FIONREAD, &waiting) != 0 || waiting >= static_cast<int>(bytes.size())) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    close(fd);
    return waiting >= static_cast<int>(bytes.size());
}

bool can_hang_up_lines() { return geteuid() == 0; }

std::string windows_path(const std::string& path) {
    std::string windows = "Z:" + path;
    for (char& c : windows) {
        if (c == '/') c = '\\';
    }
    return windows;
}

std::string file_argument(const Program& program, const std::string& path) {
    return program.windows_paths ? windows_path(path) : path;
}

std::string console_text(const Program& program, const std::string& text) {
    std::string converted;
    for (char c : text) {
        if (c == '\n') {
            converted += program.line_end;
        } else {
            converted += c;
        }
    }
    return converted;
}

std::vector<std::uint8_t> expected_wire(const std::vector<std::uint8_t>& file) {
    std::vector<std::uint8_t> wire;
    for (std::uint8_t byte : file) {
        wire.push_back(static_cast<std::uint8_t>(byte >> 4));
        wire.push_back(static_cast<std::uint8_t>(byte & 0x0F));
    }
    wire.push_back(0x10);
    return wire;
}

std::vector<std::string> pair_lines(const std::vector<std::uint8_t>& file) {
    std::vector<std::string> lines;
    for (std::uint8_t byte : file) {
        char line[8];
        std::snprintf(line, sizeof line, "%02x %02x", byte >> 4, byte & 0x0F);
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> expected_stdout(const Program& program, const std::vector<std::uint8_t>& file) {
    const std::vector<std::string> pairs = pair_lines(file);
    if (!program.block) return pairs;
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        lines.push_back(pairs[i]);
        if ((i + 1) % 1024 == 0 || i + 1 == pairs.size()) lines.push_back("1 - 90");
    }
    return lines;
}

std::vector<std::uint8_t> pattern_file(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t state = seed;
    for (std::uint8_t& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return bytes;
}

std::vector<std::string> read_lines(const std::vector<std::string>& lines) {
    std::vector<std::string> reads;
    for (const std::string& line : lines) {
        if (line.find(" - ") != std::string::npos) reads.push_back(line);
    }
    return reads;
}

}  // namespace testing_support
