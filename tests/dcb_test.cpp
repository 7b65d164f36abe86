// The Windows port settings an upload gives a port, from what another
// program left in it: Wine reads most of these fields back as 0, so the
// step is tested here, on every build, one hostile field at a time.
#include <gtest/gtest.h>

#include "link/dcb.h"

namespace {

constexpr unsigned dtr_control_handshake = 2;  // DTR_CONTROL_HANDSHAKE
constexpr unsigned rts_control_toggle = 3;     // RTS_CONTROL_TOGGLE
constexpr unsigned char even_parity = 2;       // EVENPARITY
constexpr unsigned char two_stop_bits = 2;     // TWOSTOPBITS

// A port as a terminal program might leave it, before the hostile field.
DcbFields plain_port() {
    DcbFields dcb;
    dcb.BaudRate = 9600;
    dcb.fBinary = true;
    dcb.fDtrControl = 1;  // DTR_CONTROL_ENABLE
    dcb.fRtsControl = 1;  // RTS_CONTROL_ENABLE
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = 8;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

struct FieldCase {
    const char* name;
    void (*leave)(DcbFields&);  // what the other program left
    bool kept;                  // the upload keeps it; otherwise it gives its own value
};

void PrintTo(const FieldCase& c, std::ostream* out) { *out << c.name; }

bool same(const DcbFields& a, const DcbFields& b) {
    return a.BaudRate == b.BaudRate && a.fBinary == b.fBinary && a.fParity == b.fParity &&
           a.fOutxCtsFlow == b.fOutxCtsFlow && a.fOutxDsrFlow == b.fOutxDsrFlow && a.fDtrControl == b.fDtrControl &&
           a.fDsrSensitivity == b.fDsrSensitivity && a.fTXContinueOnXoff == b.fTXContinueOnXoff &&
           a.fOutX == b.fOutX && a.fInX == b.fInX && a.fErrorChar == b.fErrorChar && a.fNull == b.fNull &&
           a.fRtsControl == b.fRtsControl && a.fAbortOnError == b.fAbortOnError && a.XonLim == b.XonLim &&
           a.XoffLim == b.XoffLim && a.ByteSize == b.ByteSize && a.Parity == b.Parity && a.StopBits == b.StopBits &&
           a.XonChar == b.XonChar && a.XoffChar == b.XoffChar && a.ErrorChar == b.ErrorChar &&
           a.EofChar == b.EofChar && a.EvtChar == b.EvtChar;
}

// What the upload gives the plain port: every field but these as it was.
DcbFields upload_settings_of_plain_port(bool stream) {
    DcbFields dcb = plain_port();
    dcb.BaudRate = 1200;
    dcb.fOutX = stream;
    dcb.XonLim = 512;
    return dcb;
}

class DcbStep : public ::testing::TestWithParam<std::tuple<FieldCase, bool>> {};

TEST_P(DcbStep, ChangesWhatNoUploadSurvivesAndKeepsWhatUsersSetOnPurpose) {
    const FieldCase& c = std::get<0>(GetParam());
    const bool stream = std::get<1>(GetParam());
    DcbFields left = plain_port();
    c.leave(left);

    DcbFields expected = upload_settings_of_plain_port(stream);
    if (c.kept) c.leave(expected);
    const DcbFields given = dcb_for_upload(left, stream ? stream_profile : block_profile);
    EXPECT_TRUE(same(given, expected)) << c.name;
    // Whatever was left, the port takes what it was given: nothing refused.
    EXPECT_EQ(refused_setting(given, given), "") << c.name;
}

constexpr bool kept = true;
constexpr bool changed = false;

INSTANTIATE_TEST_SUITE_P(
    OneHostileField, DcbStep,
    ::testing::Combine(
        ::testing::Values(
            // Changed: the line, the flow control, and what no upload survives.
            FieldCase{"abort_on_error", [](DcbFields& d) { d.fAbortOnError = true; }, changed},
            FieldCase{"not_binary", [](DcbFields& d) { d.fBinary = false; }, changed},
            FieldCase{"speed_and_framing",
                      [](DcbFields& d) {
                          d.BaudRate = 115200;
                          d.ByteSize = 7;
                          d.Parity = even_parity;
                          d.StopBits = two_stop_bits;
                      },
                      changed},
            FieldCase{"cts_handshake", [](DcbFields& d) { d.fOutxCtsFlow = true; }, changed},
            FieldCase{"xon_xoff_both_ways",
                      [](DcbFields& d) {
                          d.fOutX = true;
                          d.fInX = true;
                      },
                      changed},
            FieldCase{"tx_continue_on_xoff", [](DcbFields& d) { d.fTXContinueOnXoff = true; }, changed},
            FieldCase{"other_xon_xoff_characters",
                      [](DcbFields& d) {
                          d.XonChar = 0x01;
                          d.XoffChar = 0x02;
                      },
                      changed},
            FieldCase{"other_flow_limits",
                      [](DcbFields& d) {
                          d.XonLim = 10;
                          d.XoffLim = 4000;
                      },
                      changed},
            // Kept: what users set on purpose with mode, and what cannot
            // hurt the upload.
            FieldCase{"dsr_handshake", [](DcbFields& d) { d.fOutxDsrFlow = true; }, kept},
            FieldCase{"dsr_sensitivity", [](DcbFields& d) { d.fDsrSensitivity = true; }, kept},
            FieldCase{"dtr_handshake", [](DcbFields& d) { d.fDtrControl = dtr_control_handshake; }, kept},
            FieldCase{"rts_toggle", [](DcbFields& d) { d.fRtsControl = rts_control_toggle; }, kept},
            FieldCase{"parity_check", [](DcbFields& d) { d.fParity = true; }, kept},
            FieldCase{"error_character",
                      [](DcbFields& d) {
                          d.fErrorChar = true;
                          d.ErrorChar = '?';
                      },
                      kept},
            FieldCase{"null_discarded", [](DcbFields& d) { d.fNull = true; }, kept},
            FieldCase{"eof_and_event_characters",
                      [](DcbFields& d) {
                          d.EofChar = 0x1A;
                          d.EvtChar = 0x0D;
                      },
                      kept}),
        ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "_stream" : "_block");
    });

// The read-back: a port that did not take one of our settings is named by it.
TEST(DcbReadBack, NamesTheFirstSettingThePortDidNotTake) {
    const DcbFields wanted = dcb_for_upload(plain_port(), stream_profile);
    struct Case {
        void (*change)(DcbFields&);
        const char* refused;
    };
    const Case cases[] = {
        {[](DcbFields&) {}, ""},
        {[](DcbFields& d) { d.BaudRate = 9600; }, "1200 baud"},
        {[](DcbFields& d) { d.ByteSize = 7; }, "8 data bits"},
        {[](DcbFields& d) { d.Parity = even_parity; }, "no parity"},
        {[](DcbFields& d) { d.StopBits = two_stop_bits; }, "one stop bit"},
        {[](DcbFields& d) { d.fOutxCtsFlow = true; }, "hardware flow control off"},
        {[](DcbFields& d) { d.fOutX = false; }, "XON/XOFF flow control on"},
        {[](DcbFields& d) { d.fInX = true; }, "XON/XOFF flow control on"},
        {[](DcbFields& d) { d.XoffChar = 0x01; }, "XON 0x11 and XOFF 0x13"},
        {[](DcbFields& d) { d.fAbortOnError = true; }, "no abort on line errors"},
        // Wine reads these back as 0; nothing of ours depends on them.
        {[](DcbFields& d) { d.fBinary = false; }, ""},
        {[](DcbFields& d) { d.fDtrControl = 0; }, ""},
    };
    for (const Case& c : cases) {
        DcbFields taken = wanted;
        c.change(taken);
        EXPECT_EQ(refused_setting(wanted, taken), c.refused);
    }
    DcbFields block_taken = dcb_for_upload(plain_port(), block_profile);
    block_taken.fOutX = true;
    EXPECT_EQ(refused_setting(dcb_for_upload(plain_port(), block_profile), block_taken), "XON/XOFF flow control off");
}

}  // namespace
