#include "cli/platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "cli/explorer.h"

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

namespace {

// The file name of the program that started us ("explorer.exe"), from a
// snapshot of the processes; "" when it has ended or cannot be seen.
std::string parent_program() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return std::string();
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    const DWORD self = GetCurrentProcessId();
    DWORD parent = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == self) parent = entry.th32ParentProcessID;
    }
    std::string name;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && parent != 0; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID != parent) continue;
        // An executable's file name: ASCII is all that is compared.
        for (const wchar_t* c = entry.szExeFile; *c; ++c) name += *c < 0x80 ? static_cast<char>(*c) : '?';
        break;
    }
    CloseHandle(snapshot);
    return name;
}

}  // namespace

bool started_from_explorer() {
    StartFacts facts;
    DWORD processes[2];
    // The count comes back even when it does not fit.
    facts.console_processes = GetConsoleProcessList(processes, 2);
    DWORD mode = 0;
    facts.input_is_console = GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
    // The process snapshot only when the rest already says "our own console".
    if (facts.console_processes == 1 && facts.input_is_console) facts.parent_program = parent_program();
    return started_from_explorer(facts);
}

void wait_for_enter() {
    std::fflush(stdout);
    std::fflush(stderr);
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    FlushConsoleInputBuffer(input);
    // The console hands over a line once Enter ends it.
    wchar_t line[64];
    DWORD read = 0;
    while (ReadConsoleW(input, line, 64, &read, nullptr) && read > 0) {
        if (line[read - 1] == L'\n' || line[read - 1] == L'\r') break;
    }
}
