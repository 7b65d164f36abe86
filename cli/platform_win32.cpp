#include "cli/platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, which they need.
#include <shellapi.h>
#include <tlhelp32.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdarg>
#include <cstring>
#include <vector>

#include "cli/exit_status.h"
#include "cli/explorer.h"
#include "cli/progress.h"
#include "link/port.h"
#include "link/wide_text_win32.h"

namespace {

HANDLE main_thread = NULL;

// Windows runs this on a thread of its own while the main thread goes on,
// or waits in a write the device holds. The main thread is stopped first,
// so that the run does nothing more (no "Write Error!" for the write the
// purge cuts short, no status of its own); from then on only calls that
// take no lock it may hold: no C runtime, no heap.
BOOL WINAPI on_console_control(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    if (main_thread) {
        SuspendThread(main_thread);
        // SuspendThread only asks; this waits until the thread has stopped.
        CONTEXT context;
        ZeroMemory(&context, sizeof context);
        context.ContextFlags = CONTEXT_CONTROL;
        GetThreadContext(main_thread, &context);
    }
    port_release_on_signal();
    if (progress_line_drawn) {
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), "\r\n", 2, &written, NULL);
    }
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exit_interrupted_on_windows));
    return TRUE;
}

HANDLE console_of(std::FILE* stream) {
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) ? handle : NULL;
}

std::string formatted(const char* format, va_list arguments) {
    std::vector<char> text(256);
    for (;;) {
        va_list attempt;
        va_copy(attempt, arguments);
        const int length = std::vsnprintf(text.data(), text.size(), format, attempt);
        va_end(attempt);
        if (length >= 0 && static_cast<std::size_t>(length) < text.size()) return std::string(text.data(), length);
        text.resize(length >= 0 ? static_cast<std::size_t>(length) + 1 : text.size() * 2);
    }
}

// What a file or a pipe has always got: the ANSI code page's bytes. Text
// with a character that code page lacks goes out as UTF-8 rather than with
// a look-alike or a question mark in its place.
std::string bytes_for_file(const std::string& text) {
    bool ascii = true;
    for (char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) return text;
    const std::wstring wide = utf16_from_utf8(text);
    BOOL lossy = FALSE;
    const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                                         NULL, 0, NULL, &lossy);
    // A UTF-8 ANSI code page takes no question of loss: the call fails.
    if (size <= 0 || lossy) return text;
    std::string ansi(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()), &ansi[0], size,
                        NULL, NULL);
    return ansi;
}

}  // namespace

// A Windows program's handles cannot be mistaken for one another and a
// closed pipe gives an error rather than a signal; what is left is Ctrl-C.
// Started with Ctrl-C ignored (SetConsoleCtrlHandler(NULL, TRUE) in a
// parent), Windows never calls the handler for it, as POSIX keeps an
// ignored SIGINT ignored.
void prepare_process() {
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &main_thread, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    SetConsoleCtrlHandler(on_console_control, TRUE);
}

char** command_line_arguments(int& argc, char**) {
    static std::vector<std::string> texts;
    static std::vector<char*> pointers;
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    texts.clear();
    for (int i = 0; wide && i < count; ++i) texts.push_back(utf8_from_utf16(wide[i]));
    if (wide) LocalFree(wide);
    pointers.clear();
    for (std::string& text : texts) pointers.push_back(&text[0]);
    pointers.push_back(nullptr);
    argc = static_cast<int>(texts.size());
    return pointers.data();
}

// The C runtime's _wgetenv may build its wide environment from the ANSI
// one under main(); the process's own block is UTF-16 from the start.
std::string environment_value(const char* name) {
    const std::wstring wide_name = utf16_from_utf8(name);
    std::vector<wchar_t> value(256);
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD length = GetEnvironmentVariableW(wide_name.c_str(), value.data(), static_cast<DWORD>(value.size()));
        if (length == 0) return "";
        if (length < value.size()) return utf8_from_utf16(value.data(), length);
        value.resize(length);
    }
}

std::FILE* open_input_file(const std::string& name) { return _wfopen(utf16_from_utf8(name).c_str(), L"rb"); }

const char* help_switch() { return "/?"; }

bool is_terminal(std::FILE* stream) { return console_of(stream) != NULL; }

void print_text(std::FILE* stream, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const std::string text = formatted(format, arguments);
    va_end(arguments);

    if (const HANDLE console = console_of(stream)) {
        // The line ends a text stream would have written.
        std::string lines;
        for (char c : text) {
            if (c == '\n') lines += '\r';
            lines += c;
        }
        const std::wstring wide = utf16_from_utf8(lines);
        std::fflush(stream);  // anything the C runtime still holds comes first
        DWORD written = 0;
        if (WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, NULL)) return;
    }
    std::fputs(bytes_for_file(text).c_str(), stream);
}

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
