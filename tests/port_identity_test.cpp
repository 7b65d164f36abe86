// Ports named by their USB identity: the usb: names, which ports they
// match, where Windows keeps the identity in its device ids, and the
// --list line that shows it.
#include <gtest/gtest.h>

#include "cli/messages.h"
#include "link/port_identity.h"

namespace {

// ------------------------------------------------------------- usb: names

struct NameCase {
    const char* name;
    const char* text;
    bool valid;
    UsbIdentity identity;
};

void PrintTo(const NameCase& c, std::ostream* out) { *out << c.name; }

class UsbName : public ::testing::TestWithParam<NameCase> {};

TEST_P(UsbName, IsReadIntoVendorProductAndSerialOrRefused) {
    const NameCase& c = GetParam();
    UsbIdentity identity{"unset", "unset", "unset"};
    EXPECT_EQ(parse_usb_port_name(c.text, identity), c.valid);
    if (!c.valid) {
        EXPECT_EQ(identity.vendor, "unset") << "a refused name must leave the identity alone";
        return;
    }
    EXPECT_EQ(identity.vendor, c.identity.vendor);
    EXPECT_EQ(identity.product, c.identity.product);
    EXPECT_EQ(identity.serial, c.identity.serial);
}

INSTANTIATE_TEST_SUITE_P(
    Table, UsbName,
    ::testing::Values(NameCase{"vendor_and_product", "usb:0403:6001", true, {"0403", "6001", ""}},
                      NameCase{"with_serial", "usb:0403:6001:A12345", true, {"0403", "6001", "A12345"}},
                      NameCase{"any_letter_case", "USB:10C4:Ea60:ab12", true, {"10c4", "ea60", "ab12"}},
                      NameCase{"fewer_digits", "usb:403:1:X", true, {"0403", "0001", "X"}},
                      NameCase{"serial_with_colons", "usb:0403:6001:A:B", true, {"0403", "6001", "A:B"}},
                      NameCase{"empty_serial", "usb:0403:6001:", false, {}},
                      NameCase{"no_product", "usb:0403", false, {}},
                      NameCase{"empty_vendor", "usb::6001", false, {}},
                      NameCase{"five_digits", "usb:0403:60011", false, {}},
                      NameCase{"not_hex", "usb:04g3:6001", false, {}},
                      NameCase{"nothing_after_the_prefix", "usb:", false, {}},
                      NameCase{"a_port_name", "COM7", false, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UsbName, IsWrittenAsTheOptionTakesIt) {
    EXPECT_EQ(usb_port_name({"0403", "6001", "A12345"}), "usb:0403:6001:A12345");
    EXPECT_EQ(usb_port_name({"1a86", "7523", ""}), "usb:1a86:7523");
    EXPECT_TRUE(is_usb_port_name("USB:1"));
    EXPECT_FALSE(is_usb_port_name("/dev/usb:0403:6001"));
}

// ---------------------------------------------------------------- matching

SerialPortInfo usb_port(const char* name, UsbIdentity identity) {
    SerialPortInfo port;
    port.name = name;
    port.usb = true;
    port.identity = identity;
    return port;
}

struct MatchCase {
    const char* name;
    UsbIdentity wanted;
    std::vector<std::size_t> matches;
};

void PrintTo(const MatchCase& c, std::ostream* out) { *out << c.name; }

class UsbMatch : public ::testing::TestWithParam<MatchCase> {};

TEST_P(UsbMatch, FindsThePortsWhoseAdapterHasTheIdentity) {
    SerialPortInfo uart;
    uart.name = "COM1";
    const std::vector<SerialPortInfo> ports = {
        uart,
        usb_port("COM3", {"1a86", "7523", ""}),
        usb_port("COM7", {"0403", "6001", "A12345"}),
        usb_port("COM12", {"0403", "6001", "B67890"}),
    };
    EXPECT_EQ(matching_ports(GetParam().wanted, ports), GetParam().matches);
}

INSTANTIATE_TEST_SUITE_P(Table, UsbMatch,
                         ::testing::Values(MatchCase{"one", {"1a86", "7523", ""}, {1}},
                                           MatchCase{"two_alike", {"0403", "6001", ""}, {2, 3}},
                                           MatchCase{"serial_chooses", {"0403", "6001", "B67890"}, {3}},
                                           MatchCase{"serial_in_other_case", {"0403", "6001", "a12345"}, {2}},
                                           MatchCase{"serial_wanted_but_none", {"1a86", "7523", "1"}, {}},
                                           MatchCase{"unknown_serial", {"0403", "6001", "C1"}, {}},
                                           MatchCase{"other_product", {"0403", "6015", ""}, {}}),
                         [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------- Windows device ids

struct WindowsIdsCase {
    const char* name;
    std::vector<std::string> hardware_ids;
    std::vector<std::string> instance_ids;  // the port's, then its parents'
    bool usb;
    UsbIdentity identity;
};

void PrintTo(const WindowsIdsCase& c, std::ostream* out) { *out << c.name; }

class WindowsIds : public ::testing::TestWithParam<WindowsIdsCase> {};

TEST_P(WindowsIds, GiveTheAdaptersIdentity) {
    const WindowsIdsCase& c = GetParam();
    UsbIdentity identity;
    ASSERT_EQ(usb_identity_from_windows_ids(c.hardware_ids, c.instance_ids, identity), c.usb);
    if (!c.usb) return;
    EXPECT_EQ(identity.vendor, c.identity.vendor);
    EXPECT_EQ(identity.product, c.identity.product);
    EXPECT_EQ(identity.serial, c.identity.serial);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WindowsIds,
    ::testing::Values(
        // Windows' own USB serial driver (usbser.sys) on a single-function device.
        WindowsIdsCase{"usbser_device",
                       {"USB\\VID_2341&PID_0043&REV_0001", "USB\\VID_2341&PID_0043"},
                       {"USB\\VID_2341&PID_0043\\85736323838351F0E1C1", "USB\\ROOT_HUB30\\4&2F4A3D2&0&0"},
                       true,
                       {"2341", "0043", "85736323838351F0E1C1"}},
        // FTDI's own driver: the port is a child of the USB device, and its
        // instance id carries the serial with a letter for the interface.
        WindowsIdsCase{"ftdi_bus_child",
                       {"FTDIBUS\\COMPORT&VID_0403&PID_6001"},
                       {"FTDIBUS\\VID_0403+PID_6001+A12345A\\0000", "USB\\VID_0403&PID_6001\\A12345"},
                       true,
                       {"0403", "6001", "A12345"}},
        // The same where the parent is not known (Wine): no serial rather
        // than a wrong one.
        WindowsIdsCase{"ftdi_bus_child_without_parent",
                       {"FTDIBUS\\COMPORT&VID_0403&PID_6001"},
                       {"FTDIBUS\\VID_0403+PID_6001+A12345A\\0000"},
                       true,
                       {"0403", "6001", ""}},
        // One interface of a composite device: the device above has the serial.
        WindowsIdsCase{"composite_interface",
                       {"USB\\VID_2E8A&PID_000A&REV_0100&MI_00", "USB\\VID_2E8A&PID_000A&MI_00"},
                       {"USB\\VID_2E8A&PID_000A&MI_00\\6&2C7D3A3E&0&0000", "USB\\VID_2E8A&PID_000A\\E660C0D1C7351B2E"},
                       true,
                       {"2e8a", "000a", "E660C0D1C7351B2E"}},
        // No serial number: Windows makes up an instance id with '&'.
        WindowsIdsCase{"no_serial",
                       {"USB\\VID_1A86&PID_7523&REV_0264"},
                       {"USB\\VID_1A86&PID_7523\\5&2D2A1B3C&0&2"},
                       true,
                       {"1a86", "7523", ""}},
        WindowsIdsCase{"lower_case_hex", {"USB\\VID_10c4&PID_ea60"}, {"USB\\VID_10c4&PID_ea60\\0001"}, true,
                       {"10c4", "ea60", "0001"}},
        WindowsIdsCase{"uart", {"ACPI\\PNP0501", "*PNP0501"}, {"ACPI\\PNP0501\\1"}, false, {}},
        // Bluetooth writes VID& and PID&, and is no USB adapter.
        WindowsIdsCase{"bluetooth",
                       {"BTHENUM\\{00001101-0000-1000-8000-00805f9b34fb}_VID&0001005d_PID&223b"},
                       {"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002\\7&1A2B3C4D&0&000000000000_00000000"},
                       false,
                       {}}),
    [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------------------- names

TEST(PortNames, ComNamesAndAPersonsOrder) {
    for (const char* name : {"COM1", "com12", "Com7"}) EXPECT_TRUE(is_com_port_name(name)) << name;
    for (const char* name : {"COM", "COMx", "COM1a", "\\\\.\\COM1", "LPT1", "CNCA0"}) {
        EXPECT_FALSE(is_com_port_name(name)) << name;
    }
    EXPECT_TRUE(natural_less("COM2", "COM10"));
    EXPECT_FALSE(natural_less("COM10", "COM2"));
    EXPECT_TRUE(natural_less("/dev/ttyS2", "/dev/ttyS10"));
    EXPECT_TRUE(natural_less("/dev/ttyS1", "/dev/ttyUSB0"));
    EXPECT_TRUE(natural_less("COM12", "\\\\.\\CNCA0"));
    EXPECT_FALSE(natural_less("COM1", "COM1"));
}

// ----------------------------------------------------------- --list lines

TEST(PortListLine, ShowsWhatIsKnownAndTheIdentityAsTheOptionTakesIt) {
    SerialPortInfo windows_adapter = usb_port("COM7", {"0403", "6001", "A12345"});
    windows_adapter.description = "USB Serial Port (COM7)";
    windows_adapter.maker = "FTDI";
    EXPECT_EQ(port_list_line(windows_adapter), "COM7: USB Serial Port (COM7), usb:0403:6001:A12345 (FTDI)");

    SerialPortInfo no_serial = usb_port("COM3", {"1a86", "7523", ""});
    no_serial.description = "USB-SERIAL CH340 (COM3)";
    EXPECT_EQ(port_list_line(no_serial), "COM3: USB-SERIAL CH340 (COM3), usb:1a86:7523");

    SerialPortInfo virtual_port;
    virtual_port.name = "\\\\.\\CNCA0";
    virtual_port.description = "\\Device\\com0com10";
    virtual_port.maker = "not shown without an identity";
    EXPECT_EQ(port_list_line(virtual_port), "\\\\.\\CNCA0: \\Device\\com0com10");

    SerialPortInfo bare;
    bare.name = "/dev/cuaU0";
    EXPECT_EQ(port_list_line(bare), "/dev/cuaU0");
}

}  // namespace
