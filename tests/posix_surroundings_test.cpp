// The POSIX programs with other users and on ports that misbehave:
// ordinary users one after another, Ctrl-C, and a port that will not take
// its settings.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "tests/support/upload.h"

using namespace testing_support;

namespace {

// ---------------------------------------------------------- ordinary users

// Root runs the programs as "nobody"; anyone else runs them as themselves.
// Whoever it is may not reach the build tree (a clone in a private home
// folder): the user runs a copy of the program from the scratch folder and
// finds the device's line linked there too.
struct OrdinaryUser {
    int uid = -1;
    int gid = -1;
    OrdinaryUser() {
        if (geteuid() != 0) return;
        const passwd* nobody = getpwnam("nobody");
        if (!nobody) return;
        uid = static_cast<int>(nobody->pw_uid);
        gid = static_cast<int>(nobody->pw_gid);
    }
    bool usable() const { return geteuid() != 0 || uid >= 0; }
    // Opens the scratch folder to the user, puts a copy of the program
    // there and hands the user the device's line. Returns the command that
    // runs the copy on that line.
    std::vector<std::string> admit(const ScratchDir& scratch, const Program& program,
                                   const simdev::SimDevice& device) const {
        EXPECT_EQ(chmod(scratch.path().c_str(), 0755), 0);
        const std::string copy = scratch.write(program.name, read_file(program.command.at(0)));
        EXPECT_EQ(chmod(copy.c_str(), 0755), 0);
        if (uid >= 0) {
            EXPECT_EQ(chown(device.slave_path().c_str(), static_cast<uid_t>(uid), static_cast<gid_t>(gid)), 0);
        }
        return {copy, "-p", device.link_path()};
    }
    // A file the user may read, whatever the umask.
    std::string input(const ScratchDir& scratch, const std::vector<std::uint8_t>& bytes) const {
        const std::string path = scratch.write("in.bin", bytes);
        EXPECT_EQ(chmod(path.c_str(), 0644), 0);
        return path;
    }
};

class OrdinaryUsers : public ::testing::TestWithParam<Program> {
protected:
    ProcessResult send(const std::vector<std::string>& command, const std::string& path,
                       std::atomic<int>* pid = nullptr, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        std::vector<std::string> argv = command;
        argv.push_back(path);
        ProcessOptions options;
        options.uid = user_.uid;
        options.gid = user_.gid;
        options.child_pid = pid;
        options.time_limit = limit;
        return run_process(argv, options);
    }
    std::string line_path() const { return scratch_.path() + "/ttyCOM6"; }
    OrdinaryUser user_;
    ScratchDir scratch_;
};

// While the device (or a logger, or a daemon) keeps the line open, the
// exclusive use of one run must not keep the next user out.
TEST_P(OrdinaryUsers, TwoRunsInARowBothSucceed) {
    const Program& program = GetParam();
    ASSERT_TRUE(user_.usable()) << "no ordinary user to run as";
    const std::vector<std::uint8_t> file = pattern_file(1200, 32);
    const std::string path = user_.input(scratch_, file);
    simdev::SimDevice device(line_path());
    const std::vector<std::string> command = user_.admit(scratch_, program, device);
    for (int run = 0; run < 2; ++run) {
        simdev::Script script;
        script.acknowledge_blocks = program.block;
        device.start(script);
        const ProcessResult result = send(command, path);
        const simdev::Session session = device.stop();
        EXPECT_EQ(result.exit_code, 0) << "run " << run + 1 << ": " << result.err;
        EXPECT_EQ(session.wire, expected_wire(file)) << "run " << run + 1;
    }
}

// Ctrl-C in the middle of a held transfer: the program dies of the signal
// (so the shell sees it), and the next user can use the port.
TEST_P(OrdinaryUsers, CtrlCMidTransferLeavesThePortUsable) {
    const Program& program = GetParam();
    ASSERT_TRUE(user_.usable()) << "no ordinary user to run as";
    const std::vector<std::uint8_t> file = pattern_file(64 * 1024, 33);
    const std::string path = user_.input(scratch_, file);
    simdev::SimDevice device(line_path());
    const std::vector<std::string> command = user_.admit(scratch_, program, device);

    simdev::Script held;
    held.acknowledge_blocks = program.block;
    if (program.block) {
        held.block_reply[0] = {};  // the first block is never acknowledged
    } else {
        held.at_wire_byte[400] = {simdev::send({simdev::xoff})};  // never released
    }
    device.start(held);
    std::atomic<int> pid{0};
    auto interrupted = std::async(std::launch::async, [&] { return send(command, path, &pid); });
    const bool reached = wait_until([&] { return device.progress().wire_bytes >= 400; }, std::chrono::seconds(15));
    if (reached) std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (pid > 0) kill(pid, SIGINT);
    const ProcessResult first = interrupted.get();
    const simdev::Session first_session = device.stop();
    ASSERT_TRUE(reached) << "the program did not get 400 wire bytes to the device within 15 s (status "
                      << first.exit_code << ", signal " << first.signal << "): " << first.err;
    EXPECT_EQ(first.signal, SIGINT);
    EXPECT_FALSE(first_session.decoder.terminated());

    // The device resets: its hold on our output ends (a line without
    // XON/XOFF is never held). The exclusive flag belongs to the line,
    // which the device keeps open: that flag is what the interrupted run
    // must have cleared.
    termios reset = simdev::SimDevice::odd_line(device.line());
    reset.c_iflag &= ~static_cast<tcflag_t>(IXON);
    device.set_line(reset);
    simdev::Script script;
    script.acknowledge_blocks = program.block;
    device.start(script);
    const ProcessResult second = send(command, path);
    const simdev::Session session = device.stop();
    EXPECT_EQ(second.exit_code, 0) << second.err;
    EXPECT_EQ(session.wire, expected_wire(file));
}

INSTANTIATE_TEST_SUITE_P(Native, OrdinaryUsers, ::testing::ValuesIn(programs_under_test()),
                         [](const auto& info) { return info.param.label; });

// ------------------------------------------------ a port that refuses settings

struct RefusalCase {
    const char* name;
    const char* mode;  // what the interposed tcsetattr does
    const char* reason;
};

void PrintTo(const RefusalCase& c, std::ostream* out) { *out << c.name; }

class RefusedSetting : public ::testing::TestWithParam<std::tuple<Program, RefusalCase>> {};

// An adapter that cannot do 1200 baud, or that fails its settings, gets
// nothing: sent at the wrong speed the file would arrive as garbage.
TEST_P(RefusedSetting, IsAnOpenErrorNamingTheSettingAndNothingIsSent) {
    const Program& program = std::get<0>(GetParam());
    const RefusalCase& c = std::get<1>(GetParam());
    ScratchDir scratch;
    simdev::Script script;
    script.acknowledge_blocks = program.block;
    ProcessOptions options;
    options.environment = {std::string("LD_PRELOAD=") + REFUSE_SETTINGS_LIBRARY,
                           std::string("PELKRON_TEST_REFUSE=") + c.mode,
                           // The sanitizers' runtime must come first in a sanitized build; the interposer only
                           // wraps one call and needs none of it.
                           "ASAN_OPTIONS=verify_asan_link_order=0"};
    const UploadResult run = run_upload_with(
        program, {file_argument(program, scratch.write("in.bin", {0x41, 0x42}))}, script, options, program.port_link);

    EXPECT_EQ(run.process.exit_code, 1);
    EXPECT_EQ(run.process.err, "Open Error!\n" + program.invocation + ": " + program.built_in_port + ": " + c.reason + "\n");
    EXPECT_EQ(run.process.out, "");
    EXPECT_EQ(run.session.wire, std::vector<std::uint8_t>{});
}

INSTANTIATE_TEST_SUITE_P(
    Native, RefusedSetting,
    ::testing::Combine(::testing::ValuesIn(programs_under_test()),
                       ::testing::Values(RefusalCase{"settings_call_fails", "fail",
                                                     "the port refused its settings (Invalid argument)"},
                                         RefusalCase{"speed_left_unchanged", "speed",
                                                     "the port refused the setting 1200 baud"},
                                         RefusalCase{"hardware_flow_control_left_on", "crtscts",
                                                     "the port refused the setting hardware flow control off"})),
    [](const auto& info) { return std::get<0>(info.param).label + "_" + std::get<1>(info.param).name; });

}  // namespace
