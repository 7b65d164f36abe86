// Ports on other machines: both programs reach the simulated device through
// Debian's ser2net on 127.0.0.1 with -p rfc2217://HOST:PORT.
#include <netinet/in.h>
#include <termios.h>
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
#include <iterator>
#include <sstream>
#include <thread>

#include "tests/support/fake_rfc2217.h"
#include "tests/support/ser2net.h"
#include "tests/support/upload.h"

using namespace testing_support;

namespace {

// The program with -p PORT, the options and the input file.
std::vector<std::string> remote_command(const Program& program, const std::string& port,
                                        const std::vector<std::string>& options, const std::string& input) {
    std::vector<std::string> command = program.command;
    command.insert(command.end(), {"-p", port});
    command.insert(command.end(), options.begin(), options.end());
    command.push_back(file_argument(program, input));
    return command;
}

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
// what it writes to the port grows. A paced device takes as long as the line
// for the rest of the file: without `wait_for_the_line` the session is
// taken as it stands when the program has ended.
RemoteRun run_remote(const Program& program, const std::vector<std::uint8_t>& file, simdev::Script script,
                     std::vector<std::string> options = {},
                     std::function<bool(const simdev::Progress&)> stop_server_when = nullptr,
                     std::function<void(simdev::SimDevice&, const std::string&)> after_exit = nullptr,
                     bool wait_for_the_line = true,
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
    const std::vector<std::string> command =
        remote_command(program, run.port, options, scratch.write("input.bin", file));
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
    if (run.result.process.exit_code == 0 && wait_for_the_line) {
        wait_until([&] { return device.progress().terminated; }, std::chrono::seconds(5));
    }
    run.result.session = wait_for_the_line ? device.stop() : device.abandon();
    server.stop();
    run.written_to_port = read_file(trace);
    return run;
}

// ------------------------------------------------ a server that misbehaves

struct FakeServerRun {
    ProcessResult process;
    std::string port;
    std::vector<std::uint8_t> server_data;  // the data the server read
};

FakeServerRun run_against(const Program& program, FakeRfc2217Server::Behaviour behaviour,
                          const std::vector<std::uint8_t>& file, const std::vector<std::string>& options = {}) {
    ScratchDir scratch;
    FakeRfc2217Server server(behaviour, program.block);
    FakeServerRun run;
    run.port = server.address();
    const std::vector<std::string> command =
        remote_command(program, run.port, options, scratch.write("input.bin", file));
    ProcessOptions process_options;
    process_options.environment = program.environment;
    process_options.time_limit = std::chrono::seconds(30);
    process_options.sample_peak_rss = true;
    process_options.discard_stdout = true;
    run.process = run_process(command, process_options);
    run.server_data = server.data();
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
// ser2net opens it for us: it must not acknowledge this run's only block,
// or the terminator would follow and the run end with status 0. A short
// block keeps the wait short: the time limit counts from when the remote
// line can have sent the block.
TEST_P(RemoteBlockSender, AcknowledgementFromBeforeTheRunAcknowledgesNothing) {
    const Program& program = GetParam();
    simdev::Script script;
    script.block_reply[0] = {};  // never
    bool sent = false;
    const std::vector<std::uint8_t> file = pattern_file(150, 10);
    const RemoteRun run = run_remote(program, file, script, {"--timeout", "2"}, nullptr, nullptr, true,
                                     [&](simdev::SimDevice& device) {
                                         sent = send_before_the_run(device, {simdev::acknowledgement});
                                     });

    ASSERT_TRUE(sent) << "the old acknowledgement did not reach the port";
    EXPECT_EQ(run.result.process.exit_code, 5) << run.result.process.err;
    EXPECT_FALSE(terminated(run.result.session.wire)) << "the old acknowledgement was taken for the block's";
    EXPECT_EQ(run.result.session.wire.size(), 2 * file.size());
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
// that never answers. The limit counts from when the block can have left
// the remote port: ser2net takes it at once, the line needs 2.5 s for it.
TEST_P(RemoteBlockSender, TimeoutEndsTheWaitForASilentRemoteDevice) {
    const Program& program = GetParam();
    simdev::Script script;
    script.block_reply[0] = {simdev::pause(5000)};
    const std::vector<std::uint8_t> file = pattern_file(150, 4);
    const RemoteRun run = run_remote(program, file, script, {"--timeout", "2"});

    EXPECT_EQ(run.result.process.exit_code, 5) << run.result.process.err;
    EXPECT_EQ(run.result.process.err,
              console_text(program, program.invocation + ": " + run.port +
                                        ": timed out: no acknowledgement of block 1 within 2 s of its last byte; "
                                        "no terminator sent\n"));
    EXPECT_FALSE(terminated(run.result.session.wire));
    EXPECT_GT(seconds(run.result.process.elapsed), 300 / 120.0 + 2) << "less than the line needs and the limit";
    EXPECT_LT(seconds(run.result.process.elapsed), 15.0);
}

// A line that takes 120 bytes a second and a limit shorter than the block:
// the block is with ser2net at once, and the device acknowledges it once it
// has come through the line, 5 s later. The limit counts from then.
TEST_P(RemoteBlockSender, TimeoutShorterThanABlockOnTheLineEndsNothing) {
    const Program& program = GetParam();
    simdev::Script script;
    script.pace_bytes_per_second = 120;
    const std::vector<std::uint8_t> file = pattern_file(300, 8);
    const RemoteRun run = run_remote(program, file, script, {"--timeout", "1"});

    EXPECT_EQ(run.result.process.exit_code, 0) << run.result.process.err;
    EXPECT_EQ(run.result.process.err, "");
    // A quiet second while the block goes through the line reads nothing.
    const std::vector<std::string> lines = run.result.process.lines();
    std::vector<std::string> pairs;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(pairs),
                 [](const std::string& line) { return line.find(" - ") == std::string::npos; });
    EXPECT_EQ(pairs, pair_lines(file));
    ASSERT_FALSE(read_lines(lines).empty());
    EXPECT_EQ(read_lines(lines).back(), "1 - 90");
    EXPECT_GT(seconds(run.result.process.elapsed), 600 / 120.0) << "the line was faster than 120 bytes a second";
    EXPECT_EQ(run.result.session.wire, expected_wire(file));
    EXPECT_EQ(run.result.session.all_faults(), std::vector<std::string>{});
}

// The stream sender on a line that takes 120 bytes a second, through a
// server that reads no faster than its line takes the data (as ser2net on
// a real port does; on a pseudo-terminal it takes a few KiB at once), with
// a limit much shorter than the transfer: the data keeps moving, so the
// transfer goes on to the end.
TEST_P(RemoteStreamSender, TimeoutShorterThanATransferThatKeepsMovingEndsNothing) {
    const Program& program = GetParam();
    const std::vector<std::uint8_t> file = pattern_file(360, 8);
    const FakeServerRun run = run_against(program, FakeRfc2217Server::reads_at_line_speed, file, {"--timeout", "1"});

    EXPECT_EQ(run.process.exit_code, 0) << run.process.err;
    EXPECT_EQ(run.process.err, "");
    EXPECT_GT(seconds(run.process.elapsed), 5.0) << "the server read faster than the line";
    EXPECT_EQ(run.server_data, expected_wire(file));
}

// A line that the device holds for good after 240 bytes, behind a server
// that reads no faster than its line: the hold shows within seconds, as
// the limit after the line time of what the server has read.
TEST_P(RemoteStreamSender, TimeoutOnALineHeldForGoodShowsWithinSecondsOfTheHold) {
    const Program& program = GetParam();
    const std::vector<std::uint8_t> file = pattern_file(2000, 8);
    const FakeServerRun run = run_against(program, FakeRfc2217Server::held_after_240_bytes, file, {"--timeout", "1"});

    EXPECT_EQ(run.process.exit_code, 5) << run.process.err;
    EXPECT_EQ(run.process.err,
              console_text(program, program.invocation + ": " + run.port +
                                        ": timed out: nothing has moved for 1 s: the device holds the line, or the "
                                        "server stopped reading; no terminator sent; the server may still pass on "
                                        "what it had taken\n"));
    // Two seconds of reading, the line time of the last bytes read, the limit.
    EXPECT_LT(seconds(run.process.elapsed), 2.0 + 4.0 + 1.0 + 2.0);
    const std::vector<std::uint8_t> whole = expected_wire(file);
    EXPECT_GE(run.server_data.size(), 240u);
    EXPECT_TRUE(std::equal(run.server_data.begin(), run.server_data.end(), whole.begin())) << "the server read other bytes";
}

std::size_t file_size(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<std::size_t>(info.st_size) : 0;
}

bool is_start_of(const std::vector<std::uint8_t>& wire, const std::vector<std::uint8_t>& whole) {
    return wire.size() <= whole.size() && std::equal(wire.begin(), wire.end(), whole.begin());
}

// The stream sender with --timeout 2 through ser2net against a device that
// holds the line from early on for good, and lets go once the program has
// ended. The program keeps no more than a few seconds of the line ahead of
// what ser2net has read, so the hold shows within seconds; the time-out
// resets the connection, which throws away what ser2net had not yet read:
// after the device lets go ser2net writes what it had taken, a start of
// the file, and neither its end nor the terminator.
TEST_P(RemoteStreamSender, TimeoutOnALineHeldForGoodThrowsAwayWhatTheServerHasNotTaken) {
    const Program& program = GetParam();
    const std::vector<std::uint8_t> file = pattern_file(20000, 6);
    const std::vector<std::uint8_t> whole = expected_wire(file);
    simdev::Script script;
    script.at_wire_byte[400] = {simdev::send({simdev::xoff})};
    const RemoteRun run = run_remote(program, file, script, {"--timeout", "2"}, nullptr,
                                     [&whole](simdev::SimDevice& device, const std::string& trace) {
                                         device.send_now({simdev::xon});
                                         // Until ser2net has written nothing more for two seconds.
                                         std::size_t seen = file_size(trace);
                                         for (int quiet_ms = 0, total_ms = 0;
                                              seen < whole.size() && quiet_ms < 2000 && total_ms < 20000;
                                              total_ms += 50) {
                                             usleep(50 * 1000);
                                             const std::size_t now = file_size(trace);
                                             quiet_ms = now == seen ? quiet_ms + 50 : 0;
                                             seen = now;
                                         }
                                     });

    EXPECT_EQ(run.result.process.exit_code, 5) << run.result.process.err;
    EXPECT_EQ(run.result.process.err,
              console_text(program, program.invocation + ": " + run.port +
                                        ": timed out: nothing has moved for 2 s: the device holds the line, or the "
                                        "server stopped reading; no terminator sent; the server may still pass on "
                                        "what it had taken\n"));
    EXPECT_LT(seconds(run.result.process.elapsed), 40.0);
    EXPECT_TRUE(is_start_of(run.written_to_port, whole)) << "ser2net wrote other bytes than the file's start";
    EXPECT_LT(run.written_to_port.size(), whole.size()) << "everything reached the port, terminator and all";
    EXPECT_TRUE(is_start_of(run.result.session.wire, run.written_to_port)) << "the device got other bytes";
    std::printf("held for good: ended after %.1f s, ser2net wrote %zu of %zu\n",
                seconds(run.result.process.elapsed), run.written_to_port.size(), whole.size());
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

// What a program may hold whatever the server sends: the 1 MiB of data it
// keeps, a few small buffers, the program itself (measured: at most 5 MiB,
// 13 MiB with the sanitizers). Before the caps a flood of 30 MB of
// IAC WILL 1 took it to 316 MB. Wine's own memory is not the program's.
constexpr long most_memory_kib = 32 * 1024;

bool measures_memory(const Program& program) { return !program.windows_paths; }

// Each fault of a server that a client must survive, during set-up (the
// connection and the line settings, status 1 within the set-up's 5 s) and
// during the transfer (--timeout 1 on a file small enough that the line
// needs a fraction of a second for it). A flood goes on until the program
// has gone.
TEST_P(RemotePort, AServerThatFloodsLiesOrFallsSilentCannotHangItExhaustMemoryOrWinAStatus0) {
    const Program& program = GetParam();
    using Server = FakeRfc2217Server;
    // The terminator is written when the whole file fits into what the
    // program sends ahead; the block sender first waits for its block.
    const std::string left_with_the_server =
        program.block ? "no terminator sent; the server may still pass on what it had taken"
                      : "the terminator was written, and the server may still pass on what it had taken";
    const std::string stalled = "timed out: nothing has moved for 1 s: " +
                                std::string(program.block ? "the server stopped reading"
                                                          : "the device holds the line, or the server stopped reading") +
                                "; " + left_with_the_server;
    struct Case {
        const char* what;
        Server::Behaviour behaviour;
        int status;
        std::string err;  // the reason after "PROGRAM: PORT: "
        // The stream sender's set-up is the block sender's: once is enough.
        // Under Wine the set-up cases would show nothing that the transfer's
        // floods do not (the same receive loop; its memory is Wine's), for
        // 10 s.
        bool set_up;
    };
    const std::string bad = "the server sent a malformed or oversized answer";
    const Case cases[] = {
        {"stale answer", Server::stale_answer_then_deaf, 5, stalled, false},
        {"server that reads nothing", Server::deaf, 5, stalled, false},
        {"flood of data", Server::flood_data, 5, stalled, false},
        {"flood of commands", Server::flood_commands, 5, stalled, false},
        {"endless subnegotiation", Server::endless_subnegotiation, 4, bad, false},
        {"flood of data in set-up", Server::flood_data_in_set_up, 1, "does not speak RFC 2217", true},
        {"flood of commands in set-up", Server::flood_commands_in_set_up, 1, "does not speak RFC 2217", true},
        {"endless subnegotiation in set-up", Server::endless_subnegotiation_in_set_up, 1, bad, true},
    };
    const std::vector<std::uint8_t> file = pattern_file(10, 2);
    for (const Case& c : cases) {
        if (c.set_up && (program.block || program.windows_paths)) continue;
        const FakeServerRun run = run_against(program, c.behaviour, file, {"--timeout", "1"});
        const ProcessResult& result = run.process;
        EXPECT_EQ(result.exit_code, c.status)
            << c.what << ", after " << seconds(result.elapsed) << " s, signal " << result.signal << ": " << result.err;
        const std::string headline = c.status == 1 ? "Open Error!\n" : c.status == 4 ? "Error!\n" : "";
        EXPECT_NE(result.err.find(console_text(program, headline + program.invocation + ": " + run.port + ": ")),
                  std::string::npos)
            << c.what << ": " << result.err;
        EXPECT_NE(result.err.find(c.err), std::string::npos) << c.what << ": " << result.err;
        // Set-up gives up after 5 s; the transfer after the line time of 21
        // bytes and the limit.
        EXPECT_LT(seconds(result.elapsed), c.set_up ? 10.0 : 6.0) << c.what;
        if (measures_memory(program)) {
            EXPECT_LT(result.peak_rss_kib, most_memory_kib) << c.what;
        }
        if (c.behaviour != Server::stale_answer_then_deaf && c.behaviour != Server::deaf) continue;
        EXPECT_EQ(run.server_data, std::vector<std::uint8_t>{}) << c.what << ": the server read data";
    }
}

// The answers to the line settings come in reverse order: each is checked
// against its own setting, and the transfer goes on as with any server.
TEST_P(RemotePort, AnswersInAnotherOrderAreEachTakenForTheirOwnSetting) {
    const Program& program = GetParam();
    const std::vector<std::uint8_t> file = pattern_file(2500, 3);
    const FakeServerRun run = run_against(program, FakeRfc2217Server::answers_reversed, file);

    EXPECT_EQ(run.process.exit_code, 0) << run.process.err;
    EXPECT_EQ(run.process.err, "");
    EXPECT_EQ(run.server_data, expected_wire(file));
}

// Inbound flow control (the remote driver sending XON/XOFF to the device
// when its own input fills) is asked off. The block sender needs the
// answer to say so; the stream sender's remote line keeps it together with
// the outbound XON/XOFF on ser2net, and it goes on (see configure()).
TEST_P(RemotePort, InboundFlowControlThatStaysOnIsRefusedOnlyWhereItCanBeHad) {
    const Program& program = GetParam();
    const std::vector<std::uint8_t> file = pattern_file(100, 5);
    const FakeServerRun run = run_against(program, FakeRfc2217Server::refuses_inbound_off, file);

    if (program.block) {
        EXPECT_EQ(run.process.exit_code, 1) << run.process.err;
        EXPECT_EQ(run.process.err, console_text(program, "Open Error!\n" + program.invocation + ": " + run.port +
                                                             ": the port refused the setting no inbound flow control\n"));
        EXPECT_EQ(run.server_data, std::vector<std::uint8_t>{});
    } else {
        EXPECT_EQ(run.process.exit_code, 0) << run.process.err;
        EXPECT_EQ(run.server_data, expected_wire(file));
    }
}

// Through ser2net the block sender's remote line sends no XON/XOFF of its
// own either way. (For the stream sender ser2net cannot have outbound
// XON/XOFF without inbound: see configure().)
TEST_P(RemoteBlockSender, TheRemoteLineSendsNoFlowControlOfItsOwn) {
    const Program& program = GetParam();
    ScratchDir scratch;
    simdev::SimDevice device(scratch.path() + "/tty");
    Ser2net server(scratch.path(), device.slave_path(), free_port());
    simdev::Script script;
    script.acknowledge_blocks = true;
    device.start(script);
    std::vector<std::string> command = program.command;
    const std::vector<std::uint8_t> file = pattern_file(100, 5);
    command.insert(command.end(), {"-p", server.address(), file_argument(program, scratch.write("f", file))});
    ProcessOptions options;
    options.environment = program.environment;
    // The line as ser2net set it, once the data flows.
    termios line{};
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        while (!done && device.progress().wire_bytes == 0) usleep(2000);
        line = device.line();
    });
    const ProcessResult result = run_process(command, options);
    done = true;
    watcher.join();
    device.stop();

    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF), 0u) << "the remote line has XON/XOFF";
}

// A name server that never answers: the lookup and the connection together
// take at most the 5 s that connecting promises (glibc alone waits 10 s
// for each name server). A numeric address is never looked up.
TEST_P(RemoteStreamSender, ANameLookupThatHangsEndsWithinTheConnectionLimit) {
    const Program& program = GetParam();
    ScratchDir scratch;
    const std::string resolver = scratch.path() + "/resolv.conf";
    {
        std::ofstream conf(resolver);
        conf << "nameserver 127.0.0.1\noptions timeout:30 attempts:1\n";
    }
    const std::string file = file_argument(program, scratch.write("input.bin", {1, 2}));
    struct Case {
        std::string port;
        std::string reason;
        double within_s;
    };
    for (const Case& c : {Case{"rfc2217://pelkron-test.example:7000", "the name lookup did not finish within 5 s", 8.0},
                          Case{"rfc2217://127.0.0.1:7000", "cannot reach 127.0.0.1:7000", 2.0}}) {
        std::vector<std::string> command = {SILENT_NAME_SERVER, resolver};
        command.insert(command.end(), program.command.begin(), program.command.end());
        command.insert(command.end(), {"-p", c.port, file});
        ProcessOptions options;
        options.environment = program.environment;
        const ProcessResult result = run_process(command, options);

        EXPECT_EQ(result.exit_code, 1) << c.port << ": " << result.err;
        EXPECT_EQ(result.err.rfind(console_text(program, "Open Error!\n" + program.invocation + ": " + c.port + ": "), 0),
                  0u)
            << result.err;
        EXPECT_NE(result.err.find(c.reason), std::string::npos) << result.err;
        EXPECT_LT(seconds(result.elapsed), c.within_s) << c.port;
    }
}

// A port another client holds, or whose device ser2net cannot open: ser2net
// says why and closes the connection. The reason is given once, in
// ser2net's words, with what may be behind it.
TEST_P(RemotePort, APortTheServerCannotServeSaysWhyOnce) {
    const Program& program = GetParam();
    ScratchDir scratch;
    simdev::SimDevice device(scratch.path() + "/tty");
    const std::string file = file_argument(program, scratch.write("input.bin", {1, 2}));
    struct Case {
        std::string device;
        std::string words;
    };
    for (const Case& c : {Case{device.slave_path(), "Port already in use"},
                          Case{scratch.path() + "/no-such-device", "Device open failure"}}) {
        Ser2net server(scratch.path(), c.device, free_port());
        // Another client, holding the port.
        const int holder = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(server.address().substr(server.address().rfind(':') + 1))));
        ASSERT_EQ(connect(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        usleep(200 * 1000);
        std::vector<std::string> command = program.command;
        command.insert(command.end(), {"-p", server.address(), file});
        ProcessOptions options;
        options.environment = program.environment;
        const ProcessResult result = run_process(command, options);
        close(holder);

        EXPECT_EQ(result.exit_code, 1) << result.err;
        const std::string start = "Open Error!\n" + program.invocation + ": " + server.address() +
                                  ": the server closed the connection before the port was set up, saying \"" +
                                  c.words;
        EXPECT_EQ(result.err.rfind(console_text(program, start), 0), 0u) << result.err;
        const std::string end = "\": another client may be using the port, or the server cannot open its device\n";
        EXPECT_NE(result.err.find(console_text(program, end)), std::string::npos) << result.err;
    }
}

INSTANTIATE_TEST_SUITE_P(BothSenders, RemotePort, ::testing::ValuesIn(programs_under_test()),
                         [](const auto& info) { return info.param.label; });
INSTANTIATE_TEST_SUITE_P(Platforms, RemoteStreamSender, ::testing::ValuesIn(stream_programs()),
                         [](const auto& info) { return info.param.label; });
INSTANTIATE_TEST_SUITE_P(Platforms, RemoteBlockSender, ::testing::ValuesIn(block_programs()),
                         [](const auto& info) { return info.param.label; });

}  // namespace
