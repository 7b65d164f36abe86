// Win32 backend of the serial port: the comm API.
//
// A Windows port is always a binary line: no echo, no line editing, no
// newline translation. Speed, framing, flow control and time-outs are set,
// and the two fields no upload survives otherwise (link/dcb.h); every other
// DCB field keeps the value the port had. What we set is read back: a port
// that does not take a setting is refused rather than used at the wrong
// speed.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstring>
#include <utility>

#include "link/backend.h"
#include "link/clock.h"
#include "link/dcb.h"
#include "link/port_identity.h"
#include "link/wide_text_win32.h"

namespace {

constexpr DWORD read_timeout_ms = 1000;

// The open port, for the console control handler, which runs on a thread of
// its own.
volatile HANDLE open_port = INVALID_HANDLE_VALUE;

HANDLE handle_of(const PortConnection& port) { return reinterpret_cast<HANDLE>(port.handle); }

// The system's own words for an error code.
std::string system_words(DWORD error) {
    // Wide: the ANSI text would be in a code page the console does not show.
    wchar_t text[256] = L"";
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error, 0,
                                        text, sizeof text / sizeof text[0], NULL);
    std::string words = utf8_from_utf16(text, length);
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

DcbFields fields_of(const DCB& dcb) {
    DcbFields fields;
    fields.BaudRate = dcb.BaudRate;
    fields.fBinary = dcb.fBinary;
    fields.fParity = dcb.fParity;
    fields.fOutxCtsFlow = dcb.fOutxCtsFlow;
    fields.fOutxDsrFlow = dcb.fOutxDsrFlow;
    fields.fDtrControl = dcb.fDtrControl;
    fields.fDsrSensitivity = dcb.fDsrSensitivity;
    fields.fTXContinueOnXoff = dcb.fTXContinueOnXoff;
    fields.fOutX = dcb.fOutX;
    fields.fInX = dcb.fInX;
    fields.fErrorChar = dcb.fErrorChar;
    fields.fNull = dcb.fNull;
    fields.fRtsControl = dcb.fRtsControl;
    fields.fAbortOnError = dcb.fAbortOnError;
    fields.XonLim = dcb.XonLim;
    fields.XoffLim = dcb.XoffLim;
    fields.ByteSize = dcb.ByteSize;
    fields.Parity = dcb.Parity;
    fields.StopBits = dcb.StopBits;
    fields.XonChar = dcb.XonChar;
    fields.XoffChar = dcb.XoffChar;
    fields.ErrorChar = dcb.ErrorChar;
    fields.EofChar = dcb.EofChar;
    fields.EvtChar = dcb.EvtChar;
    return fields;
}

// Into the DCB the port gave, so that what DcbFields does not hold (the
// reserved words) stays as the driver had it.
void put_fields(const DcbFields& fields, DCB& dcb) {
    dcb.BaudRate = fields.BaudRate;
    dcb.fBinary = fields.fBinary;
    dcb.fParity = fields.fParity;
    dcb.fOutxCtsFlow = fields.fOutxCtsFlow;
    dcb.fOutxDsrFlow = fields.fOutxDsrFlow;
    dcb.fDtrControl = fields.fDtrControl;
    dcb.fDsrSensitivity = fields.fDsrSensitivity;
    dcb.fTXContinueOnXoff = fields.fTXContinueOnXoff;
    dcb.fOutX = fields.fOutX;
    dcb.fInX = fields.fInX;
    dcb.fErrorChar = fields.fErrorChar;
    dcb.fNull = fields.fNull;
    dcb.fRtsControl = fields.fRtsControl;
    dcb.fAbortOnError = fields.fAbortOnError;
    dcb.XonLim = fields.XonLim;
    dcb.XoffLim = fields.XoffLim;
    dcb.ByteSize = fields.ByteSize;
    dcb.Parity = fields.Parity;
    dcb.StopBits = fields.StopBits;
    dcb.XonChar = fields.XonChar;
    dcb.XoffChar = fields.XoffChar;
    dcb.ErrorChar = fields.ErrorChar;
    dcb.EofChar = fields.EofChar;
    dcb.EvtChar = fields.EvtChar;
}

bool slices_writes(const PortConnection& port) { return port.write_timeout_ms > 0 || port.wait_report_ms > 0; }

int write_slice_ms(const PortConnection& port) { return slices_writes(port) ? next_look_ms(port) : 0; }

bool configure_line(PortConnection& port, PortProfile profile) {
    const HANDLE h = handle_of(port);
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb)) return fail(port, port_not_serial, "not a serial port");
    const DcbFields wanted = dcb_for_upload(fields_of(dcb), profile);
    put_fields(wanted, dcb);
    if (!SetCommState(h, &dcb)) {
        return fail(port, port_other, "the port refused its settings (" + system_words(GetLastError()) + ")");
    }

    DCB taken;
    ZeroMemory(&taken, sizeof taken);
    taken.DCBlength = sizeof taken;
    if (!GetCommState(h, &taken)) return fail(port, port_not_serial, "not a serial port");
    const std::string refused = refused_setting(wanted, fields_of(taken));
    if (!refused.empty()) return fail(port, port_setting_refused, refused);

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

// What the driver still holds to send; -1 when it cannot tell.
long output_queued(HANDLE h) {
    DWORD errors = 0;
    COMSTAT status = {};
    return ClearCommError(h, &errors, &status) ? static_cast<long>(status.cbOutQue) : -1;
}

// A write or drain that gives up throws away what is queued.
PortWriteResult give_up(PortConnection& port, PortProblem problem, std::string detail) {
    discard_output(port);
    return fail_wait(port, problem, std::move(detail));
}

// Waits for the driver's output queue to empty, looking every few
// milliseconds. With a time limit, a queue that does not shrink for that
// long is a time-out.
PortWriteResult wait_for_empty_output(PortConnection& port) {
    const long long waiting_since = monotonic_ms();
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
        const long long now = monotonic_ms();
        look_at_queue(port, static_cast<long>(status.cbOutQue), now);
        if (held_too_long(port)) return give_up(port, port_timed_out, "");
        if (time_to_report(port, now - waiting_since)) return port_write_waiting;
        Sleep(20);
    }
}

}  // namespace

long long monotonic_ms() { return static_cast<long long>(GetTickCount64()); }

std::string settings_reset_command(const std::string& name) {
    const std::string com_name = name.compare(0, 4, "\\\\.\\") == 0 ? name.substr(4) : name;
    if (!is_com_port_name(com_name)) return "";
    return "mode " + com_name + ": odsr=off idsr=off octs=off";
}

bool local_port_open(PortConnection& port, const char* name, PortProfile profile) {
    port.handle = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);

    // Share mode 0: nobody else may use the port while we do.
    const HANDLE h = CreateFileW(utf16_from_utf8(device_path(name)).c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                 OPEN_EXISTING, 0, NULL);
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
    open_port = h;
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
    const long long waiting_since = sliced ? monotonic_ms() : 0;
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

        const long queued = output_queued(h);
        const long long now = monotonic_ms();
        // A wait that begins here began when this write did.
        if (port.still_since_ms < 0) look_at_queue(port, queued, waiting_since);
        look_at_queue(port, queued, now);
        if (held_too_long(port)) return give_up(port, port_timed_out, "");
        if (time_to_report(port, now - waiting_since)) return port_write_waiting;
    }
}

long local_port_output_queued(PortConnection& port) { return output_queued(handle_of(port)); }

PortReadResult local_port_read_byte(PortConnection& port) {
    const long long started = monotonic_ms();
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
    const long long waited = monotonic_ms() - started;
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
    open_port = INVALID_HANDLE_VALUE;
    CloseHandle(handle_of(port));
    port.handle = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);
}

// Windows releases a port with its handle when the process ends, but a
// driver may first send what is still queued: a cut-short file must not
// trickle out after we have gone.
void port_release_on_signal() {
    const HANDLE h = open_port;
    if (h != INVALID_HANDLE_VALUE) PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_RXCLEAR);
}
