// The programs under test under Wine: the Windows builds of pelkron and
// pelkron2 (a MinGW cross build, 64-bit or 32-bit), started by wine in a
// prefix of their own under the build folder. The simulated device links its line at the
// prefix's dosdevices/com6, so the programs open "COM6" as they do on Windows.
//
// One Wine session serves the whole suite: a persistent wineserver with
// Wine's own services already running, so that each run starts in a fraction
// of a second and no Wine background process ever inherits a test's pipes.
// CTest starts it (--start-wine) before the first case and stops it
// (--stop-wine) after the last; run by hand, the suite starts and stops a
// session itself when none is running.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/upload.h"

extern char** environ;

namespace testing_support {

namespace {

const std::string wine_prefix = WINE_PREFIX;
const std::string wine_log = wine_prefix + ".log";

std::vector<std::string> wine_environment() {
    return {
        "WINEPREFIX=" + wine_prefix,
        // No debug chatter on stderr, including Debian's hint about wine32.
        "WINEDEBUG=-all",
        // No Mono or Gecko installer prompts, no desktop menu entries.
        "WINEDLLOVERRIDES=mscoree,mshtml=;winemenubuilder.exe=d",
        // Console programs only: never a window, whatever the desktop.
        "DISPLAY=",
        "WAYLAND_DISPLAY=",
    };
}

// Runs a Wine tool to its end with its output appended to the log beside the
// prefix (or to the given file): never on our stdout or stderr, which may be a
// test runner's pipes that Wine's background processes would hold open long
// after.
int run_wine_tool(const std::vector<std::string>& argv, const std::string& output = wine_log) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t child = 0;
    const int spawned = posix_spawn(&child, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(spawned));
        return -1;
    }
    // Making a prefix takes seconds; a tool still running after two minutes
    // is stuck and would hold the whole leg.
    int status = 0;
    pid_t ended = 0;
    const bool finished = wait_until(
        [&] {
            ended = waitpid(child, &status, WNOHANG);
            return ended != 0 && !(ended < 0 && errno == EINTR);
        },
        std::chrono::minutes(2));
    if (!finished) {
        std::fprintf(stderr, "%s did not end within 2 minutes; see %s\n", args[0], output.c_str());
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        return -1;
    }
    if (ended < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

// Makes the prefix if needed and makes sure a persistent wineserver runs for
// it. Tells whether this call started the server.
bool start_session(bool& started_server) {
    started_server = false;
    for (const char* exe : {PELKRON_WINE_EXE, PELKRON2_WINE_EXE}) {
        if (!exists(exe)) {
            std::fprintf(stderr, "%s is missing: cross-build it first (cmake/mingw-w64.cmake)\n", exe);
            return false;
        }
    }
    // A prefix made before Wine's 32-bit loader was installed has no
    // syswow64, and once that loader is there it starts every program and
    // fails on such a prefix ("could not load kernel32.dll"): make it anew.
    if (exists(wine_prefix + "/system.reg") && !exists(wine_prefix + "/drive_c/windows/syswow64")) {
        run_wine_tool({WINESERVER_PROGRAM, "-k"});
        if (std::system(("rm -rf '" + wine_prefix + "'").c_str()) != 0) {
            std::fprintf(stderr, "cannot remove the outdated prefix %s\n", wine_prefix.c_str());
            return false;
        }
    }
    if (!exists(wine_prefix + "/system.reg")) {
        // A new prefix: several seconds, once per build folder. wineboot's
        // own server lingers for a few seconds and writes the registry when
        // it ends; only then is the prefix complete, and only then may the
        // persistent server start.
        const int booted = run_wine_tool({WINE_PROGRAM, "wineboot", "-i"});
        run_wine_tool({WINESERVER_PROGRAM, "-w"});
        if (booted != 0 || !exists(wine_prefix + "/system.reg")) {
            std::fprintf(stderr, "wineboot could not make %s; see %s\n", wine_prefix.c_str(), wine_log.c_str());
            return false;
        }
    }
    // The server opens the serial device itself and so takes the simulated
    // device's pseudo-terminal as its controlling terminal: every hang-up
    // sends it SIGHUP, on which it prints all its objects, megabytes each
    // time. Nobody needs that output.
    const int server = run_wine_tool({WINESERVER_PROGRAM, "-p"}, "/dev/null");
    if (server != 0 && server != 2) {  // 2: a server already runs for the prefix
        std::fprintf(stderr, "wineserver -p failed (status %d)\n", server);
        return false;
    }
    started_server = server == 0;
    if (started_server) {
        // The first program of a session starts Wine's services, which stay
        // as long as the server: here, with the log for their output.
        if (run_wine_tool({WINE_PROGRAM, "cmd", "/c", "exit"}) != 0) {
            std::fprintf(stderr, "wine cannot run a program; see %s\n", wine_log.c_str());
            return false;
        }
        // Wine links the serial ports it finds when a session starts; the
        // ports under test are for the simulated device alone, never real ones.
        for (const char* port : {"com3", "com6", "com7", "com12"}) unlink((wine_prefix + "/dosdevices/" + port).c_str());
    }
    // The made-up PC's ports. Part of them is in a volatile key, which
    // lasts as long as the server: every session imports them anew.
    if (run_wine_tool({WINE_PROGRAM, "regedit", "/S", windows_path(WINDOWS_PORTS_REG)}) != 0) {
        std::fprintf(stderr, "regedit could not import %s; see %s\n", WINDOWS_PORTS_REG, wine_log.c_str());
        return false;
    }
    return true;
}

void stop_session() {
    run_wine_tool({WINESERVER_PROGRAM, "-k"});
    run_wine_tool({WINESERVER_PROGRAM, "-w"});
}

class WineSession : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(start_session(started_server_)); }
    void TearDown() override {
        if (started_server_) stop_session();
    }

private:
    bool started_server_ = false;
};

}  // namespace

std::vector<Program> programs_under_test() {
    Program stream;
    stream.label = "pelkron_" WINDOWS_BUILD_LABEL;
    stream.name = "pelkron";
    stream.windows_paths = true;
    stream.invocation = file_argument(stream, PELKRON_WINE_EXE);  // argv[0] as Windows gives it: the full path
    stream.command = {WINE_PROGRAM, PELKRON_WINE_EXE};
    stream.port_link = wine_prefix + "/dosdevices/com6";
    stream.built_in_port = "COM6";
    stream.settings_reset = "mode COM6: odsr=off idsr=off octs=off";
    stream.other_ports = {{"COM7", wine_prefix + "/dosdevices/com7"}, {"com12", wine_prefix + "/dosdevices/com12"}};
    stream.registered_ports = {"COM1", "COM3", "COM7", "COM12", "\\\\.\\CNCA0"};
    stream.environment = wine_environment();
    stream.clears_ixany = false;
    stream.exclusive_open = false;
    stream.line_end = "\r\n";
    stream.directory_error = "Permission denied";
    stream.unreadable_file_error = "Invalid argument";
    stream.broken_pipe_error = "Invalid argument";
    stream.about_a_second_of_file = 16 * 1024;

    Program block = stream;
    block.label = "pelkron2_" WINDOWS_BUILD_LABEL;
    block.name = "pelkron2";
    block.invocation = file_argument(block, PELKRON2_WINE_EXE);
    block.command = {WINE_PROGRAM, PELKRON2_WINE_EXE};
    block.block = true;
    return {stream, block};
}

}  // namespace testing_support

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (const std::string& entry : testing_support::wine_environment()) {
        const std::size_t equals = entry.find('=');
        setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
    }
    if (argc == 2 && std::strcmp(argv[1], "--start-wine") == 0) {
        bool started = false;
        return testing_support::start_session(started) ? 0 : 1;
    }
    if (argc == 2 && std::strcmp(argv[1], "--stop-wine") == 0) {
        testing_support::stop_session();
        return 0;
    }
    ::testing::AddGlobalTestEnvironment(new testing_support::WineSession);
    return RUN_ALL_TESTS();
}
