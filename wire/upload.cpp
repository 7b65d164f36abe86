#include "wire/upload.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#ifndef _WIN32
#include <sys/stat.h>
#endif

bool arguments_ok(int argc, char** argv) {
    if (argc == 2) return true;
    std::fprintf(stderr, "%s: filename\n", argc > 0 && argv[0] ? argv[0] : "");
    return false;
}

namespace {

[[noreturn]] void fail_input(char** argv, int error) {
    std::fprintf(stderr, "%s: %s: %s\n", argv[0], argv[1], std::strerror(error));
    std::exit(exit_input_error);
}

}  // namespace

std::FILE* open_input(char** argv) {
    std::FILE* input = std::fopen(argv[1], "rb");
    if (!input) fail_input(argv, errno);
#ifndef _WIN32
    // POSIX opens a directory for reading and only fails on the first read;
    // say so now, before the port is touched. Windows refuses the open itself.
    struct stat info {};
    if (fstat(fileno(input), &info) == 0 && S_ISDIR(info.st_mode)) fail_input(argv, EISDIR);
#endif
    return input;
}

FileRead read_file_byte(std::FILE* input, unsigned char& byte) {
    const int c = std::getc(input);
    if (c != EOF) {
        byte = static_cast<unsigned char>(c);
        return file_byte_read;
    }
    return std::ferror(input) ? file_failed : file_ended;
}

int report_input_failure(char** argv) {
    const int error = errno;
    std::fprintf(stderr, "%s: %s: %s\n", argv[0], argv[1], std::strerror(error));
    return exit_input_error;
}

int report_write_failure() {
    std::fputs("Write Error!\n", stderr);
    return exit_port_failed;
}
