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

namespace {

// Into the sorted names, keeping the first kMaxPorts in natural order: a
// name that sorts after all of a full list, or the last one that it pushes
// out, is counted as left out.
void InsertSorted(RegisteredPorts& ports, const char* name) {
    int at = ports.count;
    while (at > 0 && CompareNaturally(ports.names[at - 1], name) > 0) {
        --at;
    }
    if (at == RegisteredPorts::kMaxPorts) {
        ++ports.leftOut;
        return;
    }
    if (ports.count == RegisteredPorts::kMaxPorts) {
        ++ports.leftOut;
        --ports.count;
    }
    std::memmove(ports.names[at + 1], ports.names[at],
                 static_cast<std::size_t>(ports.count - at) * RegisteredPorts::kNameSize);
    std::memcpy(ports.names[at], name, RegisteredPorts::kNameSize);
    ++ports.count;
}

}  // namespace

long ListPortsOfKey(void* key, RegisteredPorts& ports) {
    ports.count = 0;
    ports.leftOut = 0;
    // A value name can be 16383 characters; the name is never used, but one
    // that does not fit would hide its port. Static: 32 KiB off the stack.
    static wchar_t valueName[16384];
    for (DWORD index = 0;; ++index) {
        DWORD valueNameLength = sizeof valueName / sizeof valueName[0];
        // A name of kNameSize - 1 characters with its terminator, and one
        // more for a terminator the data may lack.
        wchar_t data[RegisteredPorts::kNameSize + 1] = {};
        DWORD dataBytes = sizeof data - sizeof data[0];
        DWORD type = 0;
        const LONG status = RegEnumValueW(static_cast<HKEY>(key), index, valueName, &valueNameLength,
                                          nullptr, &type, reinterpret_cast<BYTE*>(data), &dataBytes);
        if (status == ERROR_NO_MORE_ITEMS) {
            return ERROR_SUCCESS;
        }
        if (status == ERROR_MORE_DATA) {
            ++ports.leftOut;  // a port's name longer than any COM port's
            continue;
        }
        if (status != ERROR_SUCCESS) {
            return status;  // each further index would fail the same way
        }
        if (type != REG_SZ || data[0] == L'\0') {
            continue;  // not a port's name at all
        }
        char name[RegisteredPorts::kNameSize] = {};
        if (WideCharToMultiByte(CP_UTF8, 0, data, -1, name, sizeof name, nullptr, nullptr) == 0) {
            ++ports.leftOut;  // fits as UTF-16, not as UTF-8
            continue;
        }
        InsertSorted(ports, name);
    }
}

long ListRegisteredPorts(RegisteredPorts& ports) {
    ports.count = 0;
    ports.leftOut = 0;
    HKEY key = nullptr;
    const LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                                      KEY_QUERY_VALUE, &key);
    if (opened == ERROR_FILE_NOT_FOUND) {
        return ERROR_SUCCESS;  // no serial port registered at all
    }
    if (opened != ERROR_SUCCESS) {
        return opened;
    }
    const long status = ListPortsOfKey(key, ports);
    RegCloseKey(key);
    return status;
}
