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

#include <cstring>

#include "link/backend.h"
#include "link/port_identity.h"

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

// COM10 and above can only be opened through the device namespace; the
// lower numbers work either way, so every COMn goes the same road.
std::string device_path(const char* name) {
    if (std::strncmp(name, "\\\\.\\", 4) == 0) return name;
    if (is_com_port_name(name)) return std::string("\\\\.\\") + name;
    return name;
}

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
    // Without a time limit writes never time out: a held line simply makes
    // us wait.
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(port.write_timeout_ms);
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

// Waits for the driver's output queue to empty, looking every few
// milliseconds. With a time limit, a queue that does not shrink for that
// long is a time-out.
bool wait_for_empty_output(PortConnection& port) {
    DWORD queued_before = MAXDWORD;
    ULONGLONG moved_at = GetTickCount64();
    for (;;) {
        DWORD errors = 0;
        COMSTAT status = {};
        if (!ClearCommError(handle_of(port), &errors, &status)) {
            return fail(port, port_drain_failed, system_words(GetLastError()));
        }
        if (status.cbOutQue == 0) return true;
        if (status.cbOutQue != queued_before) {
            queued_before = status.cbOutQue;
            moved_at = GetTickCount64();
        } else if (port.write_timeout_ms > 0 &&
                   GetTickCount64() - moved_at >= static_cast<ULONGLONG>(port.write_timeout_ms)) {
            discard_output(port);
            return fail(port, port_timed_out, "");
        }
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

bool local_port_write_byte(PortConnection& port, unsigned char value) {
    port.transfer_buffer = value;
    DWORD written = 0;
    const BOOL ok = WriteFile(handle_of(port), &port.transfer_buffer, 1, &written, NULL);
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    port.transfer_count = written;
    if (ok && written == 1) return true;
    discard_output(port);
    // The write time-out ends a write with nothing written; drivers differ
    // in whether they call that success or ERROR_TIMEOUT.
    if (port.write_timeout_ms > 0 && written == 0 && (ok || is_time_out(error))) {
        return fail(port, port_timed_out, "");
    }
    return fail(port, port_gone, ok ? "nothing was written" : system_words(error));
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

bool local_port_drain_output(PortConnection& port) {
    // FlushFileBuffers cannot be given a time limit.
    if (port.write_timeout_ms > 0) return wait_for_empty_output(port);
    if (FlushFileBuffers(handle_of(port))) return true;
    const DWORD error = GetLastError();
    // Some drivers, virtual and USB ports among them, do not implement it.
    if (error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED) return wait_for_empty_output(port);
    return fail(port, port_drain_failed, system_words(error));
}

void local_port_close(PortConnection& port) {
    if (handle_of(port) == INVALID_HANDLE_VALUE) return;
    CloseHandle(handle_of(port));
    port.handle = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);
}

// Windows releases a port with its handle when the process ends.
void port_release_on_signal() {}
