// The serial ports of a POSIX machine, for --list and usb: names.
//
// Linux describes every tty in /sys/class/tty. Only those backed by a device
// are serial ports (the others are consoles and pseudo-terminals), and of the
// 8250 ports only those where a UART was found (the kernel registers a few
// legacy ttyS names whether or not there is one). For a USB adapter we add
// what identifies it: vendor and product, serial number, and the stable
// /dev/serial/by-id name that survives replugging. Other POSIX systems have
// no /sys: there we list the device names their serial drivers use.
#include "link/port.h"
#include "link/port_identity.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>

namespace {

bool exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

std::string real_path(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

std::string base_name(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string parent_of(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

// The first line of a sysfs attribute, or "" when there is none.
std::string attribute(const std::string& path) {
    std::ifstream file(path);
    std::string value;
    std::getline(file, value);
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back()))) value.pop_back();
    return value;
}

std::vector<std::string> entries(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
    }
    return names;
}

// The USB device a tty hangs off, if any: the nearest folder up the device
// tree that has a vendor id.
std::string usb_device_of(const std::string& device, const std::string& devices_root) {
    for (std::string folder = device; folder.size() > devices_root.size(); folder = parent_of(folder)) {
        if (exists(folder + "/idVendor")) return folder;
    }
    return std::string();
}

// The driver that serves the port. Newer kernels put a generic serial
// core device ("port", "ctrl") between the tty and its hardware: look past it.
std::string driver_of(const std::string& device, const std::string& devices_root) {
    for (std::string folder = device; folder.size() > devices_root.size(); folder = parent_of(folder)) {
        if (base_name(real_path(folder + "/subsystem")) == "serial-base") continue;
        return base_name(real_path(folder + "/driver"));
    }
    return std::string();
}

std::string by_id_name(const std::string& root, const std::string& device_node) {
    const std::string folder = root + "/dev/serial/by-id";
    const std::string target = real_path(device_node);
    for (const std::string& name : entries(folder)) {
        if (!target.empty() && real_path(folder + "/" + name) == target) return "/dev/serial/by-id/" + name;
    }
    return std::string();
}

SerialPortInfo describe_linux_tty(const std::string& root, const std::string& name) {
    SerialPortInfo port;
    port.name = "/dev/" + name;
    const std::string device = real_path(root + "/sys/class/tty/" + name + "/device");
    const std::string devices_root = real_path(root + "/sys/devices");
    port.description = driver_of(device, devices_root);
    const std::string usb = usb_device_of(device, devices_root);
    if (!usb.empty()) {
        port.usb = true;
        // sysfs writes vendor and product as four lower-case hex digits.
        port.identity.vendor = attribute(usb + "/idVendor");
        port.identity.product = attribute(usb + "/idProduct");
        port.identity.serial = attribute(usb + "/serial");
        port.maker = attribute(usb + "/manufacturer");
        const std::string model = attribute(usb + "/product");
        if (!model.empty()) port.maker += (port.maker.empty() ? "" : " ") + model;
    }
    port.stable_name = by_id_name(root, root + port.name);
    return port;
}

bool is_serial_tty(const std::string& root, const std::string& name) {
    const std::string tty = root + "/sys/class/tty/" + name;
    if (!exists(tty + "/device")) return false;  // consoles, virtual terminals, pseudo-terminals
    // A serial core port with type 0 has no UART behind it.
    if (exists(tty + "/type") && attribute(tty + "/type") == "0") return false;
    return exists(root + "/dev/" + name);
}

bool has_serial_prefix(const std::string& name) {
    for (const char* prefix : {"cu.", "cuaU", "cuau", "ttyU", "ttyu"}) {
        if (name.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

}  // namespace

std::vector<SerialPortInfo> port_list(const std::string& system_root) {
    const std::string root = system_root == "/" ? std::string() : system_root;
    std::vector<std::string> names;
    const bool linux_sysfs = exists(root + "/sys/class/tty");
    for (const std::string& name : entries(linux_sysfs ? root + "/sys/class/tty" : root + "/dev")) {
        if (linux_sysfs ? is_serial_tty(root, name) : has_serial_prefix(name)) names.push_back(name);
    }
    std::sort(names.begin(), names.end(), natural_less);
    std::vector<SerialPortInfo> ports;
    for (const std::string& name : names) {
        if (linux_sysfs) {
            ports.push_back(describe_linux_tty(root, name));
        } else {
            SerialPortInfo port;
            port.name = "/dev/" + name;
            ports.push_back(port);
        }
    }
    return ports;
}
