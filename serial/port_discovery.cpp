#include "port_discovery.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

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

int CompareNaturally(const char* a, const char* b) {
    while (*a != '\0' && *b != '\0') {
        const bool digitA = *a >= '0' && *a <= '9';
        const bool digitB = *b >= '0' && *b <= '9';
        if (digitA && digitB) {
            while (*a == '0') ++a;
            while (*b == '0') ++b;
            const char* endA = a;
            const char* endB = b;
            while (*endA >= '0' && *endA <= '9') ++endA;
            while (*endB >= '0' && *endB <= '9') ++endB;
            // More digits, once leading zeros are gone, is a larger value.
            if (endA - a != endB - b) {
                return endA - a < endB - b ? -1 : 1;
            }
            for (; a < endA; ++a, ++b) {
                if (*a != *b) {
                    return *a < *b ? -1 : 1;
                }
            }
            continue;
        }
        if (*a != *b) {
            return static_cast<unsigned char>(*a) < static_cast<unsigned char>(*b) ? -1 : 1;
        }
        ++a;
        ++b;
    }
    return (*a != '\0') - (*b != '\0');
}

void ListRegisteredPorts(RegisteredPorts& ports) {
    ports.count = 0;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                      &key) != ERROR_SUCCESS) {
        return;  // no serial port registered at all
    }
    for (DWORD index = 0; ports.count < RegisteredPorts::kMaxPorts; ++index) {
        wchar_t valueName[256];
        DWORD valueNameLength = sizeof valueName / sizeof valueName[0];
        wchar_t data[RegisteredPorts::kNameSize] = {};
        DWORD dataBytes = sizeof data - sizeof data[0];  // room for a terminator the data may lack
        DWORD type = 0;
        const LONG status = RegEnumValueW(key, index, valueName, &valueNameLength, nullptr, &type,
                                          reinterpret_cast<BYTE*>(data), &dataBytes);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (status != ERROR_SUCCESS || type != REG_SZ || data[0] == L'\0') {
            continue;  // a name longer than any port's, or not a name at all
        }
        char* name = ports.names[ports.count];
        if (WideCharToMultiByte(CP_UTF8, 0, data, -1, name, RegisteredPorts::kNameSize, nullptr,
                                nullptr) == 0) {
            continue;
        }
        // Insertion into the sorted names: a PC has a handful of ports.
        int at = ports.count;
        char moving[RegisteredPorts::kNameSize];
        std::memcpy(moving, name, sizeof moving);
        while (at > 0 && CompareNaturally(ports.names[at - 1], moving) > 0) {
            std::memcpy(ports.names[at], ports.names[at - 1], sizeof moving);
            --at;
        }
        std::memcpy(ports.names[at], moving, sizeof moving);
        ++ports.count;
    }
    RegCloseKey(key);
}
