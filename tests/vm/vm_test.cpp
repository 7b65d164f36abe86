// Both senders on the Linux kernel's own serial drivers: the 8250 driver on
// QEMU's 16550 UART and ftdi_sio on QEMU's FTDI USB adapter, in a virtual
// machine with Debian's kernel (tests/vm/init runs them there). The
// simulated device is on the host end of the port, as in the pseudo-terminal
// suites; what the guest's program printed and how it ended comes back over
// the console.
#include <sys/stat.h>
#include <termios.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include "common/sha256.h"
#include "tests/support/upload.h"
#include "tests/vm/machine.h"

using namespace testing_support;
using vm::Adapter;

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// ------------------------------------------------------------ guest files

std::vector<std::uint8_t> every_byte_value() {
    std::vector<std::uint8_t> bytes;
    for (int value = 0; value < 256; ++value) bytes.push_back(static_cast<std::uint8_t>(value));
    return bytes;
}

// The files in the guest's /t, by name. "random" is three blocks for
// pelkron2 (1024, 1024, 952 bytes). "long" outlasts everything the host's
// pseudo-terminal and QEMU can hold (several KiB) many times over, so that a
// sender that ignored XOFF would still be sending long after it.
const std::map<std::string, std::vector<std::uint8_t>>& guest_files() {
    static const std::map<std::string, std::vector<std::uint8_t>> files = {
        {"every", every_byte_value()},
        {"random", pattern_file(3000, 17)},
        {"long", pattern_file(32 * 1024, 23)},
    };
    return files;
}

const std::vector<std::uint8_t>& file_named(const std::string& name) { return guest_files().at(name); }

int write_guest_files(const std::string& dir) {
    mkdir(dir.c_str(), 0755);
    for (const auto& [name, bytes] : guest_files()) {
        std::ofstream out(dir + "/" + name + ".bin", std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            std::fprintf(stderr, "cannot write %s/%s.bin\n", dir.c_str(), name.c_str());
            return 1;
        }
    }
    return 0;
}

// ------------------------------------------------------ drivers and runs

struct Driver {
    Adapter adapter;
    const char* label;
    const char* guest_port;
};

const Driver uart{Adapter::uart_16550, "uart_16550", "/dev/ttyS1"};
const Driver ftdi{Adapter::ftdi_usb, "ftdi_usb", "/dev/ttyUSB0"};

void PrintTo(const Driver& driver, std::ostream* out) { *out << driver.label; }

// The guest's command for one program on one port, without the file: one
// static build for every port, which it is given with -p.
std::vector<std::string> guest_command(const std::string& program, const Driver& driver) {
    return {"/usr/bin/" + program, "-p", driver.guest_port};
}

// One run as the init takes it: PORT:ARG0,ARG1,...
std::string run_word(const Driver& driver, const std::string& program, const std::vector<std::string>& arguments) {
    std::string word = std::string(driver.guest_port) + ":";
    std::vector<std::string> argv = guest_command(program, driver);
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    for (std::size_t i = 0; i < argv.size(); ++i) word += (i ? "," : "") + argv[i];
    return word;
}

// One run of PROGRAM FILE through ser2net serving the driver's port in the
// machine (tests/vm/through-ser2net). No hostile line state first: that is
// ser2net's business here, not the program's.
std::string ser2net_run_word(const Driver& driver, const std::string& program, const std::string& file) {
    return ":/bin/through-ser2net," + std::string(driver.guest_port) + ",/usr/bin/" + program + ",/t/" + file +
           ".bin";
}

// The FTDI adapter by its USB identity, with and without its serial number
// (in another letter case), and an identity no adapter there has.
std::vector<std::string> usb_identities() {
    return {"usb:0403:6001", "USB:0403:6001:" + std::string(vm::ftdi_serial), "usb:0403:6015"};
}

// pelkron -p IDENTITY /t/every.bin, on the driver's port.
std::string identity_run_word(const Driver& driver, const std::string& identity) {
    return std::string(driver.guest_port) + ":/usr/bin/pelkron,-p," + identity + ",/t/every.bin";
}

// pelkron --list, once the adapter is there (the port makes the init wait
// for it: USB enumeration goes on after boot).
std::string list_run_word(const Driver& driver) { return std::string(driver.guest_port) + ":/usr/bin/pelkron,--list"; }

// Options some runs add before the file.
const std::vector<std::string> two_second_timeout = {"--timeout", "2"};

// Every run a machine may be asked for: each program with each file, and
// with a time limit.
std::vector<std::string> all_runs(const Driver& driver) {
    std::vector<std::string> runs;
    for (const char* program : {"pelkron", "pelkron2"}) {
        for (const auto& file : guest_files()) {
            runs.push_back(run_word(driver, program, {"/t/" + file.first + ".bin"}));
            std::vector<std::string> limited = two_second_timeout;
            limited.push_back("/t/" + file.first + ".bin");
            runs.push_back(run_word(driver, program, limited));
        }
    }
    runs.push_back(ser2net_run_word(driver, "pelkron", "random"));
    if (driver.adapter == Adapter::ftdi_usb) {
        runs.push_back(list_run_word(driver));
        for (const std::string& identity : usb_identities()) runs.push_back(identity_run_word(driver, identity));
    }
    return runs;
}

Program host_view(const std::string& program) {
    Program view;
    view.label = program;
    view.invocation = program;
    view.block = program == "pelkron2";
    return view;
}

std::string joined_lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

std::string sha256_of(const std::string& text) {
    return sha256_hex(std::vector<std::uint8_t>(text.begin(), text.end()));
}

struct Outcome {
    std::string failure;  // the run could not be started or did not end
    vm::GuestRun guest;
    simdev::Session session;
};

// One booted machine with the simulated device on its port.
class Guest {
public:
    explicit Guest(const Driver& driver) : driver_(driver), runs_(all_runs(driver)) {
        char pattern[] = "/tmp/pelkron-vm-XXXXXX";
        if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
        dir_ = pattern;
        device_ = std::make_unique<simdev::SimDevice>(dir_ + "/port");
        vm::MachineConfig config;
        config.kernel = VM_KERNEL;
        config.initrd = VM_INITRD;
        config.adapter = driver.adapter;
        config.port_tty = device_->slave_path();
        config.work_dir = dir_;
        config.runs = runs_;
        if (const char* accel = std::getenv("PELKRON_VM_ACCEL")) config.accel = accel;
        machine_ = std::make_unique<vm::Machine>(config);
    }

    ~Guest() {
        machine_.reset();
        device_.reset();
        std::remove((dir_ + "/qemu.log").c_str());
        rmdir(dir_.c_str());
    }

    // Runs PROGRAM FILE in the guest against a device playing SCRIPT.
    // MEANWHILE, if given, runs on the host while the program runs.
    // OPTIONS go before the file.
    Outcome run(const std::string& program, const std::string& file, simdev::Script script,
                const std::function<void(Guest&)>& meanwhile = {}, milliseconds time_limit = seconds(60),
                std::vector<std::string> options = {}) {
        options.push_back("/t/" + file + ".bin");
        return run_word_as_told(run_word(driver_, program, options), std::move(script), meanwhile, time_limit);
    }

    // Runs PROGRAM FILE as run() does, through ser2net in the machine.
    Outcome run_through_ser2net(const std::string& program, const std::string& file, simdev::Script script,
                                const std::function<void(Guest&)>& meanwhile = {}) {
        return run_word_as_told(ser2net_run_word(driver_, program, file), std::move(script), meanwhile, seconds(60));
    }

    simdev::SimDevice& device() { return *device_; }

    // Runs the run the init knows by WANTED (a word of all_runs()).
    Outcome run_word_as_told(const std::string& wanted, simdev::Script script,
                             const std::function<void(Guest&)>& meanwhile = {}, milliseconds time_limit = seconds(60)) {
        Outcome outcome;
        std::size_t number = 0;
        for (std::size_t i = 0; i < runs_.size(); ++i) {
            if (runs_[i] == wanted) number = i + 1;
        }
        if (number == 0) throw std::logic_error("no such run: " + wanted);
        // A machine that failed once fails the later cases at once instead
        // of making each of them wait for it.
        if (!broken_.empty()) {
            outcome.failure = "the machine failed before: " + broken_;
            return outcome;
        }
        if (!machine_->wait_ready(outcome.failure)) {
            broken_ = outcome.failure;
            return outcome;
        }
        device_->start(std::move(script));
        if (machine_->go(number, outcome.failure)) {
            if (meanwhile) meanwhile(*this);
            outcome.guest = machine_->finish_run(time_limit);
            outcome.failure = outcome.guest.failure;
        }
        outcome.session = device_->stop();
        if (!outcome.failure.empty()) broken_ = outcome.failure;
        return outcome;
    }

    // Pulls the FTDI adapter out, as a hand would; returns when QEMU has
    // taken the command, with what it answered (empty when all went well).
    std::string unplug() { return machine_->monitor("device_del " + adapter_id()); }
    // Puts a new one in, for the runs after.
    // QEMU lets go of the old adapter's line a moment after device_del has
    // returned; until then it calls the line in use.
    std::string replug() {
        ++adapters_;
        const vm::Clock::time_point deadline = vm::Clock::now() + seconds(10);
        for (;;) {
            const std::string answer =
                machine_->monitor("device_add " + vm::ftdi_device(adapter_id()));
            if (answer.find("is in use") == std::string::npos || vm::Clock::now() > deadline) return answer;
            std::this_thread::sleep_for(milliseconds(100));
        }
    }

    std::string diagnostics() const {
        return "\n--- guest console ---\n" + machine_->console_log() + "\n--- QEMU ---\n" + machine_->qemu_log();
    }

private:
    std::string adapter_id() const { return adapters_ == 0 ? "ftdi" : "ftdi" + std::to_string(adapters_); }

    int adapters_ = 0;
    std::string broken_;
    Driver driver_;
    std::vector<std::string> runs_;
    std::string dir_;
    std::unique_ptr<simdev::SimDevice> device_;
    std::unique_ptr<vm::Machine> machine_;
};

// One machine per driver, booted by the first test that needs it and kept
// for the others: a boot costs seconds, a run a fraction of one.
std::map<std::string, std::unique_ptr<Guest>>& guests() {
    static std::map<std::string, std::unique_ptr<Guest>> booted;
    return booted;
}

Guest& guest_on(const Driver& driver) {
    std::unique_ptr<Guest>& guest = guests()[driver.label];
    if (!guest) guest = std::make_unique<Guest>(driver);
    return *guest;
}

class MachinesEnvironment : public ::testing::Environment {
public:
    void TearDown() override { guests().clear(); }
};

// A failed port is reported by FIRST alone, or by FIRST and one line that
// names the port and says why.
void expect_port_failure(const std::string& err, const std::string& first, const Driver& driver) {
    std::vector<std::string> lines;
    std::istringstream text(err);
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    ASSERT_FALSE(lines.empty()) << "nothing on stderr";
    EXPECT_EQ(lines[0], first);
    EXPECT_LE(lines.size(), 2u) << err;
    if (lines.size() == 2) {
        EXPECT_NE(lines[1].find(driver.guest_port), std::string::npos) << err;
    }
    EXPECT_EQ(err.back(), '\n');
}

// Whether stty -g's settings (iflag:oflag:cflag:lflag:...) are the hostile
// state: a driver that refused it would leave nothing for the program to
// mend.
bool is_hostile(const std::string& stty_settings) {
    unsigned long iflag = 0, oflag = 0, cflag = 0, lflag = 0;
    if (std::sscanf(stty_settings.c_str(), "%lx:%lx:%lx:%lx", &iflag, &oflag, &cflag, &lflag) != 4) return false;
    const auto all = [](unsigned long flags, unsigned long wanted) { return (flags & wanted) == wanted; };
    return all(iflag, ISTRIP | INLCR | ICRNL | IXANY | IXOFF) && all(oflag, OPOST | ONLCR) &&
           (cflag & CSIZE) == CS7 && all(cflag, PARENB | CSTOPB) && all(lflag, ECHO | ICANON | ISIG | IEXTEN);
}

// Waits until the device has taken at least this many wire bytes.
bool wait_for_wire(simdev::SimDevice& device, std::size_t bytes, milliseconds time_limit) {
    const vm::Clock::time_point deadline = vm::Clock::now() + time_limit;
    while (device.progress().wire_bytes < bytes) {
        if (vm::Clock::now() > deadline) return false;
        std::this_thread::sleep_for(milliseconds(10));
    }
    return true;
}

double seconds_between(vm::Clock::time_point from, vm::Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// ------------------------------------------------------------ both drivers

class RealDriver : public ::testing::TestWithParam<Driver> {};

struct TransferCase {
    const char* program;
    const char* file;
};

// From the hostile line state (9600 7E2, echo, canonical input, newline
// translation, eighth bit stripped, any byte restarting output) the program
// makes the real driver a raw 1200 8N1 line: every byte arrives as it was.
TEST_P(RealDriver, EveryByteArrivesBitExactFromAHostileLineState) {
    Guest& guest = guest_on(GetParam());
    const TransferCase cases[] = {
        {"pelkron", "every"}, {"pelkron", "random"}, {"pelkron2", "every"}, {"pelkron2", "random"}};
    for (const TransferCase& transfer : cases) {
        SCOPED_TRACE(std::string(transfer.program) + " " + transfer.file);
        const std::vector<std::uint8_t>& file = file_named(transfer.file);
        const Program program = host_view(transfer.program);
        simdev::Script script;
        script.acknowledge_blocks = program.block;
        const Outcome run = guest.run(transfer.program, transfer.file, script);

        ASSERT_EQ(run.failure, "") << guest.diagnostics();
        EXPECT_EQ(run.guest.stty_status, 0) << "the guest could not set the hostile line state";
        EXPECT_TRUE(is_hostile(run.guest.stty_settings)) << run.guest.stty_settings;
        EXPECT_EQ(run.guest.exit_status, 0) << run.guest.stderr_text;
        EXPECT_EQ(run.guest.stderr_text, "");
        EXPECT_EQ(run.session.wire, expected_wire(file));
        EXPECT_EQ(run.session.all_faults(), std::vector<std::string>{});
        const std::vector<std::string> echo = expected_stdout(program, file);
        EXPECT_EQ(run.guest.stdout_lines, echo.size());
        EXPECT_EQ(run.guest.stdout_sha256, sha256_of(joined_lines(echo))) << "the echo differs";
        EXPECT_EQ(run.guest.other_lines, read_lines(echo));
    }
}

// Three blocks, each acknowledged through the real driver, and the purge
// after an acknowledgement emptying the driver's input. A purge can only
// throw away what has arrived: at 1200 baud the driver hands over each byte
// as it comes, so bytes that follow the acknowledgement on the line come
// after the purge. Here they are in before pelkron2 reads at all: the device
// answers block 0 early, with a second acknowledgement and a stray byte,
// while pelkron2 is still writing the block (it reads nothing meanwhile).
// Had the purge left the second 0x90, pelkron2 would take it for block 1's
// acknowledgement and send block 2 at once, into the device's silence.
TEST_P(RealDriver, BlocksAreAcknowledgedAndThePurgeEmptiesTheDriversInput) {
    Guest& guest = guest_on(GetParam());
    const std::vector<std::uint8_t>& file = file_named("random");
    const std::size_t block = simdev::block_wire_bytes;
    const std::size_t last_block = (file.size() - 2048) * 2;
    simdev::Script script;  // acknowledgements by wire byte count, as scripted here
    script.at_wire_byte[64] = {simdev::send({simdev::acknowledgement, simdev::acknowledgement, 0x42})};
    script.at_wire_byte[2 * block] = {simdev::watch(0, 500), simdev::send({simdev::acknowledgement})};
    script.at_wire_byte[2 * block + last_block] = {simdev::send({simdev::acknowledgement})};
    const Outcome run = guest.run("pelkron2", "random", script, {}, seconds(20));

    ASSERT_EQ(run.failure, "") << guest.diagnostics();
    EXPECT_EQ(run.guest.exit_status, 0) << run.guest.stderr_text;
    EXPECT_EQ(run.guest.stderr_text, "");
    EXPECT_EQ(run.session.wire, expected_wire(file));
    EXPECT_EQ(run.session.all_faults(), std::vector<std::string>{});
    ASSERT_EQ(run.session.watches.size(), 1u);
    EXPECT_EQ(run.session.watches[0].arrived, 0u) << "block 2 went out before its acknowledgement";
    EXPECT_EQ(run.guest.other_lines, (std::vector<std::string>{"1 - 90", "1 - 90", "1 - 90"}));
}

INSTANTIATE_TEST_SUITE_P(Drivers, RealDriver, ::testing::Values(uart, ftdi),
                         [](const auto& info) { return std::string(info.param.label); });

// ------------------------------------------------------------- 8250 only

// The 8250 driver stops its transmitter on XOFF, with bytes already in the
// UART's FIFO and the driver's buffer. Once those have drained nothing more
// comes, however long the device waits; a stray byte does not release the
// sender (IXANY is off, though the hostile state had it on); XON does, and
// not a byte is lost.
TEST(Uart16550, XoffHoldsTheUartAndOnlyXonReleasesIt) {
    Guest& guest = guest_on(uart);
    const std::vector<std::uint8_t>& file = file_named("long");
    simdev::Script script;
    script.at_wire_byte[4096] = {simdev::send({simdev::xoff}), simdev::watch(1500, 2000),
                                 simdev::send({0x55}), simdev::watch(500, 2000),
                                 simdev::send({simdev::xon})};
    const Outcome run = guest.run("pelkron", "long", script);

    ASSERT_EQ(run.failure, "") << guest.diagnostics();
    EXPECT_EQ(run.guest.exit_status, 0) << run.guest.stderr_text;
    EXPECT_EQ(run.guest.stderr_text, "");
    ASSERT_EQ(run.session.watches.size(), 2u);
    EXPECT_EQ(run.session.watches[0].arrived, 0u) << "the UART kept sending through XOFF ("
                                                  << run.session.watches[0].in_flight << " bytes were in flight)";
    EXPECT_EQ(run.session.watches[1].arrived, 0u) << "a stray byte released the UART";
    EXPECT_EQ(run.session.wire, expected_wire(file));
    EXPECT_EQ(run.session.all_faults(), std::vector<std::string>{});
    const std::vector<std::string> echo = expected_stdout(host_view("pelkron"), file);
    EXPECT_EQ(run.guest.stdout_sha256, sha256_of(joined_lines(echo))) << "the echo differs";
    // Only a sender still busy when XOFF came proves anything: had the
    // whole file been through before XON, the silence would mean nothing.
    ASSERT_EQ(run.session.sent.size(), 3u);
    EXPECT_LT(run.session.sent.back().arrived_before, expected_wire(file).size() / 2)
        << "the file was too short for this machine's speed";
}

// --timeout on the real UART: a hold that never ends, and an
// acknowledgement that never comes, end the run after the time given with
// status 5, a message that names the port, and no terminator.
TEST(Uart16550, TimeoutEndsAnEndlessXoffAndAnEndlessWait) {
    Guest& guest = guest_on(uart);
    struct TimeoutCase {
        const char* program;
        const char* file;
        simdev::Script script;
        const char* what;  // in the message
    };
    simdev::Script endless_xoff;
    endless_xoff.at_wire_byte[4096] = {simdev::send({simdev::xoff})};
    simdev::Script silent_after_block_0;
    silent_after_block_0.acknowledge_blocks = true;
    silent_after_block_0.block_reply[0] = {};
    const TimeoutCase cases[] = {
        {"pelkron", "long", endless_xoff, ""},
        {"pelkron2", "random", silent_after_block_0, "no acknowledgement of block"},
    };
    for (const TimeoutCase& limited : cases) {
        SCOPED_TRACE(limited.program);
        vm::Clock::time_point device_stopped{};
        const Outcome run = guest.run(
            limited.program, limited.file, limited.script,
            [&](Guest& g) {
                // From here on the sender is held: pelkron by the XOFF at
                // 4096 wire bytes, pelkron2 after block 0's 2048.
                if (wait_for_wire(g.device(), limited.program == std::string("pelkron") ? 4096 : 2048, seconds(30))) {
                    device_stopped = vm::Clock::now();
                }
            },
            seconds(30), two_second_timeout);

        ASSERT_EQ(run.failure, "") << guest.diagnostics();
        EXPECT_EQ(run.guest.exit_status, 5) << run.guest.stderr_text;
        const std::string prefix = std::string("/usr/bin/") + limited.program + ": /dev/ttyS1: timed out: ";
        EXPECT_EQ(run.guest.stderr_text.rfind(prefix, 0), 0u) << run.guest.stderr_text;
        EXPECT_NE(run.guest.stderr_text.find(limited.what), std::string::npos) << run.guest.stderr_text;
        EXPECT_NE(run.guest.stderr_text.find("; no terminator sent\n"), std::string::npos) << run.guest.stderr_text;
        EXPECT_FALSE(run.session.decoder.terminated());
        EXPECT_LT(run.session.wire.size(), expected_wire(file_named(limited.file)).size());
        ASSERT_NE(device_stopped, vm::Clock::time_point{});
        // Two seconds of the program's own, give or take what the console
        // and a loaded host add.
        const double waited = seconds_between(device_stopped, run.guest.ended_at);
        EXPECT_GT(waited, 1.5);
        EXPECT_LT(waited, 6.0);
    }
}

// Through ser2net in the machine with the lab configuration of
// docs/remote-delivery.md, on the real 8250 driver: the device holds the
// line with the rest of the file still queued in the driver, and lets go
// only seconds after the program has ended with status 0. Everything still
// reaches it. (Without the configuration's char_drain_wait, ser2net throws
// that queue away half a second after the line stops moving.)
TEST(Uart16550, ThroughSer2netAHoldAfterTheEndLosesNothing) {
    Guest& guest = guest_on(uart);
    const std::vector<std::uint8_t>& file = file_named("random");
    const std::size_t whole = expected_wire(file).size();
    simdev::Script script;
    script.at_wire_byte[3000] = {simdev::send({simdev::xoff}), simdev::watch(500, 6000),
                                 simdev::send({simdev::xon})};
    const Outcome run = guest.run_through_ser2net("pelkron", "random", script, [whole](Guest& g) {
        wait_for_wire(g.device(), whole, seconds(40));
    });

    ASSERT_EQ(run.failure, "") << guest.diagnostics();
    EXPECT_EQ(run.guest.exit_status, 0) << run.guest.stderr_text;
    EXPECT_EQ(run.guest.stderr_text, "");
    EXPECT_EQ(run.session.wire, expected_wire(file));
    EXPECT_EQ(run.session.all_faults(), std::vector<std::string>{});
    const std::vector<std::string> echo = expected_stdout(host_view("pelkron"), file);
    EXPECT_EQ(run.guest.stdout_sha256, sha256_of(joined_lines(echo))) << "the echo differs";
    ASSERT_EQ(run.session.watches.size(), 1u);
    EXPECT_EQ(run.session.watches[0].arrived, 0u) << "the driver kept sending through XOFF";
    // Only a hold that outlasts the program shows anything: the program
    // had ended well before XON, with much of the file still to come.
    ASSERT_EQ(run.session.sent.size(), 2u);
    EXPECT_GT(seconds_between(run.guest.ended_at, run.session.sent.back().at), 1.0)
        << "the program had not ended long before the device let go";
    EXPECT_LT(run.session.sent.back().arrived_before, whole - 1000) << "too little was left for the driver to hold";
}

// ------------------------------------------------------------- FTDI only

// The adapter by its USB identity: --list shows ftdi_sio's port with the
// identity the kernel's sysfs gives, -p takes it in that form, with or
// without the serial number, and an identity nobody has is an open error
// that names the adapter there is.
TEST(FtdiUsb, ChosenByItsUsbIdentity) {
    Guest& guest = guest_on(ftdi);
    const Outcome list = guest.run_word_as_told(list_run_word(ftdi), simdev::Script{});
    ASSERT_EQ(list.failure, "") << guest.diagnostics();
    EXPECT_EQ(list.guest.exit_status, 0) << list.guest.stderr_text;
    const std::string adapter = "/dev/ttyUSB0: ftdi_sio, usb:0403:6001:" + std::string(vm::ftdi_serial) + " (";
    EXPECT_EQ(std::count_if(list.guest.other_lines.begin(), list.guest.other_lines.end(),
                            [&](const std::string& line) { return line.rfind(adapter, 0) == 0; }),
              1)
        << joined_lines(list.guest.other_lines);

    const std::vector<std::uint8_t>& file = file_named("every");
    for (const std::string& identity : usb_identities()) {
        SCOPED_TRACE(identity);
        const Outcome run = guest.run_word_as_told(identity_run_word(ftdi, identity), simdev::Script{});
        ASSERT_EQ(run.failure, "") << guest.diagnostics();
        if (identity != usb_identities().back()) {
            EXPECT_EQ(run.guest.exit_status, 0) << run.guest.stderr_text;
            EXPECT_EQ(run.guest.stderr_text, "");
            EXPECT_EQ(run.session.wire, expected_wire(file));
            continue;
        }
        EXPECT_EQ(run.guest.exit_status, 1);
        EXPECT_EQ(run.guest.stderr_text, "Open Error!\n/usr/bin/pelkron: " + identity +
                                             ": no USB adapter has this identity; plugged in: usb:0403:6001:" +
                                             vm::ftdi_serial + " on /dev/ttyUSB0\n");
        EXPECT_EQ(run.session.wire, std::vector<std::uint8_t>{});
    }
}

struct Unplugged {
    Outcome run;
    vm::Clock::time_point at{};
    std::string unplug_answer = "not unplugged";  // QEMU's, empty when all went well
    std::string replug_answer;
};

// Runs PROGRAM FILE on the FTDI adapter and pulls the adapter out once the
// device has taken WIRE_BYTES and THEN more has passed; a new one goes in
// afterwards, for the runs after.
Unplugged run_and_unplug(Guest& guest, const std::string& program, const std::string& file, simdev::Script script,
                         std::size_t wire_bytes, milliseconds then) {
    Unplugged unplugged;
    unplugged.run = guest.run(program, file, std::move(script), [&](Guest& g) {
        if (!wait_for_wire(g.device(), wire_bytes, seconds(30))) return;
        std::this_thread::sleep_for(then);
        unplugged.at = vm::Clock::now();
        unplugged.unplug_answer = g.unplug();
    });
    unplugged.replug_answer = guest.replug();
    return unplugged;
}

// Unplugged in the middle of a long transfer: the write fails, and the
// program says so at once instead of hanging or claiming success. (QEMU's
// FTDI model ignores the XON/XOFF the driver hands to the chip, and a host
// end that stops reading freezes the whole machine, so the adapter cannot
// be held here: it goes while the sender is writing.)
TEST(FtdiUsb, UnpluggedWhileSendingIsAWriteError) {
    Guest& guest = guest_on(ftdi);
    const Unplugged unplugged = run_and_unplug(guest, "pelkron", "long", simdev::Script{}, 16 * 1024, milliseconds(0));
    const Outcome& run = unplugged.run;

    ASSERT_EQ(unplugged.unplug_answer, "");
    ASSERT_EQ(run.failure, "") << guest.diagnostics();
    EXPECT_EQ(run.guest.exit_status, 4);
    expect_port_failure(run.guest.stderr_text, "Write Error!", ftdi);
    EXPECT_FALSE(run.session.decoder.terminated()) << "a terminator after a failed transfer";
    EXPECT_LT(run.session.wire.size(), expected_wire(file_named("long")).size());
    EXPECT_LT(seconds_between(unplugged.at, run.guest.ended_at), 5.0);
    EXPECT_EQ(unplugged.replug_answer, "");
}

// Unplugged while pelkron2 waits for an acknowledgement that never comes:
// the read fails at once, where a quiet line would have kept it waiting,
// and the wait before it was the usual one read attempt a second.
TEST(FtdiUsb, UnpluggedDuringTheAcknowledgementWaitIsAReadError) {
    Guest& guest = guest_on(ftdi);
    simdev::Script script;
    script.acknowledge_blocks = true;
    script.block_reply[0] = {};  // silence
    const Unplugged unplugged =
        run_and_unplug(guest, "pelkron2", "random", script, simdev::block_wire_bytes, milliseconds(3500));
    const Outcome& run = unplugged.run;

    ASSERT_EQ(unplugged.unplug_answer, "");
    ASSERT_EQ(run.failure, "") << guest.diagnostics();
    EXPECT_EQ(run.guest.exit_status, 4);
    expect_port_failure(run.guest.stderr_text, "Read Error!", ftdi);
    EXPECT_FALSE(run.session.decoder.terminated());
    EXPECT_EQ(run.session.wire.size(), simdev::block_wire_bytes) << "the next block went out unacknowledged";
    EXPECT_LT(seconds_between(unplugged.at, run.guest.ended_at), 5.0);
    // About one "0 - xx" a second for the 3.5 s wait and the few seconds
    // the report may take; a busy loop would print thousands (and burn the
    // CPU time it took).
    EXPECT_GE(run.guest.other_lines.size(), 2u);
    EXPECT_LE(run.guest.other_lines.size(), 9u);
    for (const std::string& line : run.guest.other_lines) EXPECT_EQ(line.substr(0, 4), "0 - ");
    // A busy wait would burn the whole 3.5 s; an emulated guest on a busy
    // host counts even the sending of one block as more than a second.
    EXPECT_LT(run.guest.cpu_seconds, 2.5) << "the wait kept the CPU busy";
    EXPECT_EQ(unplugged.replug_answer, "");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--write-guest-files") == 0) return write_guest_files(argv[2]);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new MachinesEnvironment);
    return RUN_ALL_TESTS();
}
