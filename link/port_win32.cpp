// Win32 backend of the serial port: COM6 through the comm API.
//
// A Windows port is always a binary line: no echo, no line editing, no
// newline translation. Only speed, framing, flow control and time-outs need
// setting; every other DCB field keeps the value the port had.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "link/port.h"

namespace {

constexpr char xon_char = 0x11;
constexpr char xoff_char = 0x13;
constexpr DWORD read_timeout_ms = 1000;

HANDLE handle_of(const PortConnection& port) { return reinterpret_cast<HANDLE>(port.handle); }

void configure_line(HANDLE h, PortProfile profile) {
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    dcb.BaudRate = CBR_1200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = FALSE;
    // The device holds our output with XOFF and releases it with XON only in
    // the stream profile; in the block profile 0x11 and 0x13 are plain bytes
    // that the acknowledgement wait prints.
    dcb.fOutX = profile == stream_profile ? TRUE : FALSE;
    dcb.XonChar = xon_char;
    dcb.XoffChar = xoff_char;
    // We never send XON/XOFF ourselves: the device may not expect them. The
    // limits and fTXContinueOnXoff matter only if we did; they get known
    // values all the same rather than whatever the port had.
    dcb.fInX = FALSE;
    dcb.fTXContinueOnXoff = FALSE;
    dcb.XonLim = 512;
    dcb.XoffLim = 512;
    // A setting the port refuses leaves the port as it is.
    SetCommState(h, &dcb);

    COMMTIMEOUTS timeouts;
    ZeroMemory(&timeouts, sizeof timeouts);
    GetCommTimeouts(h, &timeouts);
    // A read returns at the first byte or after one second without one.
    timeouts.ReadIntervalTimeout = read_timeout_ms;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = read_timeout_ms;
    // Writes never time out: a held line simply makes us wait.
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    SetCommTimeouts(h, &timeouts);
}

}  // namespace

PortConnection port_open(PortProfile profile) {
    // Share mode 0: nobody else may use the port while we do.
    HANDLE h = CreateFileA("COM6", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        std::fputs("Open Error!\n", stderr);
        std::exit(1);
    }
    configure_line(h, profile);

    PortConnection port{};
    port.handle = reinterpret_cast<std::intptr_t>(h);
    return port;
}

bool port_write_byte(PortConnection& port, unsigned char value) {
    port.transfer_buffer = value;
    DWORD written = 0;
    const BOOL ok = WriteFile(handle_of(port), &port.transfer_buffer, 1, &written, NULL);
    port.transfer_count = written;
    return ok && written == 1;
}

PortReadResult port_read_byte(PortConnection& port) {
    const ULONGLONG started = GetTickCount64();
    DWORD received = 0;
    const BOOL ok = ReadFile(handle_of(port), &port.transfer_buffer, 1, &received, NULL);
    port.transfer_count = received;
    if (!ok) return port_read_failed;
    if (received == 1) return port_read_done;
    // No byte: a quiet second, or a device that has gone. A vanished device
    // can look like a read that succeeds with nothing, at once or after the
    // time-out, every time; but then the port's status can no longer be
    // read, while a quiet port always reports it.
    DWORD errors = 0;
    COMSTAT status = {};
    if (!ClearCommError(handle_of(port), &errors, &status)) return port_read_failed;
    // A live port that gave up early all the same must not make the caller
    // spin: the attempt takes its second, as a quiet line's does.
    const ULONGLONG waited = GetTickCount64() - started;
    if (waited < read_timeout_ms / 2) Sleep(static_cast<DWORD>(read_timeout_ms - waited));
    return port_read_done;
}

void port_purge_input(PortConnection& port) { PurgeComm(handle_of(port), PURGE_RXCLEAR); }

bool port_drain_output(PortConnection& port) { return FlushFileBuffers(handle_of(port)) != FALSE; }
