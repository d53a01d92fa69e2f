#include "tty_discovery.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* const kKinds[] = {"ttyUSB", "ttyACM", "ttyS", "ttyAMA"};
constexpr int kKindCount = 4;

struct Entry {
    int kind;
    unsigned long long number;
    std::string name;
};

// "ttyUSB12" is kind 0, number 12; anything else is no serial port of ours.
bool Parse(const std::string& name, Entry* entry) {
    for (int kind = 0; kind < kKindCount; ++kind) {
        const std::size_t prefix = std::strlen(kKinds[kind]);
        if (name.size() > prefix && name.compare(0, prefix, kKinds[kind]) == 0 &&
            name.find_first_not_of("0123456789", prefix) == std::string::npos) {
            *entry = {kind, std::strtoull(name.c_str() + prefix, nullptr, 10), name};
            return true;
        }
    }
    return false;
}

bool IsUsbAdapter(const std::string& name) {
    return name.compare(0, 6, "ttyUSB") == 0 || name.compare(0, 6, "ttyACM") == 0;
}

bool IsCharacterDevice(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode);
}

}  // namespace

// Most PCs have ttyS0 to ttyS31 whether or not a UART is behind them; the
// serial core says which in each port's "type" (0: no UART). A port whose
// driver keeps no such account, or a system without /sys, says nothing
// against it: it is listed, and opening it tells.
bool KernelFoundUart(const std::string& name) {
    std::FILE* type = std::fopen(("/sys/class/tty/" + name + "/type").c_str(), "re");
    if (type == nullptr) {
        return true;
    }
    char text[16] = {};
    const bool read = std::fgets(text, sizeof text, type) != nullptr;
    std::fclose(type);
    return !read || std::strtol(text, nullptr, 10) != 0;
}

std::vector<std::string> OrderSerialNames(const std::vector<std::string>& names) {
    std::vector<Entry> entries;
    for (const std::string& name : names) {
        Entry entry;
        if (Parse(name, &entry)) {
            entries.push_back(entry);
        }
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.kind != b.kind) {
            return a.kind < b.kind;
        }
        if (a.number != b.number) {
            return a.number < b.number;
        }
        return a.name < b.name;  // ttyS01 and ttyS1: some order, always the same
    });
    std::vector<std::string> ordered;
    for (const Entry& entry : entries) {
        ordered.push_back(entry.name);
    }
    return ordered;
}

std::vector<std::string> DiscoverSerialPorts() {
    std::vector<std::string> names;
    if (DIR* dev = ::opendir("/dev")) {
        while (const dirent* item = ::readdir(dev)) {
            names.emplace_back(item->d_name);
        }
        ::closedir(dev);
    }
    std::vector<std::string> found;
    for (const std::string& name : OrderSerialNames(names)) {
        if (IsCharacterDevice("/dev/" + name) && (IsUsbAdapter(name) || KernelFoundUart(name))) {
            found.push_back(name);
        }
    }
    return found;
}

namespace {

// A sysfs attribute, a few bytes: read without blocking, at most `size`.
bool ReadAttribute(const std::string& path, char* field, std::size_t size) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char text[256];
    const ssize_t got = ::read(fd, text, sizeof text);
    ::close(fd);
    KeepField(field, size, text, got > 0 ? static_cast<std::size_t>(got) : 0);
    return got > 0;
}

std::string Resolved(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) != nullptr ? resolved : "";
}

std::string Parent(const std::string& path) { return path.substr(0, path.rfind('/')); }

}  // namespace

PortIdentity IdentifyPort(const std::string& name, const std::string& root) {
    PortIdentity port;
    KeepField(port.name, sizeof port.name, name.c_str(), name.size());
    const std::string device = Resolved(root + "/sys/class/tty/" + name + "/device");
    if (!device.empty()) {
        // Since Linux 6.5 a UART's tty hangs below the serial core's own
        // "port" and "ctrl" devices: the driver is the one above them.
        std::string driver;
        for (std::string at = device; at.size() > root.size() + 5; at = Parent(at)) {
            driver = Resolved(at + "/driver");
            if (driver.find("/bus/serial-base/") == std::string::npos) {
                break;
            }
        }
        const std::string base = driver.substr(driver.rfind('/') + 1);
        KeepField(port.driver, sizeof port.driver, base.c_str(), base.size());
        // The USB device is a few levels up: the interface, then the device.
        std::string at = device;
        for (int level = 0; level < 6 && at.size() > root.size() + 5; ++level, at = Parent(at)) {
            if (ReadAttribute(at + "/idVendor", port.vendorId, sizeof port.vendorId)) {
                ReadAttribute(at + "/idProduct", port.productId, sizeof port.productId);
                ReadAttribute(at + "/serial", port.serial, sizeof port.serial);
                ReadAttribute(at + "/manufacturer", port.manufacturer, sizeof port.manufacturer);
                ReadAttribute(at + "/product", port.product, sizeof port.product);
                break;
            }
        }
    }
    const std::string byId = root + "/dev/serial/by-id";
    const std::string node = Resolved(root + "/dev/" + name);
    if (DIR* links = ::opendir(byId.c_str())) {
        while (const dirent* item = ::readdir(links)) {
            if (item->d_name[0] != '.' && !node.empty() &&
                Resolved(byId + "/" + item->d_name) == node) {
                const std::string shown = "/dev/serial/by-id/" + std::string(item->d_name);
                KeepField(port.byId, sizeof port.byId, shown.c_str(), shown.size());
                break;
            }
        }
        ::closedir(links);
    }
    return port;
}
