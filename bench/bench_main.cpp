// make bench: the uploaders measured against the line, against a plain loop
// of writes and against pyserial, on pseudo-terminals. Every CPU and time
// figure is the median of several runs with the smallest and the largest
// beside it; every comparison is a ratio of medians taken in the same run of
// the bench. Nothing here passes or fails.
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "device/sim_device.h"
#include "tests/support/process.h"
#include "tests/support/ser2net.h"
#include "tests/support/upload.h"

using namespace testing_support;

namespace {

constexpr int runs = 5;            // of every CPU and time figure
constexpr double line_rate = 120;  // wire bytes a second at 1200 baud 8N1
constexpr double mib = 1024.0 * 1024.0;

// One row of every table: a program as a user starts it. Another variant is
// one more line in `variants` below.
struct Variant {
    std::string name;
    std::vector<std::string> command;  // everything before the file argument
    bool block = false;                // the device acknowledges blocks (pelkron2)
    // How its runs differ from a plain one, e.g. where its stderr goes.
    std::function<void(ProcessOptions&)> adjust = nullptr;
    // Measured for CPU only: what an option costs on the hot path.
    bool cpu_only = false;
};

void progress_on(ProcessOptions& options) { options.stderr_on_terminal = true; }

const std::vector<Variant> all_variants = {
    {"pelkron", {PELKRON_UNDER_TEST}, false},
    {"pelkron2", {PELKRON2_UNDER_TEST}, true},
    {"pelkron --timeout 60", {PELKRON_UNDER_TEST, "--timeout", "60"}, false, nullptr, true},
    {"pelkron2 --timeout 60", {PELKRON2_UNDER_TEST, "--timeout", "60"}, true, nullptr, true},
    {"pelkron, progress line", {PELKRON_UNDER_TEST}, false, progress_on, true},
    {"pelkron2, progress line", {PELKRON2_UNDER_TEST}, true, progress_on, true},
    {"pelkron --quiet", {PELKRON_UNDER_TEST, "--quiet"}, false, nullptr, true},
    {"pelkron -q, progress line", {PELKRON_UNDER_TEST, "--quiet"}, false, progress_on, true},
};

// The rows of every table but the CPU one.
const std::vector<Variant> variants = [] {
    std::vector<Variant> plain;
    for (const Variant& variant : all_variants) {
        if (!variant.cpu_only) plain.push_back(variant);
    }
    return plain;
}();

struct Run {
    ProcessResult process;
    simdev::Session session;
    simdev::Clock::time_point started;
};

std::string scratch_file(const ScratchDir& scratch, std::size_t size) {
    return scratch.write("file-" + std::to_string(size), pattern_file(size, static_cast<std::uint32_t>(size)));
}

// Runs the command against a device already started, waits until the
// device has taken everything (paced, or behind ser2net, it is still taking
// what the sender left in a buffer) and ends the device's session.
Run run_against(simdev::SimDevice& device, const std::vector<std::string>& command, const ProcessOptions& options) {
    Run result;
    result.started = simdev::Clock::now();
    result.process = run_process(command, options);
    for (int i = 0; i < 3000 && !device.progress().terminated && result.process.exit_code == 0; ++i) {
        usleep(10000);
    }
    result.session = device.stop();
    // Behind ser2net the end can still be lost after a status 0: ser2net
    // flushes the port when it closes it, taking what the device has not
    // read yet.
    if (result.process.exit_code != 0 || !result.session.all_faults().empty() ||
        !result.session.decoder.terminated()) {
        std::fprintf(stderr, "bench: %s failed (exit %d%s): %s\n", command[0].c_str(), result.process.exit_code,
                     result.session.decoder.terminated() ? "" : ", no terminator reached the device",
                     result.process.err.c_str());
    }
    return result;
}

ProcessOptions bench_options() {
    ProcessOptions options;
    options.time_limit = std::chrono::minutes(10);
    options.discard_stdout = true;
    return options;
}

Run run(const std::vector<std::string>& command, simdev::Script script,
        const std::function<void(ProcessOptions&)>& adjust = nullptr) {
    simdev::SimDevice device(PORT_UNDER_TEST);
    device.start(std::move(script));
    ProcessOptions options = bench_options();
    options.sample_peak_rss = true;
    if (adjust) adjust(options);
    return run_against(device, command, options);
}

Run run_variant(const Variant& variant, const std::string& file, simdev::Script script) {
    std::vector<std::string> command = variant.command;
    command.push_back(file);
    script.acknowledge_blocks = variant.block;
    return run(command, std::move(script), variant.adjust);
}

double seconds(simdev::Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A run through Debian's ser2net on 127.0.0.1, serving a fresh simulated
// device: `command_for` makes the command from the port's address.
Run run_remote(const std::function<std::vector<std::string>(const std::string&)>& command_for, simdev::Script script,
               const std::vector<std::string>& ser2net_options = {}) {
    ScratchDir folder;
    simdev::SimDevice device(folder.path() + "/tty");
    Ser2net server(folder.path(), device.slave_path(), free_port(), ser2net_options);
    device.start(std::move(script));
    return run_against(device, command_for(server.address()), bench_options());
}

// The runs of one figure.
struct Spread {
    std::vector<double> values;
    double median() const {
        std::vector<double> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        if (sorted.empty()) return 0;
        const std::size_t n = sorted.size();
        return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    }
    double min() const { return values.empty() ? 0 : *std::min_element(values.begin(), values.end()); }
    double max() const { return values.empty() ? 0 : *std::max_element(values.begin(), values.end()); }
};

// Each run's median and 99th percentile of the first 100 turnarounds, in ms.
void add_turnarounds(const simdev::Session& session, Spread& median, Spread& p99) {
    std::vector<double> ms;
    for (const auto& turn : session.turnarounds) {
        if (ms.size() < 100 && turn.second > turn.first) ms.push_back(1000 * seconds(turn.second - turn.first));
    }
    std::sort(ms.begin(), ms.end());
    median.values.push_back(ms.empty() ? 0 : ms[ms.size() / 2]);
    p99.values.push_back(ms.empty() ? 0 : ms[std::min(ms.size() - 1, ms.size() * 99 / 100)]);
}

// "median min max" in three columns of the given width.
std::string columns(const Spread& s, int width, int precision) {
    char text[96];
    std::snprintf(text, sizeof text, "%*.*f %*.*f %*.*f", width, precision, s.median(), width, precision, s.min(),
                  width, precision, s.max());
    return text;
}

std::string count_of(std::size_t n, const char* thing) {
    return std::to_string(n) + " " + thing + (n == 1 ? "" : "s");
}

struct Json {
    std::ostringstream text;
    bool first = true;
    void key(const std::string& name) {
        text << (first ? "{\n" : ",\n") << "  \"" << name << "\": ";
        first = false;
    }
    void add(const std::string& name, double value) {
        key(name);
        text << value;
    }
    void add(const std::string& name, const Spread& s) {
        key(name);
        text << "{\"median\": " << s.median() << ", \"min\": " << s.min() << ", \"max\": " << s.max()
             << ", \"runs\": [";
        for (std::size_t i = 0; i < s.values.size(); ++i) text << (i ? ", " : "") << s.values[i];
        text << "]}";
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

std::string key_of(const std::string& name) {
    std::string key;
    for (char c : name) key += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return key;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string json_path = argc > 1 ? argv[1] : "bench.json";
    ScratchDir scratch;
    Json json;
    std::printf("pelkron benchmarks on %s\n", machine().c_str());
    std::printf("Each time and CPU figure: the median of %d runs, then the smallest and the largest.\n", runs);
    json.add("runs", runs);

    // 1. Line efficiency: the device takes the wire at 1200 baud and paces the
    //    sender as a real one would. 300 bytes: five runs of each in about a
    //    minute, and still more than a block for pelkron2.
    {
        const std::size_t size = 300;
        const std::string file = scratch_file(scratch, size);
        const double line_time = (2.0 * size + 1) / line_rate;
        std::vector<Spread> elapsed(variants.size());
        std::vector<std::string> pacing(variants.size());
        for (int r = 0; r < runs; ++r) {
            for (std::size_t v = 0; v < variants.size(); ++v) {
                simdev::Script script;
                script.pace_bytes_per_second = line_rate;
                const Run result = run_variant(variants[v], file, script);
                elapsed[v].values.push_back(seconds(result.session.terminated_at - result.started));
                pacing[v] = variants[v].block ? count_of(result.session.turnarounds.size(), "acknowledgement")
                                              : count_of(result.session.xoffs_sent, "XOFF");
            }
        }
        std::printf("\n1. Line efficiency, %zu-byte file at 1200 baud, line time (2N+1)/120 = %.2f s\n", size,
                    line_time);
        std::printf("   %-22s %8s %8s %8s %8s  %s\n", "program", "elapsed", "min", "max", "used", "pacing (last run)");
        for (std::size_t v = 0; v < variants.size(); ++v) {
            const double used = 100 * line_time / elapsed[v].median();
            std::printf("   %-22s %s %7.1f%%  %s\n", variants[v].name.c_str(), columns(elapsed[v], 7, 2).c_str(),
                        used, pacing[v].c_str());
            json.add(key_of(variants[v].name) + "_line_elapsed_s", elapsed[v]);
            json.add(key_of(variants[v].name) + "_line_used_percent", used);
        }
        json.add("line_time_s", line_time);
    }

    // 2. CPU per MiB on an unpaced pseudo-terminal. Half a MiB, pyserial a
    //    quarter of that, scaled to a MiB: five rounds of everything in about
    //    a minute and a half. The rounds interleave the programs, so that a
    //    busy moment of the machine falls on all of them alike.
    {
        const std::size_t size = 512 * 1024;
        const std::size_t python_size = 128 * 1024;
        const std::string file = scratch_file(scratch, size);
        const std::string python_file = scratch_file(scratch, python_size);
        Spread floor_cpu, python_cpu;
        std::vector<Spread> cpu(all_variants.size());
        bool have_python = true;
        for (int r = 0; r < runs; ++r) {
            floor_cpu.values.push_back(run({FLOOR_WRITER, PORT_UNDER_TEST, file}, {}).process.cpu_seconds * mib / size);
            for (std::size_t v = 0; v < all_variants.size(); ++v) {
                cpu[v].values.push_back(run_variant(all_variants[v], file, {}).process.cpu_seconds * mib / size);
            }
            if (have_python) {
                const Run python = run({"/usr/bin/python3", PYSERIAL_UPLOAD, PORT_UNDER_TEST, python_file}, {});
                have_python = python.process.exit_code == 0;
                if (have_python) python_cpu.values.push_back(python.process.cpu_seconds * mib / python_size);
            }
        }
        std::printf("\n2. CPU per MiB sent, unpaced pseudo-terminal, echo to /dev/null"
                    " (from %.1f MiB, pyserial from %.3f MiB)\n",
                    size / mib, python_size / mib);
        std::printf("   %-26s %8s %8s %8s %9s %11s\n", "program", "CPU s", "min", "max", "x floor", "x pyserial");
        auto row = [&](const std::string& name, const Spread& figure) {
            std::printf("   %-26s %s %9.2f", name.c_str(), columns(figure, 8, 3).c_str(),
                        figure.median() / floor_cpu.median());
            if (have_python) {
                std::printf(" %11.2f\n", figure.median() / python_cpu.median());
            } else {
                std::printf(" %11s\n", "n/a");
            }
        };
        row("floor (writes only)", floor_cpu);
        json.add("floor_cpu_s_per_mib", floor_cpu);
        for (std::size_t v = 0; v < all_variants.size(); ++v) {
            row(all_variants[v].name, cpu[v]);
            json.add(key_of(all_variants[v].name) + "_cpu_s_per_mib", cpu[v]);
        }
        if (have_python) {
            row("pyserial", python_cpu);
            json.add("pyserial_cpu_s_per_mib", python_cpu);
        }
        // What an option costs against the same program without it (goal: within 5 %).
        for (std::size_t v = 0; v < all_variants.size(); ++v) {
            if (!all_variants[v].cpu_only) continue;
            for (std::size_t plain = 0; plain < all_variants.size(); ++plain) {
                if (all_variants[plain].cpu_only || all_variants[plain].command[0] != all_variants[v].command[0]) continue;
                const double change = 100 * (cpu[v].median() / cpu[plain].median() - 1);
                std::printf("   %s: %+.1f %% CPU against %s\n", all_variants[v].name.c_str(), change,
                            all_variants[plain].name.c_str());
                json.add(key_of(all_variants[v].name) + "_cpu_change_percent", change);
            }
        }
    }

    // 3. Peak memory: the file is streamed, so it must not depend on its
    //    size. One run each: memory does not wander as time does.
    {
        std::printf("\n3. Peak RSS, KiB\n   %-22s", "program");
        const std::vector<std::size_t> sizes = {4096, 1024 * 1024, 4 * 1024 * 1024};
        for (std::size_t size : sizes) {
            std::printf(" %9.0f KiB file", size / 1024.0);
        }
        std::printf("\n");
        for (const Variant& variant : variants) {
            std::printf("   %-22s", variant.name.c_str());
            for (std::size_t size : sizes) {
                const long peak = run_variant(variant, scratch_file(scratch, size), {}).process.peak_rss_kib;
                std::printf(" %18ld", peak);
                json.add(key_of(variant.name) + "_peak_rss_kib_" + std::to_string(size), static_cast<double>(peak));
            }
            std::printf("\n");
        }
    }

    // 4. From the device's acknowledgement to the first byte of the next
    //    block: the median and the 99th percentile of each run's 100 blocks.
    {
        const std::string file = scratch_file(scratch, 100 * 1024 + 1);
        bool header = false;
        for (const Variant& variant : variants) {
            if (!variant.block) continue;
            Spread median, p99;
            for (int r = 0; r < runs; ++r) add_turnarounds(run_variant(variant, file, {}).session, median, p99);
            if (!header) {
                std::printf("\n4. Acknowledgement turnaround, ms, over 100 blocks a run\n");
                std::printf("   %-22s %-16s %8s %8s %8s\n", "program", "of the run", "median", "min", "max");
                header = true;
            }
            std::printf("   %-22s %-16s %s\n", variant.name.c_str(), "median", columns(median, 8, 3).c_str());
            std::printf("   %-22s %-16s %s\n", "", "99th percentile", columns(p99, 8, 3).c_str());
            json.add(key_of(variant.name) + "_ack_turnaround_median_ms", median);
            json.add(key_of(variant.name) + "_ack_turnaround_p99_ms", p99);
        }
    }

    // 5. Waiting costs nothing: held by XOFF, or waiting for a silent device.
    {
        const std::string file = scratch_file(scratch, 2000);
        std::printf("\n5. CPU while waiting, s\n");
        std::printf("   %-22s %-34s %8s %8s %8s\n", "program", "waiting", "CPU s", "min", "max");
        for (const Variant& variant : variants) {
            Spread cpu;
            for (int r = 0; r < runs; ++r) {
                simdev::Script script;
                if (variant.block) {
                    script.block_reply[0] = {simdev::pause(10000), simdev::send({simdev::acknowledgement})};
                } else {
                    script.at_wire_byte[100] = {simdev::send({simdev::xoff}), simdev::pause(5000),
                                                simdev::send({simdev::xon})};
                }
                cpu.values.push_back(run_variant(variant, file, script).process.cpu_seconds);
            }
            const char* what = variant.block ? "10 s for a silent device" : "held by XOFF for 5 s";
            std::printf("   %-22s %-34s %s\n", variant.name.c_str(), what, columns(cpu, 8, 3).c_str());
            json.add(key_of(variant.name) + (variant.block ? "_cpu_s_silent_10s" : "_cpu_s_held_5s"), cpu);
        }
    }

    // 6. Ports on other machines: the same upload through ser2net on this
    //    machine (the client's CPU only), against pyserial's rfc2217:// client
    //    doing the same, and the acknowledgement turnaround through the
    //    network. 128 KiB (pyserial 32 KiB), scaled to a MiB.
    {
        const std::size_t size = 128 * 1024;
        const std::size_t python_size = 32 * 1024;
        const std::string file = scratch_file(scratch, size);
        const std::string python_file = scratch_file(scratch, python_size);
        Spread ours, python;
        bool have_python = true;
        for (int r = 0; r < runs; ++r) {
            ours.values.push_back(run_remote([&](const std::string& port) {
                                      return std::vector<std::string>{PELKRON_UNDER_TEST, "-p", port, file};
                                  }, {}).process.cpu_seconds * mib / size);
            if (!have_python) continue;
            // pyserial waits for answers to its modem-line requests, which
            // ser2net gives only on a real port: tell it not to.
            const Run result = run_remote([&](const std::string& port) {
                return std::vector<std::string>{"/usr/bin/python3", PYSERIAL_UPLOAD, port + "?ign_set_control", python_file};
            }, {});
            have_python = result.process.exit_code == 0;
            if (have_python) python.values.push_back(result.process.cpu_seconds * mib / python_size);
        }
        // The turnaround as ser2net is usually configured, and without its
        // chardelay (it gathers what the device sends for about two
        // character times before passing it on): the difference is
        // ser2net's share, the rest the client's and the two systems'.
        const int blocks = 100;
        const std::string turnaround_file = scratch_file(scratch, blocks * 1024);
        Spread median, p99, per_block, median_undelayed, p99_undelayed;
        for (int r = 0; r < runs; ++r) {
            simdev::Script script;
            script.acknowledge_blocks = true;
            const auto command_for = [&](const std::string& port) {
                return std::vector<std::string>{PELKRON2_UNDER_TEST, "-p", port, turnaround_file};
            };
            const Run result = run_remote(command_for, script);
            add_turnarounds(result.session, median, p99);
            const simdev::Session& session = result.session;
            if (session.decoder.terminated()) {
                per_block.values.push_back(1000 * seconds(session.terminated_at - session.first_byte_at) / blocks);
            }
            add_turnarounds(run_remote(command_for, script, {"chardelay: false"}).session, median_undelayed,
                            p99_undelayed);
        }
        std::printf("\n6. Through ser2net on 127.0.0.1 (rfc2217://), the client's CPU per MiB sent"
                    " (from %.3f MiB, pyserial from %.3f MiB)\n",
                    size / mib, python_size / mib);
        std::printf("   %-22s %8s %8s %8s %11s\n", "program", "CPU s", "min", "max", "x pyserial");
        std::printf("   %-22s %s %11s\n", "pelkron", columns(ours, 8, 3).c_str(),
                    have_python ? std::to_string(ours.median() / python.median()).substr(0, 4).c_str() : "n/a");
        json.add("remote_pelkron_cpu_s_per_mib", ours);
        if (have_python) {
            std::printf("   %-22s %s %11s\n", "pyserial", columns(python, 8, 3).c_str(), "1.00");
            json.add("remote_pyserial_cpu_s_per_mib", python);
        }
        std::printf("   pelkron2 acknowledgement turnaround over %d blocks a run, ms\n", blocks);
        std::printf("   %-22s %s\n", "median", columns(median, 8, 3).c_str());
        std::printf("   %-22s %s\n", "99th percentile", columns(p99, 8, 3).c_str());
        std::printf("   %-22s %s\n", "median, no chardelay", columns(median_undelayed, 8, 3).c_str());
        std::printf("   %-22s %s\n", "99th, no chardelay", columns(p99_undelayed, 8, 3).c_str());
        std::printf("   pelkron2 elapsed per block, unpaced device, ms\n");
        std::printf("   %-22s %s\n", "1024-byte block", columns(per_block, 8, 3).c_str());
        json.add("remote_ack_turnaround_median_ms", median);
        json.add("remote_ack_turnaround_p99_ms", p99);
        json.add("remote_ack_turnaround_no_chardelay_median_ms", median_undelayed);
        json.add("remote_ack_turnaround_no_chardelay_p99_ms", p99_undelayed);
        json.add("remote_elapsed_ms_per_block", per_block);
    }

    std::ofstream(json_path) << json.str();
    std::printf("\nFigures as JSON: %s\n", json_path.c_str());
    return 0;
}
