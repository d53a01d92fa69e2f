#include "port_discovery.h"

#include <windows.h>

#include <cstdio>

std::uint32_t ProbeComPorts() {
    std::uint32_t mask = 0;
    for (int number = 1; number <= PortList::kMaxPorts; ++number) {
        char path[32];
        std::snprintf(path, sizeof path, "\\\\.\\COM%d", number);
        HANDLE port = CreateFileA(path, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (port != INVALID_HANDLE_VALUE) {
            mask |= std::uint32_t{1} << (number - 1);
            CloseHandle(port);
        }
    }
    return mask;
}

PortList ListPorts(std::uint32_t mask) {
    PortList list = {};
    for (int bit = 0; bit < PortList::kMaxPorts; ++bit) {
        if (mask & (std::uint32_t{1} << bit)) {
            list.numbers[list.count++] = bit + 1;
        }
    }
    return list;
}

bool FormatPortName(int number, char* name, std::size_t size) {
    int written = std::snprintf(name, size, "COM%d", number);
    return written > 0 && static_cast<std::size_t>(written) < size;
}
