// pelkron2: sends a file to the device in blocks of 1024 file bytes and waits
// after each block until the device acknowledges it with 0x90.
#include <cstdio>

#include "link/port.h"
#include "wire/nibble.h"
#include "wire/upload.h"

namespace {

// Reads one byte at a time, printing every attempt, until a read gives the
// acknowledgement. A quiet second prints a count of 0 with whatever the
// transfer buffer still holds. No limit on attempts: a slow device is waited
// for. Returns false only when the port itself has failed.
bool await_acknowledgement(PortConnection& port) {
    for (;;) {
        if (port_read_byte(port) == port_read_failed) return false;
        std::printf("%u - %02x\n", static_cast<unsigned>(port.transfer_count), port.transfer_buffer);
        std::fflush(stdout);
        if (port.transfer_count == 1 && port.transfer_buffer == acknowledgement_byte) return true;
    }
}

int report_read_error() {
    std::fputs("Read Error!\n", stderr);
    return exit_port_failed;
}

}  // namespace

int main(int argc, char** argv) {
    if (!arguments_ok(argc, argv)) return exit_usage;
    std::FILE* input = open_input(argv);  // before the port, always
    PortConnection port = port_open(block_profile);

    bool file_done = false;
    while (!file_done) {
        int block_count = 0;
        while (block_count < block_length) {
            unsigned char byte = 0;
            const FileRead read = read_file_byte(input, byte);
            if (read == file_ended) {
                file_done = true;
                break;
            }
            if (read == file_failed) return report_input_failure(argv);
            if (!send_nibble_pair(port, byte)) return report_write_failure();
            ++block_count;
        }
        // An empty block is no block: the device never saw it and would
        // never acknowledge it, so the terminator follows at once.
        if (block_count == 0) break;
        if (!await_acknowledgement(port)) return report_read_error();
        // Anything that came with or after the acknowledgement must not
        // count towards the next wait.
        port_purge_input(port);
    }
    if (!send_terminator(port) || !port_drain_output(port)) return report_write_failure();
    return exit_sent;
}
