#include "link/port_identity.h"

#include <cctype>

namespace {

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool same_ignoring_case(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

bool starts_with_ignoring_case(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && same_ignoring_case(text.substr(0, prefix.size()), prefix);
}

bool contains_ignoring_case(const std::string& text, const std::string& part) {
    for (std::size_t at = 0; at + part.size() <= text.size(); ++at) {
        if (same_ignoring_case(text.substr(at, part.size()), part)) return true;
    }
    return false;
}

bool is_hex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// 1 to 4 hexadecimal digits as four lower-case ones ("403" is "0403").
bool read_hex16(const std::string& text, std::string& value) {
    if (text.empty() || text.size() > 4) return false;
    value.assign(4 - text.size(), '0');
    for (char c : text) {
        if (!is_hex(c)) return false;
        value += lower(c);
    }
    return true;
}

// The four hexadecimal digits after `key` ("VID_") in a Windows device id,
// in lower case; empty when they are not there.
std::string hex_after(const std::string& id, const std::string& key) {
    for (std::size_t at = 0; at + key.size() + 4 <= id.size(); ++at) {
        if (!same_ignoring_case(id.substr(at, key.size()), key)) continue;
        std::string value;
        if (read_hex16(id.substr(at + key.size(), 4), value)) return value;
    }
    return std::string();
}

}  // namespace

bool is_usb_port_name(const std::string& name) { return starts_with_ignoring_case(name, "usb:"); }

bool parse_usb_port_name(const std::string& name, UsbIdentity& identity) {
    if (!is_usb_port_name(name)) return false;
    const std::string fields = name.substr(4);
    const std::size_t vendor_end = fields.find(':');
    if (vendor_end == std::string::npos) return false;
    const std::size_t product_end = fields.find(':', vendor_end + 1);
    UsbIdentity read;
    if (!read_hex16(fields.substr(0, vendor_end), read.vendor)) return false;
    const std::size_t product_length =
        product_end == std::string::npos ? std::string::npos : product_end - vendor_end - 1;
    if (!read_hex16(fields.substr(vendor_end + 1, product_length), read.product)) return false;
    if (product_end != std::string::npos) {
        // Whatever follows, colons and all, is the serial number.
        read.serial = fields.substr(product_end + 1);
        if (read.serial.empty()) return false;
    }
    identity = read;
    return true;
}

std::string usb_port_name(const UsbIdentity& identity) {
    std::string name = "usb:" + identity.vendor + ":" + identity.product;
    if (!identity.serial.empty()) name += ":" + identity.serial;
    return name;
}

std::vector<std::size_t> matching_ports(const UsbIdentity& wanted, const std::vector<SerialPortInfo>& ports) {
    std::vector<std::size_t> matches;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const SerialPortInfo& port = ports[i];
        if (!port.usb || port.identity.vendor != wanted.vendor || port.identity.product != wanted.product) continue;
        if (!wanted.serial.empty() && !same_ignoring_case(port.identity.serial, wanted.serial)) continue;
        matches.push_back(i);
    }
    return matches;
}

bool usb_identity_from_windows_ids(const std::vector<std::string>& hardware_ids,
                                   const std::vector<std::string>& instance_ids, UsbIdentity& identity) {
    UsbIdentity found;
    for (const std::vector<std::string>* ids : {&hardware_ids, &instance_ids}) {
        for (const std::string& id : *ids) {
            found.vendor = hex_after(id, "VID_");
            found.product = hex_after(id, "PID_");
            if (!found.vendor.empty() && !found.product.empty()) break;
        }
        if (!found.vendor.empty() && !found.product.empty()) break;
    }
    if (found.vendor.empty() || found.product.empty()) return false;

    for (const std::string& id : instance_ids) {
        // USB\VID_0403&PID_6001\A12345: enumerator, device, instance.
        if (!starts_with_ignoring_case(id, "USB\\")) continue;
        const std::size_t device_end = id.find('\\', 4);
        if (device_end == std::string::npos) continue;
        // An interface of a composite device (USB\VID_2341&PID_0043&MI_00\...):
        // its parent, the device itself, has the serial number.
        if (contains_ignoring_case(id.substr(4, device_end - 4), "&MI_")) continue;
        const std::string instance = id.substr(device_end + 1);
        if (instance.find('&') == std::string::npos) found.serial = instance;
        break;
    }
    identity = found;
    return true;
}

bool is_com_port_name(const std::string& name) {
    if (name.size() < 4 || !starts_with_ignoring_case(name, "COM")) return false;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return false;
    }
    return true;
}

bool natural_less(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            std::size_t i_end = i, j_end = j;
            while (i_end < a.size() && std::isdigit(static_cast<unsigned char>(a[i_end]))) ++i_end;
            while (j_end < b.size() && std::isdigit(static_cast<unsigned char>(b[j_end]))) ++j_end;
            const std::string x = a.substr(i, i_end - i), y = b.substr(j, j_end - j);
            if (x.size() != y.size()) return x.size() < y.size();
            if (x != y) return x < y;
            i = i_end;
            j = j_end;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}
