// make bench: the uploaders measured against the line, against a plain loop
// of writes and against pyserial, on pseudo-terminals. Every comparison is a
// ratio of figures taken in the same run; nothing here passes or fails.
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "device/sim_device.h"
#include "tests/support/process.h"
#include "tests/support/upload.h"

using namespace testing_support;

namespace {

constexpr double line_rate = 120;  // wire bytes a second at 1200 baud 8N1
constexpr double mib = 1024.0 * 1024.0;

struct Run {
    ProcessResult process;
    simdev::Session session;
    simdev::Clock::time_point started;
};

std::string scratch_file(const ScratchDir& scratch, std::size_t size) {
    return scratch.write("file-" + std::to_string(size), pattern_file(size, static_cast<std::uint32_t>(size)));
}

Run run(const std::vector<std::string>& command, simdev::Script script, bool keep_stdout = false) {
    simdev::SimDevice device(PORT_UNDER_TEST);
    device.start(std::move(script));
    ProcessOptions options;
    options.time_limit = std::chrono::minutes(10);
    options.discard_stdout = !keep_stdout;
    options.sample_peak_rss = true;
    Run result;
    result.started = simdev::Clock::now();
    result.process = run_process(command, options);
    // Paced, the device is still taking what the sender left in its buffer.
    for (int i = 0; i < 3000 && !device.progress().terminated && result.process.exit_code == 0; ++i) {
        usleep(10000);
    }
    result.session = device.stop();
    if (result.process.exit_code != 0 || !result.session.decoder.faults().empty()) {
        std::fprintf(stderr, "bench: %s failed (exit %d): %s\n", command[0].c_str(), result.process.exit_code,
                     result.process.err.c_str());
    }
    return result;
}

double seconds(simdev::Clock::duration d) { return std::chrono::duration<double>(d).count(); }

struct Json {
    std::ostringstream text;
    bool first = true;
    void add(const std::string& key, double value) {
        text << (first ? "{\n" : ",\n") << "  \"" << key << "\": " << value;
        first = false;
    }
    std::string str() const { return text.str() + "\n}\n"; }
};

std::string machine() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line, model = "unknown processor";
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    utsname names{};
    uname(&names);
    return model + ", " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores, " + names.sysname + " " +
           names.release;
}

simdev::Script block_script(double pace = 0) {
    simdev::Script script;
    script.acknowledge_blocks = true;
    script.pace_bytes_per_second = pace;
    return script;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string json_path = argc > 1 ? argv[1] : "bench.json";
    ScratchDir scratch;
    Json json;
    std::printf("pelkron benchmarks on %s\n", machine().c_str());

    // 1. Line efficiency: the device takes the wire at 1200 baud and paces the
    //    sender as a real one would.
    {
        const std::size_t size = 600;
        const std::string file = scratch_file(scratch, size);
        const double line_time = (2.0 * size + 1) / line_rate;
        simdev::Script stream;
        stream.pace_bytes_per_second = line_rate;
        const Run a = run({PELKRON_UNDER_TEST, file}, stream);
        const Run b = run({PELKRON2_UNDER_TEST, file}, block_script(line_rate));
        const double elapsed_a = seconds(a.session.terminated_at - a.started);
        const double elapsed_b = seconds(b.session.terminated_at - b.started);
        std::printf("\n1. Line efficiency, %zu-byte file, line time (2N+1)/120 = %.2f s\n", size, line_time);
        std::printf("   %-9s %10s %8s  %s\n", "program", "elapsed", "used", "pacing");
        std::printf("   %-9s %9.2fs %7.1f%%  %zu XOFF\n", "pelkron", elapsed_a, 100 * line_time / elapsed_a,
                    a.session.xoffs_sent);
        std::printf("   %-9s %9.2fs %7.1f%%  %zu acknowledgements\n", "pelkron2", elapsed_b,
                    100 * line_time / elapsed_b, b.session.turnarounds.size());
        json.add("line_time_s", line_time);
        json.add("pelkron_line_elapsed_s", elapsed_a);
        json.add("pelkron_line_used_percent", 100 * line_time / elapsed_a);
        json.add("pelkron2_line_elapsed_s", elapsed_b);
        json.add("pelkron2_line_used_percent", 100 * line_time / elapsed_b);
    }

    // 2. CPU per MiB on an unpaced pseudo-terminal.
    {
        const std::size_t size = 1024 * 1024;
        const std::size_t python_size = 256 * 1024;  // pyserial is slow; scaled per MiB below
        const std::string file = scratch_file(scratch, size);
        const std::string python_file = scratch_file(scratch, python_size);
        const double floor_cpu = run({FLOOR_WRITER, PORT_UNDER_TEST, file}, {}).process.cpu_seconds;
        const double stream_cpu = run({PELKRON_UNDER_TEST, file}, {}).process.cpu_seconds;
        const double block_cpu = run({PELKRON2_UNDER_TEST, file}, block_script()).process.cpu_seconds;
        const Run python = run({"/usr/bin/python3", PYSERIAL_UPLOAD, PORT_UNDER_TEST, python_file}, {});
        const bool have_python = python.process.exit_code == 0;
        const double python_cpu = python.process.cpu_seconds * size / python_size;
        std::printf("\n2. CPU per MiB sent, unpaced pseudo-terminal, echo to /dev/null\n");
        std::printf("   %-22s %10s %9s %11s\n", "program", "CPU s/MiB", "x floor", "x pyserial");
        auto row = [&](const char* name, double cpu) {
            std::printf("   %-22s %10.3f %9.2f", name, cpu, cpu / floor_cpu);
            if (have_python) {
                std::printf(" %11.2f\n", cpu / python_cpu);
            } else {
                std::printf(" %11s\n", "n/a");
            }
        };
        row("floor (writes only)", floor_cpu);
        row("pelkron", stream_cpu);
        row("pelkron2", block_cpu);
        if (have_python) row("pyserial", python_cpu);
        json.add("floor_cpu_s_per_mib", floor_cpu);
        json.add("pelkron_cpu_s_per_mib", stream_cpu);
        json.add("pelkron2_cpu_s_per_mib", block_cpu);
        if (have_python) json.add("pyserial_cpu_s_per_mib", python_cpu);
    }

    // 3. Peak memory: the file is streamed, so it must not depend on its size.
    {
        std::printf("\n3. Peak RSS\n   %-10s %12s %12s\n", "file", "pelkron", "pelkron2");
        for (std::size_t size : {std::size_t{4096}, std::size_t{1024 * 1024}, std::size_t{16 * 1024 * 1024}}) {
            const std::string file = scratch_file(scratch, size);
            const long a = run({PELKRON_UNDER_TEST, file}, {}).process.peak_rss_kib;
            const long b = run({PELKRON2_UNDER_TEST, file}, block_script()).process.peak_rss_kib;
            std::printf("   %7.0f KiB %9ld KiB %9ld KiB\n", size / 1024.0, a, b);
            json.add("pelkron_peak_rss_kib_" + std::to_string(size), static_cast<double>(a));
            json.add("pelkron2_peak_rss_kib_" + std::to_string(size), static_cast<double>(b));
        }
    }

    // 4. From the device's acknowledgement to the first byte of the next block.
    {
        const std::string file = scratch_file(scratch, 100 * 1024 + 1);
        const Run b = run({PELKRON2_UNDER_TEST, file}, block_script());
        std::vector<double> ms;
        for (const auto& turn : b.session.turnarounds) {
            if (ms.size() < 100 && turn.second > turn.first) ms.push_back(1000 * seconds(turn.second - turn.first));
        }
        std::sort(ms.begin(), ms.end());
        const double median = ms.empty() ? 0 : ms[ms.size() / 2];
        const double p99 = ms.empty() ? 0 : ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
        std::printf("\n4. Acknowledgement turnaround over %zu blocks: median %.3f ms, 99th percentile %.3f ms\n",
                    ms.size(), median, p99);
        json.add("ack_turnaround_median_ms", median);
        json.add("ack_turnaround_p99_ms", p99);
    }

    // 5. Waiting costs nothing: held by XOFF, or waiting for a silent device.
    {
        const std::string file = scratch_file(scratch, 2000);
        simdev::Script held;
        held.at_wire_byte[100] = {simdev::send({simdev::xoff}), simdev::pause(5000), simdev::send({simdev::xon})};
        const double held_cpu = run({PELKRON_UNDER_TEST, file}, held).process.cpu_seconds;
        simdev::Script silent = block_script();
        silent.block_reply[0] = {simdev::pause(10000), simdev::send({simdev::acknowledgement})};
        const double silent_cpu = run({PELKRON2_UNDER_TEST, file}, silent).process.cpu_seconds;
        std::printf("\n5. CPU while waiting: pelkron held by XOFF for 5 s: %.3f s; "
                    "pelkron2 waiting 10 s for a silent device: %.3f s\n",
                    held_cpu, silent_cpu);
        json.add("pelkron_cpu_s_held_5s", held_cpu);
        json.add("pelkron2_cpu_s_silent_10s", silent_cpu);
    }

    std::ofstream(json_path) << json.str();
    std::printf("\nFigures as JSON: %s\n", json_path.c_str());
    return 0;
}
