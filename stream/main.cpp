// pelkron: sends a file to the device as one unbroken run of nibble pairs,
// paced only by the device's XOFF/XON, and ends it with the terminator.
#include "link/port.h"
#include "wire/nibble.h"
#include "wire/upload.h"

int main(int argc, char** argv) {
    if (!arguments_ok(argc, argv)) return exit_usage;
    std::FILE* input = open_input(argv);  // before the port, always
    PortConnection port = port_open(stream_profile);

    for (;;) {
        unsigned char byte = 0;
        const FileRead read = read_file_byte(input, byte);
        if (read == file_ended) break;
        if (read == file_failed) return report_input_failure(argv);
        if (!send_nibble_pair(port, byte)) return report_write_failure();
    }
    if (!send_terminator(port) || !port_drain_output(port)) return report_write_failure();
    return exit_sent;
}
