#include "link/dcb.h"

namespace {

constexpr unsigned long upload_baud_rate = 1200;
constexpr char xon_char = 0x11;
constexpr char xoff_char = 0x13;
constexpr unsigned short flow_limit = 512;

}  // namespace

DcbFields dcb_for_upload(const DcbFields& port_has, PortProfile profile) {
    DcbFields dcb = port_has;
    dcb.BaudRate = upload_baud_rate;
    dcb.ByteSize = 8;
    dcb.Parity = 0;
    dcb.StopBits = 0;
    dcb.fBinary = true;
    // Left on by terminal programs, it would end the upload with "Write
    // Error!" at the first noise on a line that is fine.
    dcb.fAbortOnError = false;
    dcb.fOutxCtsFlow = false;
    // The device holds our output with XOFF and releases it with XON only in
    // the stream profile; in the block profile 0x11 and 0x13 are plain bytes
    // that the acknowledgement wait prints.
    dcb.fOutX = profile == stream_profile;
    dcb.XonChar = xon_char;
    dcb.XoffChar = xoff_char;
    // We never send XON/XOFF ourselves: the device may not expect them. The
    // limits and fTXContinueOnXoff matter only if we did; they get known
    // values all the same rather than whatever the port had.
    dcb.fInX = false;
    dcb.fTXContinueOnXoff = false;
    dcb.XonLim = flow_limit;
    dcb.XoffLim = flow_limit;
    return dcb;
}

std::string refused_setting(const DcbFields& wanted, const DcbFields& taken) {
    if (taken.BaudRate != wanted.BaudRate) return std::to_string(wanted.BaudRate) + " baud";
    if (taken.ByteSize != wanted.ByteSize) return "8 data bits";
    if (taken.Parity != wanted.Parity) return "no parity";
    if (taken.StopBits != wanted.StopBits) return "one stop bit";
    if (taken.fOutxCtsFlow) return "hardware flow control off";
    if (taken.fOutX != wanted.fOutX || taken.fInX) {
        return wanted.fOutX ? "XON/XOFF flow control on" : "XON/XOFF flow control off";
    }
    if (taken.XonChar != wanted.XonChar || taken.XoffChar != wanted.XoffChar) return "XON 0x11 and XOFF 0x13";
    if (taken.fAbortOnError) return "no abort on line errors";
    return "";
}
