#include "cli/platform.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

// A Windows program's handles cannot be mistaken for one another, a closed
// pipe gives an error rather than a signal, and the port is released with
// the process: nothing to prepare.
void prepare_process() {}

bool is_terminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

void make_binary(std::FILE* stream) { _setmode(_fileno(stream), _O_BINARY); }

bool is_directory(std::FILE*) { return false; }

long long file_size(std::FILE* input) {
    struct _stat64 info {};
    if (_fstat64(_fileno(input), &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) return -1;
    return static_cast<long long>(info.st_size);
}
