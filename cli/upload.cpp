#include "cli/upload.h"

#include <cerrno>
#include <chrono>

#include "cli/echo.h"
#include "cli/explorer.h"
#include "cli/messages.h"
#include "cli/platform.h"
#include "wire/nibble.h"

namespace {

constexpr int wait_report_ms = 1000;

// Goes on with a write or a drain for as long as the port reports that it
// waits, showing each wait on the progress line.
template <typename Step>
PortWriteResult through_waits(Upload& upload, Step step) {
    PortWriteResult result;
    while ((result = step()) == port_write_waiting) progress_port_waits(upload.progress, upload.port);
    return result;
}

// Started from Explorer the window closes the moment we end: first say how
// the run ended, and wait until someone has read it.
void keep_window_open(const Upload& upload, int status) {
    if (!upload.keep_window) return;
    if (upload.command.action == command_upload) {
        const std::string outcome = explorer_outcome(upload.program, status, upload.file_label, upload.command.port);
        print_text(stdout, "%s\n", outcome.c_str());
    }
    print_text(stdout, "%s\n", press_enter);
    wait_for_enter();
}

int end_run(Upload& upload, int status) {
    progress_end(upload.progress);
    port_close(upload.port);
    if (!echo_complete()) print_echo_incomplete(upload.invocation, echo_error());
    keep_window_open(upload, status);
    return status;
}

int end_with_port_failure(Upload& upload, const char* headline) {
    progress_end(upload.progress);
    if (upload.port.failure.problem == port_timed_out) {
        // A local port has thrown away what was queued, terminator and all;
        // a server on the network may still pass on what it had taken.
        const std::string seconds = std::to_string(upload.command.timeout_seconds) + " s";
        std::string what = upload.block ? "a write has waited " + seconds + " for the port"
                                        : "the device has held the line for " + seconds + " (XOFF without XON)";
        std::string end_of_file = "no terminator sent";
        if (upload.port.failure.via_server) {
            // All that shows through the network is that nothing moved.
            what = "nothing has moved for " + seconds + ": " +
                   (upload.block ? "the server stopped reading"
                                 : "the device holds the line, or the server stopped reading");
            const char still_on_its_way[] = "the server may still pass on what it had taken";
            end_of_file = upload.progress.terminator_written
                              ? std::string("the terminator was written, and ") + still_on_its_way
                              : end_of_file + "; " + still_on_its_way;
        }
        print_time_out(upload.invocation, upload.command.port, what, end_of_file);
        return end_run(upload, exit_timed_out);
    }
    print_port_failure(headline, upload.invocation, upload.command.port, upload.port.failure);
    return end_run(upload, exit_port_failed);
}

bool prepare_upload(int argc, char** argv, PortProfile profile, const char* built_in_port, Upload& upload,
                    int& status) {
    argv = command_line_arguments(argc, argv);
    upload.invocation = argc > 0 && argv[0] ? argv[0] : "";
    upload.program = short_name(argc > 0 && argv[0] ? argv[0] : (profile == block_profile ? "pelkron2" : "pelkron"));
    upload.block = profile == block_profile;
    const std::string environment_port = environment_value("PELKRON_PORT");
    upload.command = parse_command_line(argc, argv, environment_port.c_str(), built_in_port, help_switch());

    switch (upload.command.action) {
    case command_wrong_use:
        // A double-click gives no arguments at all: no usage line for that.
        if (!upload.keep_window || argc > 1) print_wrong_use(upload.invocation, upload.program, upload.command.problem);
        if (upload.keep_window) {
            // Nobody is at a command line to ask for --help.
            print_help(upload.program, upload.block, built_in_port);
            print_text(stdout, "%s",
                       explorer_help(upload.program, !environment_port.empty() ? environment_port + " (PELKRON_PORT)"
                                                                                : built_in_port)
                           .c_str());
        }
        status = exit_usage;
        return false;
    case command_help:
        print_help(upload.program, upload.block, built_in_port);
        status = exit_sent;
        return false;
    case command_version:
        print_version(upload.program, built_in_port);
        status = exit_sent;
        return false;
    case command_list:
        print_port_list(port_list("/"));
        status = exit_sent;
        return false;
    case command_upload:
        break;
    }

    // The file before the port, always: a file that cannot be read leaves
    // the port untouched.
    if (upload.command.file == "-") {
        upload.file_label = "standard input";
        upload.input = stdin;
        make_binary(stdin);
    } else {
        upload.file_label = upload.command.file;
        upload.input = open_input_file(upload.command.file);
        if (!upload.input) {
            print_input_failure(upload.invocation, upload.file_label, errno);
            status = exit_input_error;
            return false;
        }
        if (is_directory(upload.input)) {
            print_input_failure(upload.invocation, upload.file_label, EISDIR);
            status = exit_input_error;
            return false;
        }
    }

    // The progress line goes where the echo does not. While it shows, a
    // write that the line holds comes back every second to say so.
    const bool show_progress = is_terminal(stderr) && (upload.command.quiet || !is_terminal(stdout));
    const bool opened = port_open(upload.port, upload.command.port.c_str(), profile,
                                  upload.command.timeout_seconds * 1000, show_progress ? wait_report_ms : 0);
    // From here on messages name the port as given and, for a usb: name, the
    // port it stands for.
    if (!upload.port.resolved_name.empty()) upload.command.port += " (" + upload.port.resolved_name + ")";
    if (!opened) {
        print_open_failure(upload.invocation, upload.program, upload.command.port, upload.port.failure);
        status = exit_open_error;
        return false;
    }
    progress_start(upload.progress, show_progress, show_progress ? file_size(upload.input) : -1, upload.block);
    sha256_start(upload.digest);
    return true;
}

}  // namespace

bool begin_upload(int argc, char** argv, PortProfile profile, const char* built_in_port, Upload& upload, int& status) {
    prepare_process();
    upload.keep_window = started_from_explorer();
    if (prepare_upload(argc, argv, profile, built_in_port, upload, status)) return true;
    keep_window_open(upload, status);
    return false;
}

bool send_file_byte(Upload& upload, unsigned char file_byte) {
    OutgoingPair outgoing = start_pair(file_byte);
    if (through_waits(upload, [&] { return send_nibble_pair(upload.port, outgoing); }) == port_write_failed) {
        return false;
    }
    if (!upload.command.quiet) echo_pair(outgoing.pair);
    if (upload.progress.on) sha256_add(upload.digest, &file_byte, 1);
    progress_pair_sent(upload.progress, upload.port);
    return true;
}

bool drain_output(Upload& upload) {
    return through_waits(upload, [&] { return port_drain_output(upload.port); }) == port_write_done;
}

int end_with_input_failure(Upload& upload) {
    const int error = errno;
    progress_end(upload.progress);
    print_input_failure(upload.invocation, upload.file_label, error);
    return end_run(upload, exit_input_error);
}

int end_with_write_failure(Upload& upload) { return end_with_port_failure(upload, "Write Error!"); }

int end_with_read_failure(Upload& upload) { return end_with_port_failure(upload, "Read Error!"); }

int end_without_acknowledgement(Upload& upload) {
    progress_end(upload.progress);
    print_time_out(upload.invocation, upload.command.port,
                   "no acknowledgement of block " + std::to_string(upload.progress.block) + " within " +
                       std::to_string(upload.command.timeout_seconds) + " s of its last byte");
    return end_run(upload, exit_timed_out);
}

int finish_upload(Upload& upload) {
    if (through_waits(upload, [&] { return send_terminator(upload.port); }) == port_write_failed) {
        return end_with_write_failure(upload);
    }
    upload.progress.terminator_written = true;
    if (!drain_output(upload)) return end_with_write_failure(upload);
    if (upload.progress.on) {
        const double seconds =
            std::chrono::duration<double>(Progress::Clock::now() - upload.progress.started).count();
        progress_end(upload.progress, summary_text(upload.progress.sent, seconds, sha256_finish_hex(upload.digest)));
    }
    return end_run(upload, exit_sent);
}
