// The step from the settings a Windows port has to the settings an upload
// gives it, apart from the Win32 types so that it is tested on every build.
//
// Windows keeps a port's DCB from one program to the next. Speed, framing
// and flow control are ours to set. Two more fields are set because no
// upload can live with what another program may leave: fAbortOnError (one
// framing or overrun error would fail every later write and read until
// ClearCommError) and fBinary (Windows supports nothing else). The DSR
// handshake and the DTR/RTS lines are kept as they are, because users set
// them on purpose with `mode COMn: odsr=... idsr=... dtr=... rts=...`;
// every other field is kept too.
#pragma once

#include <string>

#include "link/port.h"

// The fields of a DCB, named as there; the 2-bit line controls hold the
// DTR_CONTROL_* and RTS_CONTROL_* values.
struct DcbFields {
    unsigned long BaudRate = 0;
    bool fBinary = false;
    bool fParity = false;
    bool fOutxCtsFlow = false;
    bool fOutxDsrFlow = false;
    unsigned fDtrControl = 0;
    bool fDsrSensitivity = false;
    bool fTXContinueOnXoff = false;
    bool fOutX = false;
    bool fInX = false;
    bool fErrorChar = false;
    bool fNull = false;
    unsigned fRtsControl = 0;
    bool fAbortOnError = false;
    unsigned short XonLim = 0;
    unsigned short XoffLim = 0;
    unsigned char ByteSize = 0;
    unsigned char Parity = 0;    // NOPARITY is 0
    unsigned char StopBits = 0;  // ONESTOPBIT is 0
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
};

// What to give the port: `port_has` with 1200 8N1, the profile's flow
// control, and no abort on errors.
DcbFields dcb_for_upload(const DcbFields& port_has, PortProfile profile);

// The first setting of ours that `taken` (read back after setting `wanted`)
// lacks, as the open failure names it; empty when the port took them all.
std::string refused_setting(const DcbFields& wanted, const DcbFields& taken);
