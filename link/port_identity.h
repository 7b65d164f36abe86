// Ports named by what they are rather than where they are plugged in: the
// "usb:VID:PID[:SERIAL]" names, which ports they match, and where Windows
// keeps a USB adapter's identity in its device ids. Nothing here touches
// the system: the port lists of both platforms and the tests share it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "link/port.h"

// "usb:" in any letter case starts the name.
bool is_usb_port_name(const std::string& name);

// Reads "usb:VID:PID" or "usb:VID:PID:SERIAL", VID and PID 1 to 4
// hexadecimal digits in any letter case. False when the name is not of
// that form.
bool parse_usb_port_name(const std::string& name, UsbIdentity& identity);

// The name -p takes for an adapter: "usb:0403:6001:A12345", or without the
// serial number when it has none.
std::string usb_port_name(const UsbIdentity& identity);

// The indexes of the ports whose adapter has the wanted vendor and product
// and, when one is wanted, serial number. Serial numbers are compared
// without regard to letter case: Windows keeps them in upper case in its
// device ids.
std::vector<std::size_t> matching_ports(const UsbIdentity& wanted, const std::vector<SerialPortInfo>& ports);

// Windows: a port's identity from its hardware ids ("USB\VID_0403&PID_6001&REV_0600",
// "FTDIBUS\COMPORT&VID_0403&PID_6001") and the device instance ids of the
// port and its parents, nearest first. The serial number is the last part
// of the first USB device's instance id ("USB\VID_0403&PID_6001\A12345"),
// unless Windows made that up for a device without one (it then holds '&').
// False when nothing says USB vendor and product.
bool usb_identity_from_windows_ids(const std::vector<std::string>& hardware_ids,
                                   const std::vector<std::string>& instance_ids, UsbIdentity& identity);

// Windows: "COM" and a number, in any letter case.
bool is_com_port_name(const std::string& name);

// Port names in a person's order: ttyS2 before ttyS10, COM2 before COM10.
bool natural_less(const std::string& a, const std::string& b);
