// Win32 backend of the serial port: the comm API.
//
// A Windows port is always a binary line: no echo, no line editing, no
// newline translation. Only speed, framing, flow control and time-outs need
// setting; every other DCB field keeps the value the port had. What we set
// is read back: a port that does not take a setting is refused rather than
// used at the wrong speed.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "link/backend.h"

namespace {

constexpr char xon_char = 0x11;
constexpr char xoff_char = 0x13;
constexpr DWORD read_timeout_ms = 1000;
constexpr WORD flow_limit = 512;

HANDLE handle_of(const PortConnection& port) { return reinterpret_cast<HANDLE>(port.handle); }

// The system's own words for an error code.
std::string system_words(DWORD error) {
    char text[256] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error, 0,
                                        text, sizeof text, NULL);
    std::string words(text, length);
    while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == ' ' ||
                              words.back() == '.')) {
        words.pop_back();
    }
    if (words.empty()) words = "error " + std::to_string(error);
    return words;
}

bool is_com_name(const char* name) {
    if (_strnicmp(name, "COM", 3) != 0 || name[3] == '\0') return false;
    for (const char* c = name + 3; *c; ++c) {
        if (!std::isdigit(static_cast<unsigned char>(*c))) return false;
    }
    return true;
}

// COM10 and above can only be opened through the device namespace; the
// lower numbers work either way, so every COMn goes the same road.
std::string device_path(const char* name) {
    if (std::strncmp(name, "\\\\.\\", 4) == 0) return name;
    if (is_com_name(name)) return std::string("\\\\.\\") + name;
    return name;
}

bool slices_writes(const PortConnection& port) { return port.write_timeout_ms > 0 || port.wait_report_ms > 0; }

int write_slice_ms(const PortConnection& port) { return slices_writes(port) ? next_look_ms(port) : 0; }

bool configure_line(PortConnection& port, PortProfile profile) {
    const HANDLE h = handle_of(port);
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb)) return fail(port, port_not_serial, "not a serial port");
    dcb.BaudRate = CBR_1200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = FALSE;
    // The device holds our output with XOFF and releases it with XON only in
    // the stream profile; in the block profile 0x11 and 0x13 are plain bytes
    // that the acknowledgement wait prints.
    const BOOL outbound_xon_xoff = profile == stream_profile ? TRUE : FALSE;
    dcb.fOutX = outbound_xon_xoff;
    dcb.XonChar = xon_char;
    dcb.XoffChar = xoff_char;
    // We never send XON/XOFF ourselves: the device may not expect them. The
    // limits and fTXContinueOnXoff matter only if we did; they get known
    // values all the same rather than whatever the port had.
    dcb.fInX = FALSE;
    dcb.fTXContinueOnXoff = FALSE;
    dcb.XonLim = flow_limit;
    dcb.XoffLim = flow_limit;
    if (!SetCommState(h, &dcb)) {
        return fail(port, port_other, "the port refused its settings (" + system_words(GetLastError()) + ")");
    }

    DCB taken;
    ZeroMemory(&taken, sizeof taken);
    taken.DCBlength = sizeof taken;
    if (!GetCommState(h, &taken)) return fail(port, port_not_serial, "not a serial port");
    if (taken.BaudRate != CBR_1200) return fail(port, port_setting_refused, "1200 baud");
    if (taken.ByteSize != 8) return fail(port, port_setting_refused, "8 data bits");
    if (taken.Parity != NOPARITY) return fail(port, port_setting_refused, "no parity");
    if (taken.StopBits != ONESTOPBIT) return fail(port, port_setting_refused, "one stop bit");
    if (taken.fOutxCtsFlow) return fail(port, port_setting_refused, "hardware flow control off");
    if (static_cast<BOOL>(taken.fOutX) != outbound_xon_xoff || taken.fInX) {
        return fail(port, port_setting_refused,
                    outbound_xon_xoff ? "XON/XOFF flow control on" : "XON/XOFF flow control off");
    }
    if (taken.XonChar != xon_char || taken.XoffChar != xoff_char) {
        return fail(port, port_setting_refused, "XON 0x11 and XOFF 0x13");
    }

    COMMTIMEOUTS timeouts;
    ZeroMemory(&timeouts, sizeof timeouts);
    GetCommTimeouts(h, &timeouts);
    // A read returns at the first byte or after one second without one.
    timeouts.ReadIntervalTimeout = read_timeout_ms;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = read_timeout_ms;
    // Without a time limit or reports of a wait, writes never time out: a
    // held line simply makes us wait. With either, a write gives up after
    // a slice of the wait and is tried again (see local_port_write_byte).
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(write_slice_ms(port));
    if (!SetCommTimeouts(h, &timeouts)) {
        return fail(port, port_other, "the port refused its time-outs (" + system_words(GetLastError()) + ")");
    }
    COMMTIMEOUTS taken_timeouts;
    ZeroMemory(&taken_timeouts, sizeof taken_timeouts);
    if (!GetCommTimeouts(h, &taken_timeouts) || taken_timeouts.ReadIntervalTimeout != timeouts.ReadIntervalTimeout ||
        taken_timeouts.ReadTotalTimeoutMultiplier != 0 ||
        taken_timeouts.ReadTotalTimeoutConstant != timeouts.ReadTotalTimeoutConstant ||
        taken_timeouts.WriteTotalTimeoutMultiplier != 0 ||
        taken_timeouts.WriteTotalTimeoutConstant != timeouts.WriteTotalTimeoutConstant) {
        return fail(port, port_setting_refused, "its time-outs");
    }
    return true;
}

// After a failure or a time-out nothing queued may trickle out later: the
// device must not get the rest of a file we have given up on.
void discard_output(const PortConnection& port) { PurgeComm(handle_of(port), PURGE_TXABORT | PURGE_TXCLEAR); }

bool is_time_out(DWORD error) { return error == ERROR_TIMEOUT || error == ERROR_SEM_TIMEOUT; }

// A write or drain that gives up throws away what is queued.
PortWriteResult give_up(PortConnection& port, PortProblem problem, std::string detail) {
    discard_output(port);
    return fail_wait(port, problem, std::move(detail));
}

// Waits for the driver's output queue to empty, looking every few
// milliseconds. With a time limit, a queue that does not shrink for that
// long is a time-out.
PortWriteResult wait_for_empty_output(PortConnection& port) {
    const ULONGLONG waiting_since = GetTickCount64();
    for (;;) {
        DWORD errors = 0;
        COMSTAT status = {};
        if (!ClearCommError(handle_of(port), &errors, &status)) {
            return fail_wait(port, port_drain_failed, system_words(GetLastError()));
        }
        if (status.cbOutQue == 0) {
            end_wait(port);
            return port_write_done;
        }
        const ULONGLONG now = GetTickCount64();
        look_at_queue(port, static_cast<long>(status.cbOutQue), static_cast<long long>(now));
        if (held_too_long(port)) return give_up(port, port_timed_out, "");
        if (time_to_report(port, static_cast<long long>(now - waiting_since))) return port_write_waiting;
        Sleep(20);
    }
}

}  // namespace

bool local_port_open(PortConnection& port, const char* name, PortProfile profile) {
    port.handle = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);

    // Share mode 0: nobody else may use the port while we do.
    const HANDLE h = CreateFileA(device_path(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0,
                                 NULL);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return fail(port, port_not_found, system_words(error));
        case ERROR_ACCESS_DENIED:  // what Windows says of a port another program has open
        case ERROR_SHARING_VIOLATION:
            return fail(port, port_in_use, "in use by another program");
        default:
            return fail(port, port_other, system_words(error));
        }
    }
    port.handle = reinterpret_cast<std::intptr_t>(h);
    if (!configure_line(port, profile)) {
        CloseHandle(h);
        port.handle = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);
        return false;
    }
    return true;
}

// With a time limit or reports of a wait, a write that the line holds
// gives up after a slice of the wait (the write time-out) and is tried
// again. A write of one byte cannot end partway: a slice that ends has
// written nothing (see judge_one_byte_write), and the same byte goes
// again, once, when the line moves.
PortWriteResult local_port_write_byte(PortConnection& port, unsigned char value) {
    port.transfer_buffer = value;
    const HANDLE h = handle_of(port);
    const bool sliced = slices_writes(port);
    const ULONGLONG waiting_since = sliced ? GetTickCount64() : 0;
    for (;;) {
        DWORD written = 0;
        const BOOL ok = WriteFile(h, &port.transfer_buffer, 1, &written, NULL);
        const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        port.transfer_count = written;
        const OneByteWrite outcome = judge_one_byte_write(ok != FALSE, written, is_time_out(error), sliced);
        if (outcome == byte_written) {
            end_wait(port);
            return port_write_done;
        }
        if (outcome == write_failed) return give_up(port, port_gone, ok ? "nothing was written" : system_words(error));

        DWORD errors = 0;
        COMSTAT status = {};
        const long queued = ClearCommError(h, &errors, &status) ? static_cast<long>(status.cbOutQue) : -1;
        const long long now = static_cast<long long>(GetTickCount64());
        // A wait that begins here began when this write did.
        if (port.still_since_ms < 0) look_at_queue(port, queued, static_cast<long long>(waiting_since));
        look_at_queue(port, queued, now);
        if (held_too_long(port)) return give_up(port, port_timed_out, "");
        if (time_to_report(port, now - static_cast<long long>(waiting_since))) return port_write_waiting;
    }
}

long local_port_output_queued(PortConnection& port) {
    DWORD errors = 0;
    COMSTAT status = {};
    return ClearCommError(handle_of(port), &errors, &status) ? static_cast<long>(status.cbOutQue) : -1;
}

PortReadResult local_port_read_byte(PortConnection& port) {
    const ULONGLONG started = GetTickCount64();
    DWORD received = 0;
    const BOOL ok = ReadFile(handle_of(port), &port.transfer_buffer, 1, &received, NULL);
    port.transfer_count = received;
    if (!ok) {
        fail(port, port_gone, system_words(GetLastError()));
        return port_read_failed;
    }
    if (received == 1) return port_read_done;
    // No byte: a quiet second, or a device that has gone. A vanished device
    // can look like a read that succeeds with nothing, at once or after the
    // time-out, every time; but then the port's status can no longer be
    // read, while a quiet port always reports it.
    DWORD errors = 0;
    COMSTAT status = {};
    if (!ClearCommError(handle_of(port), &errors, &status)) {
        fail(port, port_gone, system_words(GetLastError()));
        return port_read_failed;
    }
    // A live port that gave up early all the same must not make the caller
    // spin: the attempt takes its second, as a quiet line's does.
    const ULONGLONG waited = GetTickCount64() - started;
    if (waited < read_timeout_ms / 2) Sleep(static_cast<DWORD>(read_timeout_ms - waited));
    return port_read_done;
}

void local_port_purge_input(PortConnection& port) { PurgeComm(handle_of(port), PURGE_RXCLEAR); }

PortWriteResult local_port_drain_output(PortConnection& port) {
    // FlushFileBuffers cannot be given a time limit and does not come back
    // before the end.
    if (slices_writes(port)) return wait_for_empty_output(port);
    if (FlushFileBuffers(handle_of(port))) return port_write_done;
    const DWORD error = GetLastError();
    // Some drivers, virtual and USB ports among them, do not implement it.
    if (error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED) return wait_for_empty_output(port);
    return fail_wait(port, port_drain_failed, system_words(error));
}

void local_port_close(PortConnection& port) {
    if (handle_of(port) == INVALID_HANDLE_VALUE) return;
    CloseHandle(handle_of(port));
    port.handle = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);
}

// Windows releases a port with its handle when the process ends.
void port_release_on_signal() {}

std::vector<std::string> port_list(const std::string&) {
    // Every DOS device name of the machine, then the COMn among them with
    // what each stands for (\Device\Serial0, a USB driver's device, ...).
    std::vector<char> names(1 << 16);
    DWORD length = 0;
    while ((length = QueryDosDeviceA(NULL, names.data(), static_cast<DWORD>(names.size()))) == 0 &&
           GetLastError() == ERROR_INSUFFICIENT_BUFFER && names.size() < (1u << 24)) {
        names.resize(names.size() * 2);
    }
    std::vector<std::string> ports;
    for (const char* name = names.data(); name < names.data() + length && *name; name += std::strlen(name) + 1) {
        if (is_com_name(name)) ports.push_back(name);
    }
    std::sort(ports.begin(), ports.end(), [](const std::string& a, const std::string& b) {
        return std::atoi(a.c_str() + 3) < std::atoi(b.c_str() + 3);
    });
    std::vector<std::string> lines;
    for (std::string& port : ports) {
        for (char& c : port) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        char target[512] = "";
        std::string line = port;
        if (QueryDosDeviceA(port.c_str(), target, sizeof target) != 0 && target[0]) line += ": " + std::string(target);
        lines.push_back(line);
    }
    return lines;
}
