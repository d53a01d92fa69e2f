#include "tty_discovery.h"

#include <dirent.h>
#include <sys/stat.h>

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
