// pelkron: sends a file to the device as one unbroken run of nibble pairs,
// paced only by the device's XOFF/XON, and ends it with the terminator.
#include "cli/upload.h"

#ifndef PELKRON_BUILT_IN_PORT
#error "PELKRON_BUILT_IN_PORT must name the port used when none is given"
#endif

int main(int argc, char** argv) {
    Upload upload;
    int status = exit_sent;
    if (!begin_upload(argc, argv, stream_profile, PELKRON_BUILT_IN_PORT, upload, status)) return status;

    for (;;) {
        unsigned char byte = 0;
        const FileRead read = read_file_byte(upload.input, byte);
        if (read == file_ended) break;
        if (read == file_failed) return end_with_input_failure(upload);
        if (!send_file_byte(upload, byte)) return end_with_write_failure(upload);
    }
    return finish_upload(upload);
}
