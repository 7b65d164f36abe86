// pelkron2: sends a file to the device in blocks of 1024 file bytes and waits
// after each block until the device acknowledges it with 0x90.
#include <chrono>

#include "cli/echo.h"
#include "cli/upload.h"
#include "link/clock.h"
#include "wire/nibble.h"

#ifndef PELKRON_BUILT_IN_PORT
#error "PELKRON_BUILT_IN_PORT must name the port used when none is given"
#endif

namespace {

enum Acknowledgement { acknowledged, port_failed, not_in_time };

// Reads one byte at a time, printing every attempt, until a read gives the
// acknowledgement. A quiet second prints a count of 0 with whatever the
// transfer buffer still holds. Without --timeout there is no limit on
// attempts: a slow device is waited for.
Acknowledgement await_acknowledgement(Upload& upload) {
    PortConnection& port = upload.port;
    const int timeout_seconds = upload.command.timeout_seconds;
    progress_wait_begins(upload.progress, port);
    if (timeout_seconds > 0) {
        // The time limit counts from when the block has left the port, not
        // from when the driver took it: at 1200 baud a queued block takes
        // many seconds to go out.
        if (!drain_output(upload)) return port_failed;
    }
    // Through a server on the network, "left the port" means taken by the
    // server: the line may still need a while for it.
    const auto deadline = MonotonicClock::now() + std::chrono::seconds(timeout_seconds) +
                          std::chrono::milliseconds(timeout_seconds > 0 ? port_line_time_left_ms(port) : 0);
    for (;;) {
        if (upload.progress.on) progress_draw(upload.progress, port, true);
        if (port_read_byte(port) == port_read_failed) return port_failed;
        if (!upload.command.quiet) echo_read(port.transfer_count, port.transfer_buffer);
        if (port.transfer_count == 1 && port.transfer_buffer == acknowledgement_byte) break;
        if (timeout_seconds > 0 && MonotonicClock::now() >= deadline) return not_in_time;
    }
    progress_acknowledged(upload.progress);
    return acknowledged;
}

}  // namespace

int main(int argc, char** argv) {
    Upload upload;
    int status = exit_sent;
    if (!begin_upload(argc, argv, block_profile, PELKRON_BUILT_IN_PORT, upload, status)) return status;

    // A byte the device sent before this run (the acknowledgement of a run
    // that was interrupted, say) must not acknowledge a block of this one.
    port_purge_earlier_input(upload.port);

    bool file_done = false;
    while (!file_done) {
        int block_count = 0;
        while (block_count < block_length) {
            unsigned char byte = 0;
            const FileRead read = read_file_byte(upload.input, byte);
            if (read == file_ended) {
                file_done = true;
                break;
            }
            if (read == file_failed) return end_with_input_failure(upload);
            if (!send_file_byte(upload, byte)) return end_with_write_failure(upload);
            ++block_count;
        }
        // An empty block is no block: the device never saw it and would
        // never acknowledge it, so the terminator follows at once.
        if (block_count == 0) break;
        switch (await_acknowledgement(upload)) {
        case acknowledged: break;
        case port_failed:
            // The drain before a timed wait writes nothing but can fail as a write does.
            return upload.port.failure.problem == port_timed_out || upload.port.failure.problem == port_drain_failed
                       ? end_with_write_failure(upload)
                       : end_with_read_failure(upload);
        case not_in_time: return end_without_acknowledgement(upload);
        }
        // Anything that came with or after the acknowledgement must not
        // count towards the next wait.
        port_purge_input(upload.port);
    }
    return finish_upload(upload);
}
