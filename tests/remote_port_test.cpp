// Ports on other machines: both programs reach the simulated device through
// Debian's ser2net on 127.0.0.1 with -p rfc2217://HOST:PORT.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "tests/support/ser2net.h"
#include "tests/support/upload.h"

using namespace testing_support;

namespace {

struct RemoteRun {
    UploadResult result;
    std::string port;  // the port as the program was told it
    Clock::time_point ended_at;  // when the program had ended
    // What ser2net wrote to the device's port, from its trace. A
    // pseudo-terminal reports an empty output queue, so when ser2net closes
    // the port it throws away what the device has not read yet: the device's
    // own record can fall short of this.
    std::vector<std::uint8_t> written_to_port;
};

// Runs the program through ser2net against a fresh simulated device. When
// `stop_server_when` is given, ser2net is stopped once it holds true of the
// device's progress; `after_exit` acts on the device once the program has
// ended, before the session is taken, and is told where ser2net's trace of
// what it writes to the port grows.
RemoteRun run_remote(const Program& program, const std::vector<std::uint8_t>& file, simdev::Script script,
                     std::vector<std::string> options = {},
                     std::function<bool(const simdev::Progress&)> stop_server_when = nullptr,
                     std::function<void(simdev::SimDevice&, const std::string&)> after_exit = nullptr,
                     std::function<void(simdev::SimDevice&)> before_start = nullptr) {
    ScratchDir scratch;
    simdev::SimDevice device(scratch.path() + "/tty");
    const std::string trace = scratch.path() + "/written_to_port";
    Ser2net server(scratch.path(), device.slave_path(), free_port(), {"trace-write: " + trace});
    script.acknowledge_blocks = program.block;
    device.start(std::move(script));
    if (before_start) before_start(device);

    RemoteRun run;
    run.port = server.address();
    std::vector<std::string> command = program.command;
    command.insert(command.end(), {"-p", run.port});
    command.insert(command.end(), options.begin(), options.end());
    command.push_back(file_argument(program, scratch.write("input.bin", file)));
    ProcessOptions process_options;
    process_options.environment = program.environment;
    process_options.time_limit = std::chrono::seconds(60);

    std::atomic<bool> done{false};
    std::thread stopper;
    if (stop_server_when) {
        stopper = std::thread([&] {
            while (!done && !stop_server_when(device.progress())) usleep(5000);
            if (!done) server.stop();
        });
    }
    run.result.process = run_process(command, process_options);
    run.ended_at = Clock::now();
    done = true;
    if (stopper.joinable()) stopper.join();
    if (after_exit) after_exit(device, trace);
    // ser2net goes on writing what it had taken after the client has gone.
    if (run.result.process.exit_code == 0) {
        for (int i = 0; i < 500 && !device.progress().terminated; ++i) usleep(10000);
    }
    run.result.session = device.stop();
    server.stop();
    run.written_to_port = read_file(trace);
    return run;
}

bool terminated(const std::vector<std::uint8_t>& wire) { return !wire.empty() && wire.back() == 0x10; }

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

class RemotePort : public ::testing::TestWithParam<Program> {};
class RemoteStreamSender : public RemotePort {};
class RemoteBlockSender : public RemotePort {};

// Every byte value twice, and for the block sender a device byte 0xFF
// (the telnet escape) before an acknowledgement.
TEST_P(RemotePort, EveryByteValueArrivesBitExactWithTheEchoExact) {
    const Program& program = GetParam();
    std::vector<std::uint8_t> file;
    for (int round = 0; round < 5; ++round) {
        for (int value = 0; value < 256; ++value) file.push_back(static_cast<std::uint8_t>(value ^ round));
    }
    simdev::Script script;
    if (program.block) script.block_reply[0] = {simdev::send({0xFF, 0xF0, simdev::acknowledgement})};
    const RemoteRun run = run_remote(program, file, script);

    ASSERT_EQ(run.result.process.exit_code, 0) << run.result.process.err;
    EXPECT_EQ(run.result.process.err, "");
    EXPECT_EQ(run.result.session.wire, expected_wire(file));
    std::vector<std::string> expected = expected_stdout(program, file);
    if (program.block) {
        // The escaped byte and the one after it are data, printed as read.
        const auto first_wait = std::find(expected.begin(), expected.end(), "1 - 90");
        expected.insert(first_wait, {"1 - ff", "1 - f0"});
    }
    EXPECT_EQ(run.result.process.lines(), expected);
    EXPECT_EQ(run.result.session.all_faults(), std::vector<std::string>{});
}

// The second acknowledgement of block 0 is in flight when the first ends
// the wait: the purge must reach ser2net and cover what it had sent, or it
// would end the wait for block 1 before the device acknowledged that block.
TEST_P(RemoteBlockSender, TwoAcknowledgementsInARowEndOnlyOneWait) {
    const Program& program = GetParam();
    const std::vector<std::uint8_t> file = pattern_file(2500, 5);
    simdev::Script script;
    script.block_reply[0] = {simdev::send({simdev::acknowledgement, simdev::acknowledgement, 0x42})};
    script.block_reply[1] = {simdev::pause(400), simdev::send({simdev::acknowledgement})};
    const RemoteRun run = run_remote(program, file, script);

    ASSERT_EQ(run.result.process.exit_code, 0) << run.result.process.err;
    EXPECT_EQ(run.result.session.wire, expected_wire(file));
    EXPECT_EQ(run.result.session.all_faults(), std::vector<std::string>{}) << "a block went out before its acknowledgement";
    EXPECT_EQ(run.result.session.block_sizes, (std::vector<std::size_t>{1024, 1024, 452}));
    EXPECT_EQ(run.result.process.lines(), expected_stdout(program, file));
}

// An acknowledgement from before the run waits at the remote port when
// ser2net opens it for us: it must not acknowledge this run's first block.
TEST_P(RemoteBlockSender, AcknowledgementFromBeforeTheRunAcknowledgesNothing) {
    const Program& program = GetParam();
    simdev::Script script;
    script.block_reply[0] = {};  // never
    bool sent = false;
    const RemoteRun run = run_remote(program, pattern_file(1500, 10), script, {"--timeout", "2"}, nullptr, nullptr,
                                     [&](simdev::SimDevice& device) {
                                         sent = send_before_the_run(device, {simdev::acknowledgement});
                                     });

    ASSERT_TRUE(sent) << "the old acknowledgement did not reach the port";
    EXPECT_EQ(run.result.process.exit_code, 5) << run.result.process.err;
    EXPECT_FALSE(terminated(run.result.session.wire));
    EXPECT_EQ(run.result.session.wire.size(), 2 * 1024u) << "the second block went out";
}

// The device's XOFF stops ser2net's side of the line and with it, through
// TCP, the sender; XON lets everything through, nothing lost.
TEST_P(RemoteStreamSender, XoffFromTheDeviceHoldsTheStreamSenderAndXonReleasesIt) {
    const Program& program = GetParam();
    const std::vector<std::uint8_t> file = pattern_file(program.about_a_second_of_file, 3);
    simdev::Script script;
    script.at_wire_byte[400] = {
        simdev::send({simdev::xoff}),
        simdev::watch(300, 700),  // what was already on its way, then nothing
        simdev::send({simdev::xon}),
    };
    const RemoteRun run = run_remote(program, file, script);

    ASSERT_EQ(run.result.process.exit_code, 0) << run.result.process.err;
    EXPECT_EQ(run.result.session.wire, expected_wire(file));
    ASSERT_EQ(run.result.session.watches.size(), 1u);
    EXPECT_EQ(run.result.session.watches[0].arrived, 0u) << "bytes arrived while XOFF was in force";
    EXPECT_LT(run.result.session.sent.back().arrived_before, run.result.session.wire.size() / 2)
        << "the sender was never held";
    EXPECT_EQ(run.result.process.lines(), expected_stdout(program, file));
}

// ser2net stopped while the sender sends (a paced device keeps it sending)
// and, for the block sender, well into its wait for an acknowledgement.
TEST_P(RemotePort, ServerStoppedMidTransferIsAPortFailure) {
    const Program& program = GetParam();
    struct Moment {
        const char* what;
        bool waiting;
    };
    for (const Moment moment : {Moment{"sending", false}, Moment{"waiting", true}}) {
        if (moment.waiting && !program.block) continue;
        simdev::Script script;
        script.pace_bytes_per_second = 2000;
        script.block_reply[0] = {simdev::pause(6000)};
        // The stream sender must still be sending when the server stops: the
        // device takes everything ser2net passes on into its own buffer, so
        // only the sender's own pace keeps the file from being all out at once.
        const std::size_t size = moment.waiting ? 1024 : program.block ? 4000 : program.about_a_second_of_file;
        const std::vector<std::uint8_t> file = pattern_file(size, 9);
        Clock::time_point stopped_at{};
        const RemoteRun run = run_remote(program, file, script, {}, [&](const simdev::Progress& progress) {
            const bool now = moment.waiting ? progress.blocks >= 1 : progress.wire_bytes >= 600;
            if (now) {
                if (moment.waiting) usleep(1500 * 1000);  // well into the wait
                stopped_at = Clock::now();
            }
            return now;
        });
        const ProcessResult& process = run.result.process;
        // A block fits into ser2net's and the line's buffers: whether the
        // block sender is still writing it or already waiting when the
        // server stops depends on how fast it writes (under Wine, slowly).
        const bool either = program.block && !moment.waiting;
        const std::string headline = moment.waiting ? "Read Error!" : "Write Error!";
        const std::string reason_start = program.invocation + ": " + run.port + ": ";
        EXPECT_EQ(process.exit_code, 4) << moment.what << ": " << process.err;
        const bool as_expected =
            process.err.rfind(console_text(program, headline + "\n" + reason_start), 0) == 0 ||
            (either && process.err.rfind(console_text(program, "Read Error!\n" + reason_start), 0) == 0);
        EXPECT_TRUE(as_expected) << moment.what << ": " << process.err;
        EXPECT_FALSE(terminated(run.result.session.wire)) << moment.what;
        ASSERT_NE(stopped_at, Clock::time_point{}) << moment.what;
        EXPECT_LT(seconds(run.ended_at - stopped_at), 5.0) << moment.what;
    }
}

// The block sender's --timeout holds through the network: a remote device
// that never answers. (A held stream sender would first fill megabytes of
// TCP buffers on loopback before a write blocked: too long for a test.)
TEST_P(RemoteBlockSender, TimeoutEndsTheWaitForASilentRemoteDevice) {
    const Program& program = GetParam();
    simdev::Script script;
    script.block_reply[0] = {simdev::pause(5000)};
    const std::vector<std::uint8_t> file = pattern_file(1500, 4);
    const RemoteRun run = run_remote(program, file, script, {"--timeout", "2"});

    EXPECT_EQ(run.result.process.exit_code, 5) << run.result.process.err;
    EXPECT_EQ(run.result.process.err,
              console_text(program, program.invocation + ": " + run.port +
                                        ": timed out: no acknowledgement of block 1 within 2 s of its last byte; "
                                        "no terminator sent\n"));
    EXPECT_FALSE(terminated(run.result.session.wire));
    EXPECT_LT(seconds(run.result.process.elapsed), 10.0);
}

std::size_t file_size(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<std::size_t>(info.st_size) : 0;
}

// Runs the stream sender with --timeout 2 through ser2net against a device
// that holds the line from early on for good, and lets go once the program
// has ended: what ser2net writes to the port then is what it had taken.
RemoteRun run_held_for_good(const Program& program, const std::vector<std::uint8_t>& file) {
    simdev::Script script;
    script.at_wire_byte[400] = {simdev::send({simdev::xoff})};
    const std::size_t whole = expected_wire(file).size();
    return run_remote(program, file, script, {"--timeout", "2"}, nullptr,
                      [whole](simdev::SimDevice& device, const std::string& trace) {
                          device.send_now({simdev::xon});
                          // Until ser2net has written the whole wire, or has
                          // written nothing more for two seconds.
                          std::size_t seen = file_size(trace);
                          for (int quiet_ms = 0, total_ms = 0;
                               seen < whole && quiet_ms < 2000 && total_ms < 20000; total_ms += 50) {
                              usleep(50 * 1000);
                              const std::size_t now = file_size(trace);
                              quiet_ms = now == seen ? quiet_ms + 50 : 0;
                              seen = now;
                          }
                      });
}

std::string held_for_good_start(const Program& program, const RemoteRun& run) {
    return program.invocation + ": " + run.port +
           ": timed out: the device has held the line for 2 s (XOFF without XON); ";
}

const char still_on_its_way[] = "the server may still pass on what it had taken\n";

bool is_start_of(const std::vector<std::uint8_t>& wire, const std::vector<std::uint8_t>& whole) {
    return wire.size() <= whole.size() && std::equal(wire.begin(), wire.end(), whole.begin());
}

// A small file fits into the buffers on the way: the terminator is written
// and only the final query times out. ser2net passes everything on once the
// device lets go, terminator and all, which the time-out line owns up to.
TEST_P(RemoteStreamSender, TimeoutOnALineHeldForGoodSaysWhatTheServerMayStillPassOn) {
    const Program& program = GetParam();
    const std::vector<std::uint8_t> file = pattern_file(20000, 6);
    const RemoteRun run = run_held_for_good(program, file);

    EXPECT_EQ(run.result.process.exit_code, 5) << run.result.process.err;
    EXPECT_EQ(run.result.process.err, console_text(program, held_for_good_start(program, run) +
                                                                "the terminator was written, and " + still_on_its_way));
    EXPECT_EQ(run.written_to_port, expected_wire(file));
    EXPECT_TRUE(is_start_of(run.result.session.wire, run.written_to_port)) << "the device got other bytes";
}

// A file larger than ser2net takes in: the time-out resets the connection,
// which throws away what is still queued on our side, so the end of the
// file and the terminator never reach the port, even once the device lets go.
TEST_P(RemoteStreamSender, TimeoutThrowsAwayWhatTheServerHasNotTaken) {
    const Program& program = GetParam();
    if (!program.outpaces_a_held_server) {
        GTEST_SKIP() << "under Wine ser2net takes in everything the program writes: nothing is left to throw away";
    }
    const std::vector<std::uint8_t> file = pattern_file(160 * 1024, 6);
    const RemoteRun run = run_held_for_good(program, file);
    const std::string& err = run.result.process.err;
    const std::string end = console_text(program, still_on_its_way);

    EXPECT_EQ(run.result.process.exit_code, 5) << err;
    // Whether the terminator had been written depends on how much TCP took.
    EXPECT_EQ(err.rfind(console_text(program, held_for_good_start(program, run)), 0), 0u) << err;
    EXPECT_TRUE(err.size() > end.size() && err.compare(err.size() - end.size(), end.size(), end) == 0) << err;
    const std::vector<std::uint8_t> whole = expected_wire(file);
    EXPECT_TRUE(is_start_of(run.written_to_port, whole)) << "ser2net wrote other bytes than the file's start";
    EXPECT_LT(run.written_to_port.size(), whole.size()) << "everything reached the port, terminator and all";
    EXPECT_TRUE(is_start_of(run.result.session.wire, run.written_to_port)) << "the device got other bytes";
}

// A TCP server that takes the connection and says nothing, or closes it.
class MuteServer {
public:
    explicit MuteServer(bool close_at_once) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        port_ = bind_to_loopback(fd_);
        listen(fd_, 4);
        worker_ = std::thread([this, close_at_once] {
            const int client = accept(fd_, nullptr, nullptr);
            if (client < 0) return;
            if (!close_at_once) {
                char buffer[256];
                while (read(client, buffer, sizeof buffer) > 0) {
                }
            }
            close(client);
        });
    }
    ~MuteServer() {
        shutdown(fd_, SHUT_RDWR);
        worker_.join();
        close(fd_);
    }
    int port() const { return port_; }

private:
    int fd_;
    int port_;
    std::thread worker_;
};

TEST_P(RemotePort, ServerThatIsNotThereOrDoesNotSpeakRfc2217IsAnOpenError) {
    const Program& program = GetParam();
    ScratchDir scratch;
    const std::string file = file_argument(program, scratch.write("input.bin", {1, 2}));
    struct Case {
        const char* what;
        int mode;  // 0 nothing listening, 1 silent server, 2 closing server
        const char* reason;
    };
    for (const Case c : {Case{"nothing listening", 0, "cannot reach 127.0.0.1:"},
                         Case{"silent server", 1, "does not speak RFC 2217"},
                         Case{"closing server", 2, "closed the connection"}}) {
        std::unique_ptr<MuteServer> server;
        int port = free_port();
        if (c.mode > 0) {
            server = std::make_unique<MuteServer>(c.mode == 2);
            port = server->port();
        }
        const std::string name = "rfc2217://127.0.0.1:" + std::to_string(port);
        std::vector<std::string> command = program.command;
        command.insert(command.end(), {"-p", name, file});
        ProcessOptions options;
        options.environment = program.environment;
        const ProcessResult result = run_process(command, options);

        EXPECT_EQ(result.exit_code, 1) << c.what << ": " << result.err;
        const std::string start = console_text(program, "Open Error!\n" + program.invocation + ": " + name + ": ");
        EXPECT_EQ(result.err.rfind(start, 0), 0u) << c.what << ": " << result.err;
        EXPECT_NE(result.err.find(c.reason), std::string::npos) << c.what << ": " << result.err;
        EXPECT_NE(result.err.find("127.0.0.1:" + std::to_string(port)), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
        EXPECT_LT(seconds(result.elapsed), 8.0) << c.what;
    }
}

INSTANTIATE_TEST_SUITE_P(BothSenders, RemotePort, ::testing::ValuesIn(programs_under_test()),
                         [](const auto& info) { return info.param.label; });
INSTANTIATE_TEST_SUITE_P(Platforms, RemoteStreamSender, ::testing::ValuesIn(stream_programs()),
                         [](const auto& info) { return info.param.label; });
INSTANTIATE_TEST_SUITE_P(Platforms, RemoteBlockSender, ::testing::ValuesIn(block_programs()),
                         [](const auto& info) { return info.param.label; });

}  // namespace
