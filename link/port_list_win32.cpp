// The serial ports of a Windows PC, for --list and usb: names.
//
// SetupAPI knows every present device of the Ports class with what
// identifies it: the COM name it was given (PortName, in the device's own
// registry key), the friendly name Device Manager shows, the manufacturer,
// the USB vendor and product in its hardware ids, and the serial number in
// the instance id of its USB device (the port itself or a parent). Ports
// whose drivers keep them out of that class (virtual port pairs, some
// modems) are only in HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, where every serial
// driver enters its ports: those are added with the device behind them.
//
// Wine's SetupAPI reads the registry's Enum tree and takes every device
// there for present, and it knows no device's parent: a serial number must
// be in the port's own instance id there.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, which they need.
#include <cfgmgr32.h>
#include <setupapi.h>

#include <algorithm>

#include "link/port.h"
#include "link/port_identity.h"
#include "link/wide_text_win32.h"

namespace {

// The Ports (COM & LPT) class: {4d36e978-e325-11ce-bfc1-08002be10318}.
const GUID ports_class = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// The longest text taken from the registry, in characters. Names and ids
// are far shorter; a value that is longer is left out rather than read.
constexpr DWORD longest_text = 2048;
// How far up the device tree a USB device is looked for: a port is its
// child or grandchild; the limit only guards against a broken tree.
constexpr int deepest_parent = 8;
// More ports than anyone has: a registry that claims more is broken.
constexpr DWORD most_ports = 4096;

// A buffer for registry text whose last two characters stay zero, so that
// what was read always ends, even as a multi-string.
std::vector<wchar_t> text_buffer() { return std::vector<wchar_t>(longest_text + 2, L'\0'); }
constexpr DWORD text_bytes = longest_text * sizeof(wchar_t);

// A device property: its one string, or each string of a multi-string;
// nothing when the device has none.
std::vector<std::string> device_property(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
    std::vector<wchar_t> buffer = text_buffer();
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(set, &device, property, &type, reinterpret_cast<BYTE*>(buffer.data()),
                                           text_bytes, nullptr)) {
        return {};
    }
    std::vector<std::string> strings;
    for (const wchar_t* text = buffer.data(); *text; text += wcslen(text) + 1) {
        strings.push_back(utf8_from_utf16(text));
        if (type != REG_MULTI_SZ) break;
    }
    return strings;
}

std::string first_property(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
    const std::vector<std::string> strings = device_property(set, device, property);
    return strings.empty() ? std::string() : strings.front();
}

// The name the port was given (COM7), from the device's own registry key.
std::string port_name_of(HDEVINFO set, SP_DEVINFO_DATA& device) {
    const HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE) return std::string();
    std::vector<wchar_t> buffer = text_buffer();
    DWORD type = 0;
    DWORD size = text_bytes;
    const LONG read = RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size);
    RegCloseKey(key);
    return read == ERROR_SUCCESS && type == REG_SZ ? utf8_from_utf16(buffer.data()) : std::string();
}

// The device's instance id and those of its parents, nearest first.
std::vector<std::string> instance_ids(HDEVINFO set, SP_DEVINFO_DATA& device) {
    std::vector<std::string> ids;
    std::vector<wchar_t> buffer = text_buffer();
    if (!SetupDiGetDeviceInstanceIdW(set, &device, buffer.data(), longest_text, nullptr)) return ids;
    ids.push_back(utf8_from_utf16(buffer.data()));
    DEVINST node = device.DevInst;
    for (int depth = 0; depth < deepest_parent; ++depth) {
        DEVINST parent = 0;
        if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) break;
        std::vector<wchar_t> parent_id = text_buffer();
        if (CM_Get_Device_IDW(parent, parent_id.data(), longest_text, 0) != CR_SUCCESS) break;
        ids.push_back(utf8_from_utf16(parent_id.data()));
        node = parent;
    }
    return ids;
}

// SERIALCOMM: each serial port's name (COM7, CNCA0) by the device behind
// it (\Device\VCP0).
std::vector<std::pair<std::string, std::string>> serial_comm_ports() {
    std::vector<std::pair<std::string, std::string>> ports;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return ports;
    }
    for (DWORD index = 0; index < most_ports; ++index) {
        std::vector<wchar_t> device = text_buffer();
        std::vector<wchar_t> name = text_buffer();
        DWORD device_length = longest_text;
        DWORD name_size = text_bytes;
        DWORD type = 0;
        const LONG read = RegEnumValueW(key, index, device.data(), &device_length, nullptr, &type,
                                        reinterpret_cast<BYTE*>(name.data()), &name_size);
        if (read == ERROR_MORE_DATA) continue;  // too long to be a port's
        if (read != ERROR_SUCCESS) break;
        if (type == REG_SZ && name[0]) {
            ports.emplace_back(utf8_from_utf16(name.data()), utf8_from_utf16(device.data()));
        }
    }
    RegCloseKey(key);
    return ports;
}

bool same_name(const std::string& a, const std::string& b) { return _stricmp(a.c_str(), b.c_str()) == 0; }

// The name as -p takes it: COMn as it is; any other (CNCA0) through the
// device namespace, as \\.\CNCA0.
std::string name_to_give(const std::string& name) { return is_com_port_name(name) ? name : "\\\\.\\" + name; }

}  // namespace

std::vector<SerialPortInfo> port_list(const std::string&) {
    const std::vector<std::pair<std::string, std::string>> registered = serial_comm_ports();
    const auto is_registered = [&](const std::string& name) {
        return std::any_of(registered.begin(), registered.end(),
                           [&](const std::pair<std::string, std::string>& port) { return same_name(port.first, name); });
    };
    std::vector<SerialPortInfo> ports;
    const auto listed = [&](const std::string& name) {
        return std::any_of(ports.begin(), ports.end(),
                           [&](const SerialPortInfo& port) { return same_name(port.name, name_to_give(name)); });
    };

    const HDEVINFO set = SetupDiGetClassDevsW(&ports_class, nullptr, nullptr, DIGCF_PRESENT);
    if (set != INVALID_HANDLE_VALUE) {
        SP_DEVINFO_DATA device;
        device.cbSize = sizeof device;
        for (DWORD index = 0; index < most_ports && SetupDiEnumDeviceInfo(set, index, &device); ++index) {
            const std::string name = port_name_of(set, device);
            // The class holds printer ports (LPT1) too.
            if (name.empty() || listed(name) || !(is_com_port_name(name) || is_registered(name))) continue;
            SerialPortInfo port;
            port.name = name_to_give(name);
            port.description = first_property(set, device, SPDRP_FRIENDLYNAME);
            if (port.description.empty()) port.description = first_property(set, device, SPDRP_DEVICEDESC);
            port.maker = first_property(set, device, SPDRP_MFG);
            port.usb = usb_identity_from_windows_ids(device_property(set, device, SPDRP_HARDWAREID),
                                                     instance_ids(set, device), port.identity);
            ports.push_back(port);
        }
        SetupDiDestroyDeviceInfoList(set);
    }
    for (const std::pair<std::string, std::string>& registered_port : registered) {
        if (listed(registered_port.first)) continue;
        SerialPortInfo port;
        port.name = name_to_give(registered_port.first);
        port.description = registered_port.second;
        ports.push_back(port);
    }
    std::sort(ports.begin(), ports.end(),
              [](const SerialPortInfo& a, const SerialPortInfo& b) { return natural_less(a.name, b.name); });
    return ports;
}
